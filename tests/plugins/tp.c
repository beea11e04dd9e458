/* A test plugin written against the interface as drawn in bytes, never
 * against the host's headers: its own record, its own view of the host
 * tables, buffers through the buffer table's slots by position and a small
 * packet codec. A layout mistake on either side fails a test instead of
 * agreeing with itself.
 *
 * Built in variants by -D (tests/plugins/CMakeLists.txt):
 *   TP_NAME "x"      the record's name (and the .rec file's)
 *   TP_IFACE n       the interface version in the record
 *   TP_INIT n        what lib_init returns; TP_CRASH raises SIGSEGV there
 *   TP_NO_RECORD     exports no record
 *   TP_CHILD         hands over a second record "<name>_child" at lib_start
 *   TP_SIBLING       needs libtpsibling.so.1 through RUNPATH "."
 *   TP_SETTINGS      a settings page (tp_settings_page.cpp) and an entry
 *                    "TP &entry" in the plugins menu; notes their use
 *   TP_KIDS          hands over two records "<name>_a" and "<name>_b" at
 *                    lib_start, each recording under its own name
 *   TP_AS "x"        the record's name instead of TP_NAME, for two builds
 *                    of one plugin (as two ends' copies differ)
 *   TP_PROTO n       the record's protocol version (3 when not given)
 *   TP_MIN n         init(p) accepts only p >= n (else every p)
 *   TP_AGAIN         a chat line holding "tp-again" makes it send
 *                    "again <name> <pid>" on its sub-channel
 *   TP_CHANNEL n     once connected, moves to sub-channel n before its hello
 *   TP_FILE          makes NAME.tmp in the working directory, "plugin-file"
 *
 * Every call is logged to $TP_RECORD_DIR/NAME.rec, one line each, with the
 * thread id. The tp_* hooks let a test make the plugin call any host entry
 * on the test's chosen thread. A fixed script runs at lib_start, when
 * "main/connection" reports "up", and once the session is up (the first
 * "gui-status" of a connected state), which also shows a system line and
 * asks for a program link. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

#include "tp_record.h"

#ifdef TP_AS
#undef TP_NAME
#define TP_NAME TP_AS
#endif
#ifndef TP_PROTO
#define TP_PROTO 3
#endif

/* ---- the host table, by word ---- */
enum { w_log = 0, w_version = 1, w_api = 2 };
enum { e_system_message, e_send, e_command, e_server_request, e_translate, e_get_setting, e_invoke };
#define API_NETBUF_OFFSET 28 /* the buffer table inside the framework table */

/* buffer slots by position */
enum { s_destroy = 1, s_create = 2, s_size = 4, s_allocate = 7, s_copy = 11, s_counter = 21 };

static uint64_t* g_table;
static void** g_nb;
static void* g_handle;
static char g_path[1024];
static int g_callback_result = 1;
static pthread_mutex_t g_log_mutex = PTHREAD_MUTEX_INITIALIZER;
static char g_packet_command[256];
static int g_packet_command_len;

/* Unloading order across plugins: one shared file. */
static void note_order(char const* what) {
    char const* dir = getenv("TP_RECORD_DIR");
    if (!dir) return;
    char path[1200];
    snprintf(path, sizeof path, "%s/order.rec", dir);
    FILE* f = fopen(path, "a");
    if (f) {
        fprintf(f, "%s %s\n", TP_NAME, what);
        fclose(f);
    }
}

static void* entry(int which) {
    int const first = g_table[w_version] == 5 ? 5 : 3;
    return (void*)g_table[first + which];
}

/* ---- the log file ---- */
static void vnote(char const* name, char const* format, va_list args) {
    char const* dir = getenv("TP_RECORD_DIR");
    if (!dir) return;
    char path[1200];
    snprintf(path, sizeof path, "%s/%s.rec", dir, name);
    pthread_mutex_lock(&g_log_mutex);
    FILE* f = fopen(path, "a");
    if (f) {
        fprintf(f, "[%ld] ", (long)syscall(SYS_gettid));
        vfprintf(f, format, args);
        fputc('\n', f);
        fclose(f);
    }
    pthread_mutex_unlock(&g_log_mutex);
}
static void note(char const* format, ...) __attribute__((format(printf, 1, 2)));
static void note(char const* format, ...) {
    va_list args;
    va_start(args, format);
    vnote(TP_NAME, format, args);
    va_end(args);
}
/* Into the record of another name (a child's). */
static void note_as(char const* name, char const* format, ...) __attribute__((format(printf, 2, 3)));
static void note_as(char const* name, char const* format, ...) {
    va_list args;
    va_start(args, format);
    vnote(name, format, args);
    va_end(args);
}

/* ---- buffers ---- */
static void* nb_create(void) {
    return ((void* (*)(void))g_nb[s_create])();
}
static void nb_destroy(void* b) {
    ((void (*)(void*))g_nb[s_destroy])(b);
}
static int nb_size(void* b) {
    return ((int (*)(void*))g_nb[s_size])(b);
}
static void nb_append(void* b, void const* bytes, int n) {
    if (n <= 0) return;
    char* at = ((char* (*)(void*, int, int))g_nb[s_allocate])(b, n, 1);
    memcpy(at, bytes, (size_t)n);
}
/* Copies the last n bytes (take: and removes them). */
static void nb_back(void* b, void* out, int n, int take) {
    ((void (*)(void*, char*, int, int, int))g_nb[s_copy])(b, (char*)out, n, take, 1);
}
static void nb_all(void* b, char* out, int n) {
    ((void (*)(void*, char*, int, int, int))g_nb[s_copy])(b, out, n, 0, 0);
}

/* ---- the packet codec: values appended, read back from the end ---- */
static void push_int(void* b, int64_t v) {
    unsigned char bytes[9];
    int n = 0;
    uint64_t m = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
    for (; m; m >>= 8) bytes[n++] = (unsigned char)m;
    bytes[n] = (unsigned char)(n | (v < 0 ? 0x80 : 0));
    nb_append(b, bytes, n + 1);
}
static void push_str(void* b, char const* s, int len) {
    nb_append(b, s, len);
    push_int(b, len);
}
static void push_text(void* b, char const* s) {
    push_str(b, s, (int)strlen(s));
}
static void push_bool(void* b, int v) {
    nb_append(b, v ? "T" : "F", 1);
}
static int pop_int(void* b, int64_t* v) {
    unsigned char c, bytes[8];
    if (nb_size(b) < 1) return 0;
    nb_back(b, &c, 1, 0);
    int const n = c & 0x7f;
    if (n > 8 || nb_size(b) < n + 1) return 0;
    nb_back(b, &c, 1, 1);
    nb_back(b, bytes, n, 1);
    uint64_t m = 0;
    for (int i = n - 1; i >= 0; --i) m = (m << 8) | bytes[i];
    *v = (c & 0x80) ? -(int64_t)m : (int64_t)m;
    return 1;
}
/* A string into out (NUL-terminated, cut to max - 1); its length or -1. */
static int pop_str(void* b, char* out, int max) {
    int64_t len;
    if (!pop_int(b, &len) || len < 0 || len > nb_size(b)) return -1;
    char* tmp = malloc((size_t)len + 1);
    nb_back(b, tmp, (int)len, 1);
    int const keep = (int)len < max - 1 ? (int)len : max - 1;
    memcpy(out, tmp, (size_t)keep);
    out[keep] = 0;
    free(tmp);
    return (int)len;
}
static int pop_bool(void* b, int* v) {
    char c;
    if (nb_size(b) < 1) return 0;
    nb_back(b, &c, 1, 1);
    *v = c == 'T';
    return 1;
}
/* A copy of a buffer the host lends, so that popping leaves its bytes alone. */
static void* nb_copy_of(void* b) {
    int const n = nb_size(b);
    char* bytes = malloc((size_t)n + 1);
    nb_all(b, bytes, n);
    void* c = nb_create();
    nb_append(c, bytes, n);
    free(bytes);
    return c;
}
static void note_hex(char const* what, void* b) {
    int const n = nb_size(b);
    char* bytes = malloc((size_t)n + 1);
    char* hex = malloc((size_t)n * 3 + 1);
    nb_all(b, bytes, n);
    hex[0] = 0;
    for (int i = 0; i < n; ++i) sprintf(hex + i * 3, "%02X ", (unsigned char)bytes[i]);
    note("%s %s", what, hex);
    free(bytes);
    free(hex);
}

/* ---- calling the host ---- */
static void host_log(char const* text) {
    ((void (*)(char const*, char const*))g_table[w_log])(TP_NAME, text);
}
static int host_command(void* packet) {
    return ((int (*)(char const*, void*))entry(e_command))(TP_NAME, packet);
}
static int command_text(char const* name) {
    void* b = nb_create();
    push_text(b, name);
    int const r = host_command(b);
    nb_destroy(b);
    return r;
}
__attribute__((unused)) static void command_arg(char const* name, char const* text_or_null, int64_t number) {
    void* b = nb_create();
    text_or_null ? push_text(b, text_or_null) : push_int(b, number);
    push_text(b, name);
    host_command(b);
    nb_destroy(b);
}
static int register_callback(char const* name) {
    void* b = nb_create();
    push_bool(b, 1);
    push_text(b, name);
    push_text(b, "register-callback");
    int const r = host_command(b);
    nb_destroy(b);
    note("register-callback %s -> %d", name, r);
    return r;
}
static void send_unnamed(char const* text) {
    void* b = nb_create();
    nb_append(b, text, (int)strlen(text));
    ((void (*)(char const*, void*))entry(e_send))(NULL, b);
    nb_destroy(b);
}

/* ---- the record's entries ---- */
#ifdef TP_SIBLING
int tp_sibling_value(void);
#endif

static int tp_lib_init(void* table) {
    g_table = table;
    if (g_table[w_version] == 5) {
        g_nb = (void**)g_table[4];
        note("lib_init word1=%lld nb=%p last=%llu", (long long)g_table[1], (void*)g_nb,
             (unsigned long long)g_table[12]);
    } else {
        char const* api = (char const*)g_table[w_api];
        int32_t api_version;
        memcpy(&api_version, api, 4);
        memcpy(&g_nb, api + API_NETBUF_OFFSET, sizeof g_nb);
        note("lib_init word1=%lld api_version=%d nb=%p last=%llu", (long long)g_table[1], api_version,
             (void*)g_nb, (unsigned long long)g_table[10]);
    }
#ifdef TP_SIBLING
    note("sibling %d", tp_sibling_value());
#endif
    if (getenv("TP_INIT_SEND")) send_unnamed("tp_from_init");
#ifdef TP_CRASH
    raise(SIGSEGV);
#endif
    return TP_INIT;
}

#ifdef TP_CHILD
static struct tp_record g_child;
#endif

/* Hands a record over to the host as a child of this library. */
#if defined(TP_CHILD) || defined(TP_KIDS)
static void hand_over(struct tp_record* child) {
    void* b = nb_create();
    push_int(b, (int64_t)(intptr_t)g_handle);
    push_int(b, (int64_t)(intptr_t)child);
    push_text(b, "load-plugin");
    note("load-plugin -> %d", host_command(b));
    nb_destroy(b);
}
#endif

static void script(char const* when) {
    note("script %s", when);
    send_unnamed("tp_hello");
    void* b = nb_create();
    push_text(b, "get_remote_version");
    void* r = ((void* (*)(void const*, void*))entry(e_server_request))(NULL, b);
    nb_destroy(b);
    if (r) {
        char v[64] = {0};
        int const n = nb_size(r) < 63 ? nb_size(r) : 63;
        nb_all(r, v, n);
        note("remote version \"%s\"", v);
        nb_destroy(r);
    } else {
        note("remote version null");
    }
}

/* Once the session is up (the first "gui-status" with state 6 or more). */
static int g_session_script_done;
static void session_script(void) {
    script("session");
    ((void (*)(char const*, char const*, int))entry(e_system_message))(NULL, "tp line", 1);
    void* b = nb_create();
    push_text(b, "a"); /* the map {a: 1}: each pair key then value, then the count */
    push_text(b, "1");
    push_int(b, 1);
    push_text(b, "get_program_link");
    void* r = ((void* (*)(void const*, void*))entry(e_server_request))(NULL, b);
    nb_destroy(b);
    char link[128] = {0};
    if (r) {
        int const n = nb_size(r) < 127 ? nb_size(r) : 127;
        nb_all(r, link, n);
        nb_destroy(r);
    }
    note("program link %s\"%s\"", r ? "" : "null ", link);
    /* Save the connection (connect.dat). */
    b = nb_create();
    push_bool(b, 1);
    push_text(b, "connect-save");
    note("connect-save -> %d", host_command(b));
    nb_destroy(b);
}

#ifdef TP_SETTINGS
void tps_make_page(void* dialog, void (*saved)(int));
static void page_saved(int index) {
    note("settings saved page %d", index);
}
/* An entry in the plugins menu, and the plugin's button shown active. */
static void add_menu_entry(void) {
    void* b = nb_create();
    push_int(b, 0);
    push_text(b, "TP &entry");
    push_text(b, "SETTINGS");
    push_text(b, "append-menu");
    note("append-menu -> %u", (unsigned)host_command(b));
    nb_destroy(b);
    b = nb_create();
    push_bool(b, 1);
    push_text(b, "plugin-active");
    host_command(b);
    nb_destroy(b);
}
#endif

#ifdef TP_KIDS
/* The two children: entries of their own, each recording under its name. */
static void greet(char const* name, char const* word);
static void note_packet(char const* name, void* buffer);
#define TP_KID(k, suffix)                                                                                    \
    static int kid##k##_init(int protocol) {                                                                 \
        note_as(TP_NAME suffix, "init %d", protocol);                                                        \
        return 1;                                                                                            \
    }                                                                                                        \
    static void kid##k##_connected(int how) {                                                                \
        note_as(TP_NAME suffix, "connected %d", how);                                                        \
        if (how == 1) greet(TP_NAME suffix, "hello");                                                        \
    }                                                                                                        \
    static void kid##k##_deinit(void) {                                                                      \
        note_as(TP_NAME suffix, "deinit");                                                                   \
    }                                                                                                        \
    static void kid##k##_packet(void* buffer) {                                                              \
        note_packet(TP_NAME suffix, buffer);                                                                 \
    }
TP_KID(0, "_a")
TP_KID(1, "_b")
static struct tp_record g_kids[2] = {{7, TP_NAME "_a", TP_PROTO, NULL, NULL, NULL, kid0_init, kid0_connected,
                                      kid0_deinit, kid0_packet, NULL, NULL, NULL},
                                     {7, TP_NAME "_b", TP_PROTO, NULL, NULL, NULL, kid1_init, kid1_connected,
                                      kid1_deinit, kid1_packet, NULL, NULL, NULL}};
#endif

static void tp_lib_start(void) {
    note("lib_start");
#ifdef TP_SETTINGS
    add_menu_entry();
#endif
    host_log("started");
#ifdef TP_FILE
    fclose(fopen(TP_NAME ".tmp", "w")); /* in the program's working directory */
    command_arg("plugin-file", TP_NAME ".tmp", 0);
#endif
    register_callback("main/connection");
    register_callback("recording/data");
#ifdef TP_CHILD
    g_child.iface = 7;
    g_child.name = TP_NAME "_child";
    g_child.lib_init = NULL;
    g_child.command = NULL;
    hand_over(&g_child);
#endif
#ifdef TP_KIDS
    hand_over(&g_kids[0]);
    hand_over(&g_kids[1]);
#endif
    script("lib_start");
}

static void tp_lib_deinit(void) {
    note("lib_deinit");
    note_order("lib_deinit");
}

static int tp_init(int protocol) {
    note("init %d", protocol);
#ifdef TP_MIN
    return protocol >= TP_MIN;
#else
    return 1;
#endif
}
/* "<word> <name> <pid>" to the peer's copy on the plugin's sub-channel. */
static void greet(char const* name, char const* word) {
    char text[96];
    snprintf(text, sizeof text, "%s %s %d", word, name, (int)getpid());
    void* b = nb_create();
    nb_append(b, text, (int)strlen(text));
    ((void (*)(char const*, void*))entry(e_send))(name, b);
    nb_destroy(b);
}
static void tp_connected(int how) {
    note("connected %d", how);
#ifdef TP_CHANNEL
    if (how == 1) command_arg("set-channel", NULL, TP_CHANNEL);
#endif
    /* Once given its sub-channel: a greeting to its peer there. */
    if (how == 1) greet(TP_NAME, "hello");
}
static void tp_deinit(void) {
    note("deinit");
}

static void note_packet(char const* name, void* buffer) {
    char text[64] = {0};
    int const n = nb_size(buffer);
    nb_all(buffer, text, n < 63 ? n : 63);
    note_as(name, "packet %d \"%s\"", n, text);
}
static void tp_packet(void* buffer) {
    char text[64] = {0};
    int const n = nb_size(buffer);
    nb_all(buffer, text, n < 63 ? n : 63);
    note_packet(TP_NAME, buffer);
    if (!strcmp(text, "stall")) sleep(4); /* a packet thread stuck at exit */
    if (g_packet_command_len > 0) {
        void* b = nb_create();
        nb_append(b, g_packet_command, g_packet_command_len);
        note("packet command -> %d", host_command(b));
        nb_destroy(b);
    }
}

static int tp_command(void* buffer) {
    note_hex("command-bytes", buffer);
    void* b = nb_copy_of(buffer);
    char name[128], s[1024];
    int64_t i1 = 0;
    int f1 = 0, f2 = 0;
    if (pop_str(b, name, sizeof name) < 0) {
        nb_destroy(b);
        return 0;
    }
    if (!strcmp(name, "loadmsg")) {
        pop_bool(b, &f1);
        pop_int(b, &i1);
        pop_bool(b, &f2);
        note("loadmsg client=%d window=%d closed=%d", f1, i1 != 0, f2);
    } else if (!strcmp(name, "window-status")) {
        pop_str(b, s, sizeof s);
        note("window-status \"%s\"", s);
    } else if (!strcmp(name, "library_info")) {
        pop_str(b, g_path, sizeof g_path);
        pop_int(b, &i1);
        g_handle = (void*)(intptr_t)i1;
        void* h = dlopen(g_path, RTLD_NOW | RTLD_NOLOAD);
        note("library_info path=%s same_handle=%d", g_path, h == g_handle);
        if (h) dlclose(h);
    } else if (!strcmp(name, "handle_options")) {
        int64_t count = 0;
        pop_str(b, s, sizeof s);
        pop_int(b, &count);
        char line[2048];
        snprintf(line, sizeof line, "handle_options %s", s);
        for (int64_t k = 0; k < count; ++k) {
            char key[256], value[256];
            pop_str(b, value, sizeof value); /* a pair pops its second first */
            pop_str(b, key, sizeof key);
            size_t const used = strlen(line);
            snprintf(line + used, sizeof line - used, " %s=%s", key, value);
        }
        note("%s", line);
    } else if (!strcmp(name, "gui-status")) {
        pop_int(b, &i1);
        note("gui-status %lld", (long long)i1);
        if ((i1 & 15) >= 6 && !g_session_script_done) {
            g_session_script_done = 1;
            session_script();
        }
    } else if (!strcmp(name, "plugin-command")) {
        pop_str(b, s, sizeof s);
        note("plugin-command from %s", s);
#ifdef TP_SETTINGS
    } else if (!strcmp(name, "show_settings")) {
        pop_int(b, &i1);
        note("show_settings");
        tps_make_page((void*)(intptr_t)i1, page_saved);
    } else if (!strcmp(name, "command-event")) {
        pop_str(b, s, sizeof s);
        note("command-event %s", s);
#endif
    } else {
        note("command %s", name);
    }
    nb_destroy(b);
    return 7;
}

static int tp_callback(char const* name, void* data) {
    void* b = nb_copy_of(data);
    if (!strcmp(name, "main/connection")) {
        char what[32] = {0};
        pop_str(b, what, sizeof what);
        note("callback main/connection %s", what);
        if (!strcmp(what, "up")) script("up");
    } else if (!strcmp(name, "recording/data")) {
        char app[32] = {0}, kind[32] = {0}, who[32] = {0};
        pop_str(b, app, sizeof app);
        pop_str(b, kind, sizeof kind);
        pop_str(b, who, sizeof who);
        note("callback recording/data %s %s %s", who, kind, app);
        /* A chat line holding "tp-trigger" makes the plugin show a system
         * line of its own, sent to the remote end (from inside the callback). */
        int const n = nb_size(b);
        char* line = malloc((size_t)n + 1);
        nb_all(b, line, n);
        line[n] = 0;
        if (strstr(line, "tp-trigger"))
            ((void (*)(char const*, char const*, int))entry(e_system_message))(NULL, "tp answer", 1);
#ifdef TP_AGAIN
        /* "tp-again": a packet to the peer's copy on the sub-channel. */
        if (strstr(line, "tp-again")) greet(TP_NAME, "again");
#endif
        free(line);
    } else if (!strcmp(name, "reenter")) {
        /* Calls back into the host from inside its callback. */
        note("reentered -> %d", ((int (*)(char const*, void*))entry(e_invoke))("x", data));
    } else {
        note("callback %s", name);
    }
    nb_destroy(b);
    return g_callback_result;
}

/* Without a record the same entries sit under a name the host never looks up. */
#ifndef TP_NO_RECORD
#define TP_RECORD_SYMBOL tovan_plugin_2
#else
#define TP_RECORD_SYMBOL tp_unnamed_record
#endif
EXPORT struct tp_record TP_RECORD_SYMBOL = {TP_IFACE,      TP_NAME, TP_PROTO,     tp_lib_init, tp_lib_start,
                                            tp_lib_deinit, tp_init, tp_connected, tp_deinit,   tp_packet,
                                            tp_command,    NULL,    tp_callback};

__attribute__((destructor)) static void tp_unloaded(void) {
    note("destructor");
    note_order("destructor");
}

/* ---- hooks for the tests: each calls one host entry on the caller's thread ---- */
EXPORT void* tp_table(void) {
    return g_table;
}
EXPORT void tp_set_callback_result(int r) {
    g_callback_result = r;
}
/* Sends the packet bytes as a command; the host's result. */
EXPORT int tp_command_bytes(char const* bytes, int len) {
    void* b = nb_create();
    nb_append(b, bytes, len);
    int const r = host_command(b);
    nb_destroy(b);
    return r;
}
/* A command the packet entry sends each time it runs (len 0: none). */
EXPORT void tp_set_packet_command(char const* bytes, int len) {
    if (len > (int)sizeof g_packet_command) len = (int)sizeof g_packet_command;
    memcpy(g_packet_command, bytes, (size_t)len);
    g_packet_command_len = len;
}
static int reply_bytes(void* r, char* out, int max) {
    if (!r) return -1;
    int const n = nb_size(r);
    nb_all(r, out, n < max ? n : max);
    nb_destroy(r);
    return n;
}
/* The entries that return a buffer: its bytes into out, the length, or -1 for null. */
EXPORT int tp_request(char const* bytes, int len, char* out, int max) {
    void* b = nb_create();
    nb_append(b, bytes, len);
    void* r = ((void* (*)(void const*, void*))entry(e_server_request))(NULL, b);
    nb_destroy(b);
    return reply_bytes(r, out, max);
}
EXPORT int tp_translate(char const* key, char* out, int max) {
    return reply_bytes(((void* (*)(char const*))entry(e_translate))(key), out, max);
}
EXPORT int tp_setting(char const* key, char* out, int max) {
    return reply_bytes(((void* (*)(char const*))entry(e_get_setting))(key), out, max);
}
EXPORT void tp_send(char const* plugin, char const* bytes, int len) {
    void* b = nb_create();
    nb_append(b, bytes, len);
    ((void (*)(char const*, void*))entry(e_send))(plugin, b);
    nb_destroy(b);
}
EXPORT int tp_invoke(char const* name, char const* bytes, int len) {
    void* b = nb_create();
    nb_append(b, bytes, len);
    int const r = ((int (*)(char const*, void*))entry(e_invoke))(name, b);
    nb_destroy(b);
    return r;
}
EXPORT void tp_system_message(char const* text, int send) {
    ((void (*)(char const*, char const*, int))entry(e_system_message))(NULL, text, send);
}
EXPORT void tp_log(char const* text) {
    host_log(text);
}
EXPORT int64_t tp_counter(int which) {
    return ((int64_t(*)(int))g_nb[s_counter])(which);
}
EXPORT int tp_command_name(char const* name) {
    return command_text(name);
}
