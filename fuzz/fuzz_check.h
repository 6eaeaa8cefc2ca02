// The fuzz targets' invariant check: names the broken invariant before the
// fuzzer records the input.
#ifndef WTTABLE_FUZZ_CHECK_H
#define WTTABLE_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define check(ok)                                                                   \
    do {                                                                            \
        if (!(ok)) {                                                                \
            fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #ok); \
            abort();                                                                \
        }                                                                           \
    } while (0)

#endif
