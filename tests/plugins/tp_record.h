/* The plugin record as the test and bench plugins draw it: by offsets, in
 * C, never from the host's headers, so a layout mistake on either side fails
 * a test instead of agreeing with itself. Packed on 4, 100 bytes. */
#ifndef TP_RECORD_H
#define TP_RECORD_H

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 4)
struct tp_record {
    int64_t iface;
    char const* name;
    int32_t protocol;
    int (*lib_init)(void*);
    void (*lib_start)(void);
    void (*lib_deinit)(void);
    int (*init)(int);
    void (*connected)(int);
    void (*deinit)(void);
    void (*packet)(void*);
    int (*command)(void*);
    void* reserved;
    int (*callback)(char const*, void*);
};
#pragma pack(pop)
_Static_assert(sizeof(struct tp_record) == 100, "record size");
_Static_assert(offsetof(struct tp_record, name) == 8, "name");
_Static_assert(offsetof(struct tp_record, protocol) == 16, "protocol");
_Static_assert(offsetof(struct tp_record, lib_init) == 20, "lib_init");
_Static_assert(offsetof(struct tp_record, lib_start) == 28, "lib_start");
_Static_assert(offsetof(struct tp_record, lib_deinit) == 36, "lib_deinit");
_Static_assert(offsetof(struct tp_record, init) == 44, "init");
_Static_assert(offsetof(struct tp_record, connected) == 52, "connected");
_Static_assert(offsetof(struct tp_record, deinit) == 60, "deinit");
_Static_assert(offsetof(struct tp_record, packet) == 68, "packet");
_Static_assert(offsetof(struct tp_record, command) == 76, "command");
_Static_assert(offsetof(struct tp_record, reserved) == 84, "reserved");
_Static_assert(offsetof(struct tp_record, callback) == 92, "callback");

#endif
