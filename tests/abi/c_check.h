// SPDX-License-Identifier: MIT
/* CHECK for the C test programs: reports a failed condition with its place
 * and counts it in `failures`; the program exits non-zero when any failed. */
#ifndef KINE_TEST_C_CHECK_H
#define KINE_TEST_C_CHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                \
        }                                                              \
    } while (0)

#endif /* KINE_TEST_C_CHECK_H */
