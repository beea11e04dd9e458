// A test plugin that carries its own copy of the framework, bound locally,
// started from the host table's word 2 (the framework table), and builds
// and reads its packets with that copy. Its record is drawn by offsets like
// the C plugin's; it logs to $TP_RECORD_DIR/tpfw.rec.
#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

namespace {

#pragma pack(push, 4)
struct record {
    int64_t iface;
    char const* name;
    int32_t protocol;
    int (*lib_init)(void*);
    void (*lib_start)();
    void (*lib_deinit)();
    int (*init)(int);
    void (*connected)(int);
    void (*deinit)();
    void (*packet)(void*);
    int (*command)(void*);
    void* reserved;
    int (*callback)(char const*, void*);
};
#pragma pack(pop)
static_assert(sizeof(record) == 100 && offsetof(record, lib_init) == 20 && offsetof(record, command) == 76 &&
              offsetof(record, callback) == 92);

uint64_t* g_table;
alignas(8) unsigned char g_api[sizeof(rulo_api_t)];
std::mutex g_log;

void note(std::string const& line) {
    char const* dir = std::getenv("TP_RECORD_DIR");
    if (!dir) return;
    std::lock_guard<std::mutex> lock(g_log);
    if (FILE* f = std::fopen((std::string(dir) + "/tpfw.rec").c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

int host_command(netbuf const& packet) {
    auto command = reinterpret_cast<int (*)(char const*, void*)>(g_table[3 + 2]);
    return command("tpfw", packet.get_ptr());
}

int lib_init(void* table) {
    g_table = static_cast<uint64_t*>(table);
    try {
        new (g_api) rulo::init(reinterpret_cast<rulo_api_t*>(g_table[2]));
        note("lib_init framework started");
        return 1;
    } catch (...) {
        note("lib_init framework failed");
        return 0;
    }
}

void lib_start() {
    netbuf packet;
    xstd::packet_push(packet, std::string("register-callback"), std::string("recording/data"), true);
    note("register-callback -> " + std::to_string(host_command(packet)));
}

void lib_deinit() {
    note("lib_deinit");
}

int command(void* buffer) {
    netbuf packet(buffer, true);
    std::string name;
    try {
        rulo_packet_pop(packet, name);
    } catch (...) {
        name = "?";
    }
    note("command " + name);
    return 1;
}

int callback(char const* name, void*) {
    note(std::string("callback ") + name);
    return 1;
}

} // namespace

extern "C" {
__attribute__((visibility("default")))
record tovan_plugin_2 = {7,       "tpfw",  1,       lib_init, lib_start, lib_deinit, nullptr,
                         nullptr, nullptr, nullptr, command,  nullptr,   callback};
}
