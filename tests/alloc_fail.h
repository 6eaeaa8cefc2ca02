// An allocation-failure seam for the test binaries: they are linked with
// --wrap=malloc,--wrap=realloc,--wrap=free, so every allocation that the
// library's objects make passes through here.  Nothing in the library
// knows about it.
#ifndef WTTABLE_TESTS_ALLOC_FAIL_H
#define WTTABLE_TESTS_ALLOC_FAIL_H

#include <stddef.h>

struct alloc_fail_counts {
    size_t mallocs;  // successful malloc calls
    size_t reallocs; // successful realloc calls
    size_t frees;    // free calls with a block
    long live;       // blocks allocated minus blocks freed
};

// Lets `successes` more allocations succeed, then fails every later one.
void alloc_fail_after(size_t successes);
// Lets every allocation succeed again.
void alloc_fail_never();
alloc_fail_counts alloc_fail_counters();

#endif
