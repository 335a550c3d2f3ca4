// Counts heap allocations made by this program between start() and stop():
// malloc, calloc, realloc, aligned forms and operator new all end up in the
// interposed allocator functions of alloc_count.cpp (glibc).
#ifndef BENCH_ALLOC_COUNT_H
#define BENCH_ALLOC_COUNT_H

namespace allocs {
void start();
long stop(); // allocations since start()
} // namespace allocs

#endif
