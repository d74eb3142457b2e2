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

}  // namespace kine::alloc
