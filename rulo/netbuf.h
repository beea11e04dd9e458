// The byte buffer every layer passes around: socket input and output, TLS
// records, frames, packets, RPC arguments and plugin messages.
//
// A netbuf is a handle: one opaque pointer to an implementation object, with
// every operation called through a process-wide table of 25 plain function
// pointers. The host installs its own implementation's table at start-up; a
// plugin installs the host's table instead, so a buffer made on either side of
// the plugin boundary is the same kind of object and may be handed across in
// both directions (netbuf_table.h). Where the installed table is this copy's
// own (the host), the handle calls the implementation directly and does the
// small cases of growing, reading and cutting inline; the result is the same.
// The implementation keeps the bytes as views onto reference-counted chunks:
// copying, cutting, concatenating and growing at either end share chunks
// instead of copying bytes.
//
// Ownership and threads: a netbuf is changed by one thread at a time, and
// only while no other thread reads it; nothing in one buffer is locked. Its
// const operations (size, copy_front/back, front, whole, to_string, find,
// compare, iterators, copying the handle) may run on any number of threads at
// once, as when one buffer is handed to several senders. Different buffers
// that share chunks may be used and dropped on different threads at once.
// Copies (copy constructor, assignment, the sub-range constructor) are cheap
// and share bytes; after a copy exists neither buffer grows into the shared
// chunk.
//
// The cost of const front()/whole(): when the bytes asked for span several
// chunks, they are copied into a new chunk that is kept beside the old ones
// (the chain others may be walking is never rearranged by a read), so the
// joined bytes are held twice until the buffer next changes. That change puts
// the copy in place of the chunks it joined, without copying again. Prefer
// to_string(), copy_front() or an iterator when a buffer of many chunks is
// only read once.
//
// Failures: counts below 1 are no error (nothing happens, or null/empty is
// returned), reads past the end are clipped. Growth that would take the size
// past 2147483647 bytes is refused with rulo::exception::function naming the
// operation, and exhaustion of memory surfaces as std::bad_alloc; in both cases
// the buffer is left as it was. Memory handed over with append_raw/prepend_raw
// is released by the buffer even when the call fails.
#pragma once

#include <cstdint>
#include <string>

class netbuf {
public:
    // The counters of the implementation, numbered as performance_counter takes them.
    enum performance_counter_type {
        chunk_count = 0,  // chunks alive
        chunk_memory = 1, // bytes of capacity held by live chunks
        view_count = 2,   // views alive
        netbuf_count = 3, // buffers alive
        chunk_inc = 4,    // chunk references ever taken
        chunk_dec = 5,    // chunk references ever dropped
    };

    static constexpr int whole_length = 2147483647;

    // Copies the 25 entries of table into this copy's process-wide slots.
    // Returns false, changing nothing, when a table is already installed
    // (or when table is null). Called once at start-up, before any buffer exists.
    static bool install(void** table);
    // Prepares the installed implementation (slot 0).
    static void init();

    netbuf();
    // Shares the bytes [offset, offset + length) of src, clipped to its end.
    netbuf(netbuf const& src, int offset = 0, int length = whole_length);
    // copy: shares all bytes of the implementation object impl; otherwise
    // takes impl over as this handle's own (it is destroyed with the handle).
    netbuf(void* impl, bool copy);
    ~netbuf();
    netbuf& operator=(netbuf const& src);

    void* get_ptr() const { return m_impl; }
    // Gives up the implementation object; the handle may then only be destroyed or assigned to.
    void* detach_ptr();
    void swap(netbuf& other);

    // Share the bytes of src at the end / start; src may be this buffer itself.
    void append(netbuf const& src);
    void prepend(netbuf const& src);
    // Copy count bytes in at the end / start (nothing when count is below 1).
    void append(char const* data, int count);
    void prepend(char const* data, int count);
    void append(std::string const& text);
    void prepend(std::string const& text);
    // Take over an array from allocate_raw or array new; the buffer deletes it.
    void append_raw(char* array, int count);
    void prepend_raw(char* array, int count);
    // Attach caller memory without copying; release(arg) runs exactly once,
    // when the last view of it goes (at once when count is below 1 or the
    // call fails). writable lets the buffer grow into unused room of it.
    void append_raw(char* data, int count, bool writable, void (*release)(void*), void* arg);
    void prepend_raw(char* data, int count, bool writable, void (*release)(void*), void* arg);

    // Grow by count bytes at the end / start and return them for the caller
    // to fill; null when count is below 1.
    char* allocate_back(int count);
    char* allocate_front(int count);
    // Grow by a writable region of at least 1 byte (possibly more or less than
    // count); the caller fills what it needs and erases the unused part.
    void wish_allocate_back(int count, char*& data, int& length);
    void wish_allocate_front(int count, char*& data, int& length);

    // The first bytes, contiguous (copies bytes when they span chunks, see
    // above); the length may exceed max. Valid until the buffer changes.
    // Iterators stay valid: the chunk chain is changed only by the next change
    // of the buffer.
    void front(char const*& data, int& length, int max) const;
    void whole(char const*& data, int& length) const;

    // The last bytes that lie in one piece: the end of the buffer as far as
    // it is contiguous (null and 0 when empty). Rearranges nothing and copies
    // nothing; valid until the buffer changes. For readers that decode from
    // the end and fall back to copy_back when a value spans pieces.
    void last_piece(char const*& data, int& length) const;

    void erase_front(int count);
    void erase_back(int count);
    void clear();
    // Copy up to count bytes from the start / end into dest, in order; the
    // take forms also remove them. Copies only what there is.
    void copy_front(char* dest, int count) const;
    void copy_back(char* dest, int count) const;
    void take_front(char* dest, int count);
    void take_back(char* dest, int count);

    int size() const;
    bool empty() const;
    // Offset of the first c within the first max bytes, or -1.
    int find(char c, int max = whole_length) const;
    // Three-way comparison of the bytes with text[0, length).
    int compare(char const* text, int length) const;

    // A byte array for append_raw/prepend_raw; null when count is below 1.
    static char* allocate_raw(int count);
    static int64_t performance_counter(performance_counter_type which);

    static netbuf from_buffer(char const* data, int count);
    static netbuf from_string(char const* text);
    static netbuf from_string(std::string const& text);
    // Copies the bytes out; rearranges nothing.
    std::string to_string() const;

    // Walks the views of a buffer. Holds no references: usable only while the
    // buffer exists and is not changed.
    class iterator {
    public:
        explicit iterator(netbuf const& buf);
        iterator(iterator const& other);
        iterator& operator=(iterator const& other);
        ~iterator();

        bool valid() const;
        // The current view's bytes; returns their length.
        int get(char const*& data, int& length) const;
        void next();

    private:
        void* m_it;
    };

private:
    void* m_impl;
};
