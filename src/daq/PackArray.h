// Caller-owned sample arrays and the exported globals that record their
// last resize (see kine/kine_alloc.h).
#pragma once

#include <cstddef>

#include "kine/kine_alloc.h"

extern KINE_API void* newptr;
extern KINE_API int size;
extern KINE_API size_t* arrSize;

namespace kine::alloc {

// Element count stored with an array allocated by new T[n] (T having a
// non-trivial destructor, the count sits just before the first element).
template <typename T>
size_t* countCookie(T* array) {
    return reinterpret_cast<size_t*>(array) - 1;
}

// The element count of an array from new T[n]. Not a stray access: the
// Itanium C++ ABI puts the count of an array whose elements have a
// non-trivial destructor in the size_t just before the first element,
// inside the allocation, and delete[] reads it from there. clang's
// AddressSanitizer poisons that word to catch writes that stray into it
// (poison_array_cookie); this read is the one access the ABI defines, so it
// is exempt from the check.
template <typename T>
__attribute__((no_sanitize("address"))) size_t storedCount(const T* array) {
    return *(reinterpret_cast<const size_t*>(array) - 1);
}

}  // namespace kine::alloc
