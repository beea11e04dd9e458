/* The benchmarks' plugin: the record drawn by offsets, nothing else.
 * packet: reads the 8-byte send stamp at the front of the packet and keeps
 * the hand-over time (monotonic ns) in bp_latency_ns; counts packets.
 * lib_start: writes one byte to the FIFO named by BP_FIFO, so a process
 * benchmark sees the moment every plugin has started; lib_init likewise to
 * BP_INIT_FIFO, the moment the host first calls the library. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "tests/plugins/tp_record.h"

#define EXPORT __attribute__((visibility("default")))

static void** g_nb;
EXPORT volatile int64_t bp_latency_ns;
EXPORT volatile int64_t bp_packets;

static int64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void poke(char const* variable) {
    char const* fifo = getenv(variable);
    if (!fifo) return;
    int fd = open(fifo, O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
        (void)!write(fd, "s", 1);
        close(fd);
    }
}

static int bp_lib_init(void* table) {
    poke("BP_INIT_FIFO");
    uint64_t const* words = table;
    char const* api = (char const*)words[2];
    g_nb = *(void***)(api + 28); /* the buffer table inside the framework table */
    return BP_INIT;
}

static void bp_lib_start(void) {
    poke("BP_FIFO");
}

static void bp_packet(void* buffer) {
    int64_t stamp = 0;
    /* slot 11: copy(impl, dest, count, take, back) */
    ((void (*)(void*, char*, int, int, int))g_nb[11])(buffer, (char*)&stamp, 8, 0, 0);
    bp_latency_ns = now_ns() - stamp;
    __atomic_add_fetch(&bp_packets, 1, __ATOMIC_RELEASE);
}

static int bp_command(void* buffer) {
    (void)buffer;
    return 0;
}

EXPORT struct tp_record tovan_plugin_2 = {7,    BP_NAME, 1,         bp_lib_init, bp_lib_start, NULL, NULL,
                                          NULL, NULL,    bp_packet, bp_command,  NULL,         NULL};
