// See alloc_count.h.
#include "alloc_count.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
inline void note()
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

namespace allocs {
void start()
{
    allocations = 0;
    counting = true;
}
long stop()
{
    counting = false;
    return allocations;
}
bool window(bool open) { return counting.exchange(open); }
long count() { return allocations; }
} // namespace allocs

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocator hook (its header does not come with
// every compiler).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
namespace {
void onMalloc(const volatile void *, size_t) { note(); }
void onFree(const volatile void *) {}
const int g_hooks = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
} // namespace
#else
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t n)
{
    note();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    note();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    note();
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n)
{
    note();
    return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n)
{
    note();
    return __libc_memalign(a, n);
}
int posix_memalign(void **out, size_t a, size_t n)
{
    note();
    void *p = __libc_memalign(a, n);
    if (!p)
        return 12; // ENOMEM
    *out = p;
    return 0;
}
void free(void *p) { __libc_free(p); }
}
#endif
