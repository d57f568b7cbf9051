// Host stand-in for the runtime's <malloc.h>: glibc's, plus _msize, which
// glibc calls malloc_usable_size (exact under AddressSanitizer).
#pragma once
#include_next <malloc.h>

static inline size_t _msize(void *p) {
    return malloc_usable_size(p);
}
