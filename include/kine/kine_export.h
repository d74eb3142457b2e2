// SPDX-License-Identifier: MIT
/* Export control for libkine.
 *
 * The shared library is built with hidden visibility: only declarations
 * marked KINE_API are part of its ABI. Usable from C and C++. */
#ifndef KINE_EXPORT_H
#define KINE_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define KINE_API __attribute__((visibility("default")))
#else
#define KINE_API
#endif

#endif /* KINE_EXPORT_H */
