#include "tests/support/recording_sink.h"

#include <chrono>

namespace test_support {

recording_sink::recording_sink(bool keep_bytes) : m_keep(keep_bytes) {}

void recording_sink::received(netbuf const& data) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_broken) ++m_after_broken;
        for (netbuf::iterator it(data); it.valid(); it.next()) {
            char const* bytes = nullptr;
            int length = 0;
            it.get(bytes, length);
            if (m_keep) m_bytes.append(bytes, length);
            m_sha.update(bytes, length);
            m_count += length;
        }
    }
    m_changed.notify_all();
    if (on_received) on_received(data);
}

void recording_sink::broken() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_broken;
    }
    m_changed.notify_all();
}

void recording_sink::queue_empty() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_broken) ++m_after_broken;
        ++m_queue_empty;
    }
    m_changed.notify_all();
}

std::string recording_sink::bytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

std::size_t recording_sink::byte_count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

std::string recording_sink::digest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sha.finish();
}

int recording_sink::broken_count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_broken;
}

int recording_sink::queue_empty_count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue_empty;
}

int recording_sink::events_after_broken() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_after_broken;
}

bool recording_sink::wait(std::function<bool()> const& done, int64_t ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), done);
}

bool recording_sink::wait_for_bytes(std::size_t count, int64_t ms) const {
    return wait([&] { return m_count >= count; }, ms);
}

bool recording_sink::wait_for_broken(int64_t ms) const {
    return wait([&] { return m_broken > 0; }, ms);
}

bool recording_sink::wait_for_queue_empty(int count, int64_t ms) const {
    return wait([&] { return m_queue_empty >= count; }, ms);
}

} // namespace test_support
