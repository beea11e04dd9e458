/* Helpers of bench/launcher_compare.sh.
 *
 *   launch_time payload <MiB>            writes MiB of text-like data (runs of
 *                                        words with now and then 4 KiB of noise,
 *                                        about as compressible as program files)
 *                                        to standard output, the same every time
 *   launch_time run <stamp> <command...> runs the command (its output to
 *                                        /dev/null), waits for it and prints
 *                                        "<seconds to stamp> <seconds to end>
 *                                        <peak KiB>": the monotonic time from
 *                                        the spawn to the moment written to the
 *                                        file <stamp> by the payload (bench/
 *                                        launch_stamp.c; "-" when it is not
 *                                        there), to the command's end, and the
 *                                        largest resident size of any process
 *                                        it ran. */
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int payload(long mib) {
    static const char* const words[] = {"session", "relay",   "channel ", "plugin\n", "\x01\x02", "buffer",
                                        "0x7f3a",  "connect", "packet ",  "\t",       "desk",     "(void)"};
    unsigned seed = 12345;
    unsigned long long left = (unsigned long long)mib << 20;
    static char buf[1 << 16];
    size_t used = 0;
    while (left > 0) {
        seed = seed * 1103515245u + 12345u;
        const char* w;
        size_t n;
        char noise[4096];
        if ((seed >> 8) % 4096 == 0) {
            for (int i = 0; i < 4096; ++i) {
                seed = seed * 1103515245u + 12345u;
                noise[i] = (char)(seed >> 16);
            }
            w = noise;
            n = sizeof noise;
        } else {
            w = words[(seed >> 16) % (sizeof words / sizeof words[0])];
            n = strlen(w);
        }
        if (n > left) n = (size_t)left;
        for (size_t i = 0; i < n; ++i) {
            buf[used++] = w[i];
            if (used == sizeof buf) {
                if (fwrite(buf, 1, used, stdout) != used) return 1;
                used = 0;
            }
        }
        left -= n;
    }
    return fwrite(buf, 1, used, stdout) == used && fflush(stdout) == 0 ? 0 : 1;
}

static int run(const char* stamp, char** argv) {
    unlink(stamp);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    long long start = now_ns();
    int rc = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(rc));
        return 1;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    long long end = now_ns();
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    FILE* f = fopen(stamp, "r");
    long long at = 0;
    if (f && fscanf(f, "%lld", &at) == 1)
        printf("%.4f ", (double)(at - start) / 1e9);
    else
        printf("- ");
    if (f) fclose(f);
    printf("%.4f %ld\n", (double)(end - start) / 1e9, ru.ru_maxrss);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "payload") == 0) return payload(atol(argv[2]));
    if (argc >= 4 && strcmp(argv[1], "run") == 0) return run(argv[2], argv + 3);
    fprintf(stderr, "usage: launch_time payload <MiB> | launch_time run <stamp> <command...>\n");
    return 2;
}
