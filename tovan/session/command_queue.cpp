#include "tovan/session/command_queue.h"

namespace vyn {

void command_queue::push(origin from, std::string text, std::function<bool()> withdrawn) {
    command_entry e;
    e.from = from;
    e.text = std::move(text);
    e.withdrawn = std::move(withdrawn);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(e));
}

void command_queue::push_request(credentials_request* request) {
    command_entry e;
    e.text = "get_corvane_code";
    e.request = request;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(e));
}

std::optional<command_entry> command_queue::take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty()) return std::nullopt;
    command_entry e = std::move(m_queue.front());
    m_queue.pop_front();
    return e;
}

std::size_t command_queue::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

} // namespace vyn
