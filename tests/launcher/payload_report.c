/* The test payload a packed launcher starts: it writes what it was given to the
 * file named by DESK_PAYLOAD_REPORT, one "key hex" line each, so that empty,
 * blank and non-ASCII values come through unchanged:
 *   arg0 <hex>        its own path
 *   arg <hex>         each further argument, in order
 *   cwd <hex>         its working directory
 *   ldpath <hex>      LD_LIBRARY_PATH ("ldpath-unset" when unset)
 *   flock <n>         exit status of `flock -n writeacc.dat true` in its cwd
 * It exits 1 when the report cannot be written. When DESK_PAYLOAD_HOLD names a
 * FIFO, it then opens it and reads until end of file, so a test keeps it (and
 * with it the launcher and its slot lock) alive until the test closes its end. */
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static void put_hex(FILE* f, const char* key, const char* value) {
    fprintf(f, "%s ", key);
    for (const unsigned char* p = (const unsigned char*)value; *p; ++p) fprintf(f, "%02x", *p);
    fputc('\n', f);
}

/* Runs the system's flock tool on the slot's lock file: it must be refused,
 * because the launcher's lock descriptor was inherited by this process. */
static int flock_status(void) {
    char* argv[] = {"flock", "-n", "writeacc.dat", "true", NULL};
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, "flock", NULL, NULL, argv, environ) != 0) return -1;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int main(int argc, char** argv) {
    const char* path = getenv("DESK_PAYLOAD_REPORT");
    if (!path) return 1;
    FILE* f = fopen(path, "w");
    if (!f) return 1;
    put_hex(f, "arg0", argc > 0 ? argv[0] : "");
    for (int i = 1; i < argc; ++i) put_hex(f, "arg", argv[i]);
    char cwd[PATH_MAX];
    put_hex(f, "cwd", getcwd(cwd, sizeof cwd) ? cwd : "");
    const char* ld = getenv("LD_LIBRARY_PATH");
    if (ld)
        put_hex(f, "ldpath", ld);
    else
        fputs("ldpath-unset\n", f);
    fprintf(f, "flock %d\n", flock_status());
    if (fclose(f) != 0) return 1;
    const char* hold = getenv("DESK_PAYLOAD_HOLD");
    if (hold) {
        int fd = open(hold, O_RDONLY);
        if (fd < 0) return 1;
        char buf[64];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
    }
    return 0;
}
