// SPDX-License-Identifier: MIT
// Caller-owned sample arrays and the exported globals that record their
// last resize (see kine/kine_alloc.h).
#pragma once

#include <cstddef>

#include "kine/kine_alloc.h"

extern KINE_API void* newptr;
extern KINE_API int size;
extern KINE_API size_t* arrSize;

namespace kine::alloc {

// The element count of an array that new T[n] allocated, for a T with a
// non-trivial destructor. The Itanium C++ ABI (the one of GCC and Clang on
// Linux) stores n in a size_t "array cookie" just before the first element,
// and delete[] reads it from there; callers hand the arrays back without
// their length, so the resize reads it too. This is the only place that
// does. AddressSanitizer poisons the cookie, so this read is exempt from it.
size_t* countCookie(void* array);
size_t elementCount(const void* array);

}  // namespace kine::alloc
