/* A library for the launcher's library start. Its entry point (DllStartService,
 * or SERVICE_ENTRY when the build renames it to leave the library without one)
 * writes what it was called with to the file named by DESK_PAYLOAD_REPORT, one
 * "key hex" line each (argc as a decimal), and returns the number in
 * DESK_SERVICE_RESULT (0 when unset). */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#ifndef SERVICE_ENTRY
#define SERVICE_ENTRY DllStartService
#endif

static void put_hex(FILE* f, const char* key, const char* value) {
    fprintf(f, "%s ", key);
    for (const unsigned char* p = (const unsigned char*)value; *p; ++p) fprintf(f, "%02x", *p);
    fputc('\n', f);
}

int SERVICE_ENTRY(int argc, char** argv) {
    const char* path = getenv("DESK_PAYLOAD_REPORT");
    FILE* f = path ? fopen(path, "w") : NULL;
    if (f) {
        fprintf(f, "argc %d\n", argc);
        for (int i = 0; i < argc; ++i) put_hex(f, "arg", argv[i]);
        char cwd[PATH_MAX];
        put_hex(f, "cwd", getcwd(cwd, sizeof cwd) ? cwd : "");
        fclose(f);
    }
    const char* result = getenv("DESK_SERVICE_RESULT");
    return result ? atoi(result) : 0;
}
