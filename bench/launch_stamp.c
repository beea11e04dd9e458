/* The payload of launcher_bench: its first act is to write the monotonic
 * clock, in nanoseconds, to the file named by LAUNCH_STAMP, so the benchmark
 * sees when the unpacked program began to run. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char* path = getenv("LAUNCH_STAMP");
    FILE* f = path ? fopen(path, "w") : NULL;
    if (!f) return 1;
    fprintf(f, "%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    return fclose(f) == 0 ? 0 : 1;
}
