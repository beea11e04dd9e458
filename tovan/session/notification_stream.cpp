#include "tovan/session/notification_stream.h"

namespace vyn {

notification_stream::~notification_stream() {
    if (m_file) std::fclose(m_file);
}

bool notification_stream::open(std::string const& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file) std::fclose(m_file);
    m_file = std::fopen(path.c_str(), "w");
    return m_file != nullptr;
}

bool notification_stream::is_on() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_file != nullptr;
}

bool notification_stream::post(int64_t a, int64_t b) {
    // The reader expects 32-bit signed values: wider ones wrap as they would
    // in that reader, never into undefined behaviour here.
    int32_t const x = static_cast<int32_t>(static_cast<uint32_t>(a));
    int32_t const y = static_cast<int32_t>(static_cast<uint32_t>(b));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file) return false;
    if (std::fprintf(m_file, "%d %d\n", static_cast<int>(x), static_cast<int>(y)) < 0) return false;
    return std::fflush(m_file) == 0;
}

} // namespace vyn
