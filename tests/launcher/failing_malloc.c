/* Preloaded into a launcher to make its allocations fail: malloc refuses
 * every request above FAILING_MALLOC_ABOVE bytes (when that is set), as a
 * process short of memory would. */
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);

void* malloc(size_t size) {
    const char* limit = getenv("FAILING_MALLOC_ABOVE");
    if (limit && size > strtoul(limit, NULL, 10)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}
