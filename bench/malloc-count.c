/* Preloaded into a benchmark process, counts the calls that allocate from the
 * heap, so that the benchmark can tell how many a loop of block transfers
 * made. It calls glibc's own allocator directly (no dlsym, which may itself
 * allocate). */
#include <stdatomic.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* pointer, size_t size);

static atomic_ulong heapCalls;

unsigned long benchHeapCalls(void) {
    return atomic_load(&heapCalls);
}

void* malloc(size_t size) {
    atomic_fetch_add(&heapCalls, 1);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    atomic_fetch_add(&heapCalls, 1);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    atomic_fetch_add(&heapCalls, 1);
    return __libc_realloc(pointer, size);
}
