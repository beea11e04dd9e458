#include "rulo/netbuf.h"

#include "rulo/detail/netbuf_imp.h"
#include "rulo/exception.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

using namespace netbuf_imp;

// This copy's slots: the host's own table, or in a plugin the host's table
// taken from the API table. Written once during start-up, before any other
// thread exists; only read afterwards.
void* g_slots[slot_count];
// Set when the installed table is this copy's own implementation: the handle
// then calls it directly, which lets the small cases of the busiest
// operations run inline instead of through a pointer per call. In a plugin
// that uses the host's table it stays false and every call goes through the
// table, since the host's objects may be laid out differently.
bool g_direct = false;

buf* direct(void* impl) {
    return static_cast<buf*>(impl);
}

template <class F>
F fn(slot s) {
    return reinterpret_cast<F>(g_slots[s]);
}

void* sub_of(void* impl, int offset, int length) {
    return fn<sub_fn>(slot_sub)(impl, offset, length);
}

// A length from the standard library, refused when a buffer cannot hold it.
int checked_length(size_t n, char const* op) {
    if (n > size_t(INT_MAX)) throw rulo::exception::function(op);
    return int(n);
}

} // namespace

bool netbuf::install(void** table) {
    if (!table || g_slots[slot_init]) return false;
    std::copy(table, table + slot_count, g_slots);
    g_direct = std::equal(table, table + slot_count, netbuf_impl);
    return true;
}

void netbuf::init() {
    fn<init_fn>(slot_init)();
}

netbuf::netbuf() : m_impl(g_direct ? new buf : fn<create_fn>(slot_create)()) {}

netbuf::netbuf(netbuf const& src, int offset, int length) : m_impl(sub_of(src.m_impl, offset, length)) {}

netbuf::netbuf(void* impl, bool copy) : m_impl(copy ? sub_of(impl, 0, whole_length) : impl) {}

netbuf::~netbuf() {
    if (!m_impl) return;
    if (g_direct)
        delete direct(m_impl);
    else
        fn<destroy_fn>(slot_destroy)(m_impl);
}

netbuf& netbuf::operator=(netbuf const& src) {
    // The new object is made before the old one goes: src may be this very
    // handle, and a failure must leave this buffer as it was.
    if (this == &src) return *this;
    void* fresh = sub_of(src.m_impl, 0, whole_length);
    if (m_impl) fn<destroy_fn>(slot_destroy)(m_impl);
    m_impl = fresh;
    return *this;
}

void* netbuf::detach_ptr() {
    void* impl = m_impl;
    m_impl = nullptr;
    return impl;
}

void netbuf::swap(netbuf& other) {
    std::swap(m_impl, other.m_impl);
}

void netbuf::append(netbuf const& src) {
    if (g_direct) return direct(m_impl)->append(*direct(src.m_impl), true);
    fn<append_fn>(slot_append)(m_impl, src.m_impl, 1);
}

void netbuf::prepend(netbuf const& src) {
    if (g_direct) return direct(m_impl)->append(*direct(src.m_impl), false);
    fn<append_fn>(slot_append)(m_impl, src.m_impl, 0);
}

void netbuf::append(char const* data, int count) {
    if (count < 1) return;
    char* to = g_direct ? direct(m_impl)->allocate(count, true) : allocate_back(count);
    copy_bytes(to, data, size_t(count));
}

void netbuf::prepend(char const* data, int count) {
    if (count < 1) return;
    char* to = g_direct ? direct(m_impl)->allocate(count, false) : allocate_front(count);
    copy_bytes(to, data, size_t(count));
}

void netbuf::append(std::string const& text) {
    append(text.data(), checked_length(text.size(), "append"));
}

void netbuf::prepend(std::string const& text) {
    prepend(text.data(), checked_length(text.size(), "prepend"));
}

void netbuf::append_raw(char* array, int count) {
    fn<adopt_fn>(slot_adopt)(m_impl, array, count, 1);
}

void netbuf::prepend_raw(char* array, int count) {
    fn<adopt_fn>(slot_adopt)(m_impl, array, count, 0);
}

void netbuf::append_raw(char* data, int count, bool writable, void (*release)(void*), void* arg) {
    fn<attach_fn>(slot_attach)(m_impl, data, count, 1, writable, release, arg);
}

void netbuf::prepend_raw(char* data, int count, bool writable, void (*release)(void*), void* arg) {
    fn<attach_fn>(slot_attach)(m_impl, data, count, 0, writable, release, arg);
}

char* netbuf::allocate_back(int count) {
    if (g_direct) return direct(m_impl)->allocate(count, true);
    return fn<allocate_fn>(slot_allocate)(m_impl, count, 1);
}

char* netbuf::allocate_front(int count) {
    if (g_direct) return direct(m_impl)->allocate(count, false);
    return fn<allocate_fn>(slot_allocate)(m_impl, count, 0);
}

void netbuf::wish_allocate_back(int count, char*& data, int& length) {
    fn<wish_allocate_fn>(slot_wish_allocate)(m_impl, count, 1, &data, &length);
}

void netbuf::wish_allocate_front(int count, char*& data, int& length) {
    fn<wish_allocate_fn>(slot_wish_allocate)(m_impl, count, 0, &data, &length);
}

void netbuf::front(char const*& data, int& length, int max) const {
    if (g_direct) return direct(m_impl)->front(data, length, max);
    fn<front_fn>(slot_front)(m_impl, &data, &length, max);
}

void netbuf::whole(char const*& data, int& length) const {
    front(data, length, whole_length);
}

void netbuf::last_piece(char const*& data, int& length) const {
    data = nullptr;
    length = 0;
    if (g_direct) {
        auto const& views = direct(m_impl)->views();
        if (!views.empty()) {
            data = views.back().begin();
            length = views.back().m_length;
        }
        return;
    }
    // The table has no entry for it: walk the views to the last one.
    for (iterator it(*this); it.valid(); it.next()) it.get(data, length);
}

void netbuf::erase_front(int count) {
    if (g_direct) return direct(m_impl)->erase(count, false);
    fn<erase_fn>(slot_erase)(m_impl, count, 0);
}

void netbuf::erase_back(int count) {
    if (g_direct) return direct(m_impl)->erase(count, true);
    fn<erase_fn>(slot_erase)(m_impl, count, 1);
}

void netbuf::clear() {
    fn<erase_fn>(slot_erase)(m_impl, size(), 0);
}

void netbuf::copy_front(char* dest, int count) const {
    if (g_direct) return direct(m_impl)->copy(dest, count, false, false);
    fn<copy_fn>(slot_copy)(m_impl, dest, count, 0, 0);
}

void netbuf::copy_back(char* dest, int count) const {
    if (g_direct) return direct(m_impl)->copy(dest, count, false, true);
    fn<copy_fn>(slot_copy)(m_impl, dest, count, 0, 1);
}

void netbuf::take_front(char* dest, int count) {
    if (g_direct) return direct(m_impl)->copy(dest, count, true, false);
    fn<copy_fn>(slot_copy)(m_impl, dest, count, 1, 0);
}

void netbuf::take_back(char* dest, int count) {
    if (g_direct) return direct(m_impl)->copy(dest, count, true, true);
    fn<copy_fn>(slot_copy)(m_impl, dest, count, 1, 1);
}

int netbuf::size() const {
    if (g_direct) return direct(m_impl)->size();
    return fn<size_fn>(slot_size)(m_impl);
}

bool netbuf::empty() const {
    if (g_direct) return direct(m_impl)->size() == 0;
    return size() == 0;
}

int netbuf::find(char c, int max) const {
    return fn<find_fn>(slot_find)(m_impl, c, max);
}

int netbuf::compare(char const* text, int length) const {
    return fn<compare_fn>(slot_compare)(m_impl, text, length);
}

char* netbuf::allocate_raw(int count) {
    return fn<allocate_raw_fn>(slot_allocate_raw)(count);
}

int64_t netbuf::performance_counter(performance_counter_type which) {
    return fn<performance_counter_fn>(slot_performance_counter)(which);
}

netbuf netbuf::from_buffer(char const* data, int count) {
    netbuf b;
    b.append(data, count);
    return b;
}

netbuf netbuf::from_string(char const* text) {
    return from_buffer(text, checked_length(std::strlen(text), "from_string"));
}

netbuf netbuf::from_string(std::string const& text) {
    return from_buffer(text.data(), checked_length(text.size(), "from_string"));
}

std::string netbuf::to_string() const {
    // Copied straight out of the views: no joined copy is made for it.
    int const length = size();
    std::string text(size_t(std::max(length, 0)), '\0');
    copy_front(text.data(), length);
    return text;
}

// ---- iterator ----

netbuf::iterator::iterator(netbuf const& buf)
    : m_it(fn<iterator_create_fn>(slot_iterator_create)(buf.m_impl)) {}

netbuf::iterator::iterator(iterator const& other)
    : m_it(other.m_it ? fn<iterator_copy_fn>(slot_iterator_copy)(other.m_it) : nullptr) {}

netbuf::iterator& netbuf::iterator::operator=(iterator const& other) {
    if (this == &other) return *this;
    void* fresh = other.m_it ? fn<iterator_copy_fn>(slot_iterator_copy)(other.m_it) : nullptr;
    if (m_it) fn<iterator_destroy_fn>(slot_iterator_destroy)(m_it);
    m_it = fresh;
    return *this;
}

netbuf::iterator::~iterator() {
    if (m_it) fn<iterator_destroy_fn>(slot_iterator_destroy)(m_it);
}

bool netbuf::iterator::valid() const {
    return m_it && fn<iterator_valid_fn>(slot_iterator_valid)(m_it) != 0;
}

int netbuf::iterator::get(char const*& data, int& length) const {
    if (!m_it) {
        data = nullptr;
        length = 0;
        return 0;
    }
    return fn<iterator_get_fn>(slot_iterator_get)(m_it, &data, &length);
}

void netbuf::iterator::next() {
    if (m_it) fn<iterator_next_fn>(slot_iterator_next)(m_it);
}
