// The buffer function table: the one interface between a netbuf handle and
// the implementation behind it, and the part of the buffer that crosses the
// plugin boundary.
//
// The host hands its table to plugins through the API table; a plugin's
// handles then call the host's implementation, so a buffer may be made on one
// side and used or dropped on the other. A plugin relies on the position and
// the signature of every entry: the order below and the function types never
// change, and no entry is added or removed.
//
// "impl" is the implementation object behind a handle, "it" an iterator
// object, "back" non-zero for the end of the buffer and zero for its start.
#pragma once

#include <cstdint>

namespace netbuf_imp {

enum slot : int {
    slot_init,                // void()
    slot_destroy,             // void(impl)
    slot_create,              // impl()
    slot_sub,                 // impl(impl, int offset, int length)
    slot_size,                // int(impl)
    slot_append,              // void(impl dest, impl src, int back)
    slot_adopt,               // void(impl, char* array, int count, int back)
    slot_allocate,            // char*(impl, int count, int back)
    slot_wish_allocate,       // void(impl, int count, int back, char** data, int* length)
    slot_front,               // void(impl, char const** data, int* length, int max)
    slot_erase,               // void(impl, int count, int back)
    slot_copy,                // void(impl, char* dest, int count, int take, int back)
    slot_null_block,          // void*()
    slot_free_block,          // void(void*)
    slot_iterator_destroy,    // void(it)
    slot_iterator_create,     // it(impl)
    slot_iterator_copy,       // it(it)
    slot_iterator_valid,      // int(it)
    slot_iterator_get,        // int(it, char const** data, int* length)
    slot_iterator_next,       // void(it)
    slot_allocate_raw,        // char*(int count)
    slot_performance_counter, // int64_t(int which)
    slot_attach,              // void(impl, char* data, int count, int back, int writable, release, void* arg)
    slot_find,                // int(impl, char c, int max)
    slot_compare,             // int(impl, char const* text, int length)
    slot_count
};

using init_fn = void (*)();
using destroy_fn = void (*)(void*);
using create_fn = void* (*)();
using sub_fn = void* (*)(void*, int, int);
using size_fn = int (*)(void*);
using append_fn = void (*)(void*, void*, int);
using adopt_fn = void (*)(void*, char*, int, int);
using allocate_fn = char* (*)(void*, int, int);
using wish_allocate_fn = void (*)(void*, int, int, char**, int*);
using front_fn = void (*)(void*, char const**, int*, int);
using erase_fn = void (*)(void*, int, int);
using copy_fn = void (*)(void*, char*, int, int, int);
using null_block_fn = void* (*)();
using free_block_fn = void (*)(void*);
using iterator_destroy_fn = void (*)(void*);
using iterator_create_fn = void* (*)(void*);
using iterator_copy_fn = void* (*)(void*);
using iterator_valid_fn = int (*)(void*);
using iterator_get_fn = int (*)(void*, char const**, int*);
using iterator_next_fn = void (*)(void*);
using allocate_raw_fn = char* (*)(int);
using performance_counter_fn = int64_t (*)(int);
using release_fn = void (*)(void*);
using attach_fn = void (*)(void*, char*, int, int, int, release_fn, void*);
using find_fn = int (*)(void*, char, int);
using compare_fn = int (*)(void*, char const*, int);

// This copy's own table, in slot order. Start-up installs it unless the
// host's table was installed first, and hands it to plugins.
extern void* netbuf_impl[slot_count];

} // namespace netbuf_imp
