// The binary interface between the desk and its plugin libraries, in bytes.
//
// Host and plugin are built apart, so every layout here is a wire format:
// x86-64, little-endian, System V calls, pointers and 64-bit integers 8
// bytes, int 4 bytes. A buffer crosses as a pointer to a netbuf
// implementation object (netbuf::get_ptr); structured buffers hold packets.
// A buffer a plugin passes in stays the plugin's (the host takes a view); a
// buffer the host returns is handed over (the plugin releases it); a buffer
// the host passes to packet/command stays the host's for the call.
//
// The record every plugin exports as the data symbol "tovan_plugin_2",
// packed on 4 (the pointers from offset 20 on are not 8-aligned), 100 bytes:
//
//   off  size  field        meaning
//     0     8  interface    5, 6 or 7: selects the host table
//     8     8  name         char const*: the library's key everywhere
//    16     4  protocol     offered to the remote end
//    20     8  lib_init     int(host table*): 0 fail, 2 own packet thread, else ok
//    28     8  lib_start    void(): once entered in the tables
//    36     8  lib_deinit   void(): before the library is closed
//    44     8  init         int(int protocol)
//    52     8  connected    void(int)
//    60     8  deinit       void()
//    68     8  packet       void(buffer): one packet from the remote plugin
//    76     8  command      int(buffer): one command packet from the host
//    84     8  reserved     never read
//    92     8  callback     int(char const* name, void* data)
//
// Host tables, 8-byte words, exported as data symbols of the program:
//
//   word  main_tovan_callback (7) / _v2 (6)   main_tovan_callback_v1 (5)
//      0  log                                 log
//      1  7 / 6                               5
//      2  rulo_api_t*                         framework lock function
//      3  system_message                      framework unlock function
//      4  send                                netbuf_impl table
//      5  command                             system_message
//      6  server_request                      send
//      7  translate                           command
//      8  get_setting                         server_request
//      9  invoke_callback                     translate
//     10  0                                   get_setting
//     11                                      invoke_callback
//     12                                      0
//   size  88 / 88 bytes                       104 bytes
//
// The program also exports the framework's plugin_e (the text "error
// during plugin initialization"); nothing else of it is visible to plugins.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using tp_log_fn = void (*)(char const* plugin, char const* text);
using tp_system_message_fn = void (*)(char const* first, char const* text, int send);
using tp_send_fn = void (*)(char const* plugin, void* data);
using tp_command_fn = int (*)(char const* plugin, void* packet);
using tp_server_request_fn = void* (*)(void const* first, void* request);
using tp_translate_fn = void* (*)(char const* key);
using tp_get_setting_fn = void* (*)(char const* key);
using tp_invoke_callback_fn = int (*)(char const* name, void* data);

#pragma pack(push, 4)
struct tovan_plugin_map {
    int64_t interface_version;
    char const* name;
    int32_t protocol_version;
    int (*lib_init)(void* host_table);
    void (*lib_start)();
    void (*lib_deinit)();
    int (*init)(int protocol);
    void (*connected)(int how);
    void (*deinit)();
    void (*packet)(void* buffer);
    int (*command)(void* buffer);
    void* reserved;
    int (*callback)(char const* name, void* data);
};
#pragma pack(pop)

// The seven entries every table carries after its head, in this order.
struct tovan_host_entries {
    tp_system_message_fn system_message;
    tp_send_fn send;
    tp_command_fn command;
    tp_server_request_fn server_request;
    tp_translate_fn translate;
    tp_get_setting_fn get_setting;
    tp_invoke_callback_fn invoke_callback;
};

// Interfaces 6 and 7.
struct tovan_host_table {
    tp_log_fn log;
    int64_t version;
    void* api; // rulo_api_t*, written at start
    tovan_host_entries entries;
    void* end;
};

// Interface 5.
struct tovan_host_table_v1 {
    tp_log_fn log;
    int64_t version;
    void (*lock)();
    void (*unlock)();
    void* netbuf_impl;
    tovan_host_entries entries;
    void* end;
};

extern tovan_host_table main_tovan_callback;
extern tovan_host_table main_tovan_callback_v2;
extern tovan_host_table_v1 main_tovan_callback_v1;

} // extern "C"

static_assert(sizeof(tovan_plugin_map) == 100);
static_assert(offsetof(tovan_plugin_map, interface_version) == 0);
static_assert(offsetof(tovan_plugin_map, name) == 8);
static_assert(offsetof(tovan_plugin_map, protocol_version) == 16);
static_assert(offsetof(tovan_plugin_map, lib_init) == 20);
static_assert(offsetof(tovan_plugin_map, lib_start) == 28);
static_assert(offsetof(tovan_plugin_map, lib_deinit) == 36);
static_assert(offsetof(tovan_plugin_map, init) == 44);
static_assert(offsetof(tovan_plugin_map, connected) == 52);
static_assert(offsetof(tovan_plugin_map, deinit) == 60);
static_assert(offsetof(tovan_plugin_map, packet) == 68);
static_assert(offsetof(tovan_plugin_map, command) == 76);
static_assert(offsetof(tovan_plugin_map, reserved) == 84);
static_assert(offsetof(tovan_plugin_map, callback) == 92);

static_assert(sizeof(tovan_host_table) == 88);
static_assert(offsetof(tovan_host_table, version) == 8);
static_assert(offsetof(tovan_host_table, api) == 16);
static_assert(offsetof(tovan_host_table, entries) == 24);
static_assert(offsetof(tovan_host_table, end) == 80);
static_assert(sizeof(tovan_host_table_v1) == 104);
static_assert(offsetof(tovan_host_table_v1, lock) == 16);
static_assert(offsetof(tovan_host_table_v1, unlock) == 24);
static_assert(offsetof(tovan_host_table_v1, netbuf_impl) == 32);
static_assert(offsetof(tovan_host_table_v1, entries) == 40);
static_assert(offsetof(tovan_host_table_v1, end) == 96);
static_assert(sizeof(tovan_host_entries) == 56);
