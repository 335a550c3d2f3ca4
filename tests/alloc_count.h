// Counts the heap allocations this program makes while a window is open:
// malloc, calloc, realloc, the aligned forms and, through them, operator
// new.  Natively the program's own malloc family forwards to glibc's
// internal entry points and counts; under AddressSanitizer the sanitizer's
// allocator hook counts instead.  Used by the allocation test and the
// benchmarks.
#ifndef TESTS_ALLOC_COUNT_H
#define TESTS_ALLOC_COUNT_H

namespace allocs {
void start(); // count from 0, window open
long stop();  // window closed; the allocations since start()
// Opens or closes the window without touching the count; returns whether
// it was open (to suspend counting around code that may allocate).
bool window(bool open);
long count();
} // namespace allocs

#endif
