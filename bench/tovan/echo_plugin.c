/* The negotiation benchmark's plugin, "bpecho", delivered as a package by
 * the relay to both ends. The record is drawn by offsets, as the test
 * plugins draw it.
 * connected(1): sends "hello" to its peer on its sub-channel.
 * The peer's "hello": the monotonic time (ns) of its arrival goes to the
 *   file $BP_HELLO; on the end where $BP_PINGS is N, a thread then sends N
 *   64-byte pings one after the other, each once the answer to the one
 *   before has come back, and writes the median round trip (ns) to $BP_RTT.
 * A ping goes back unchanged but for its first byte. */
#define _GNU_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tests/plugins/tp_record.h"

#define EXPORT __attribute__((visibility("default")))
#define PING 64

static uint64_t* g_table;
static void** g_nb;
static sem_t g_answered;
static int g_pinging;

static int64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* Buffer slots by position: destroy 1, create 2, size 4, allocate 7, copy 11. */
static void send_bytes(char const* bytes, int n) {
    void* b = ((void* (*)(void))g_nb[2])();
    char* at = ((char* (*)(void*, int, int))g_nb[7])(b, n, 1);
    memcpy(at, bytes, (size_t)n);
    ((void (*)(char const*, void*))g_table[4])(BP_NAME, b); /* the send entry */
    ((void (*)(void*))g_nb[1])(b);
}

static void write_number(char const* variable, int64_t value) {
    char const* path = getenv(variable);
    if (!path) return;
    FILE* f = fopen(path, "w");
    if (!f) return;
    fprintf(f, "%lld\n", (long long)value);
    fclose(f);
}

static int by_value(void const* a, void const* b) {
    int64_t const x = *(int64_t const*)a, y = *(int64_t const*)b;
    return (x > y) - (x < y);
}

static void* pinger(void* arg) {
    int const count = (int)(intptr_t)arg;
    int64_t* trips = calloc((size_t)count, sizeof *trips);
    char ping[PING];
    memset(ping, 'p', sizeof ping);
    int done = 0;
    for (; done < count; ++done) {
        int64_t const start = now_ns();
        send_bytes(ping, PING);
        struct timespec limit;
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_sec += 30;
        if (sem_timedwait(&g_answered, &limit) != 0) break;
        trips[done] = now_ns() - start;
    }
    if (done == count) {
        qsort(trips, (size_t)count, sizeof *trips, by_value);
        write_number("BP_RTT", count % 2 ? trips[count / 2] : (trips[count / 2 - 1] + trips[count / 2]) / 2);
    } else {
        write_number("BP_RTT", -1);
    }
    free(trips);
    return NULL;
}

static int bp_lib_init(void* table) {
    g_table = table;
    char const* api = (char const*)g_table[2];
    memcpy(&g_nb, api + 28, sizeof g_nb); /* the buffer table inside the framework table */
    sem_init(&g_answered, 0, 0);
    return 1;
}

static int bp_init(int protocol) {
    (void)protocol;
    return 1;
}

static void bp_connected(int how) {
    if (how == 1) send_bytes("hello", 5);
}

static void bp_packet(void* buffer) {
    int const n = ((int (*)(void*))g_nb[4])(buffer);
    char bytes[PING];
    int const keep = n < PING ? n : PING;
    ((void (*)(void*, char*, int, int, int))g_nb[11])(buffer, bytes, keep, 0, 0);
    if (keep == 5 && !memcmp(bytes, "hello", 5)) {
        write_number("BP_HELLO", now_ns());
        char const* pings = getenv("BP_PINGS");
        if (pings && !g_pinging) {
            g_pinging = 1;
            pthread_t t;
            if (pthread_create(&t, NULL, pinger, (void*)(intptr_t)atoi(pings)) == 0) pthread_detach(t);
        }
    } else if (keep == PING && bytes[0] == 'p') {
        bytes[0] = 'q';
        send_bytes(bytes, PING);
    } else if (keep == PING && bytes[0] == 'q') {
        sem_post(&g_answered);
    }
}

static int bp_command(void* buffer) {
    (void)buffer;
    return 0;
}

EXPORT struct tp_record tovan_plugin_2 = {
    7, BP_NAME, 1, bp_lib_init, NULL, NULL, bp_init, bp_connected, NULL, bp_packet, bp_command, NULL, NULL};
