// SPDX-License-Identifier: MIT
#include "daq/PackArray.h"

#include <algorithm>
#include <type_traits>

KINE_API void* newptr = nullptr;
KINE_API int size = 0;
KINE_API size_t* arrSize = nullptr;

namespace kine::alloc {

size_t* countCookie(void* array) { return static_cast<size_t*>(array) - 1; }

__attribute__((noinline, no_sanitize("address"))) size_t elementCount(const void* array) {
    return static_cast<const size_t*>(array)[-1];
}

namespace {

// The globals may be written by reads on several threads at once: relaxed
// atomic stores on the plain variables keep their type and layout.
template <typename V>
void record(V& global, V value) {
    __atomic_store_n(&global, value, __ATOMIC_RELAXED);
}

void recordResize(void* array) {
    record(::arrSize, countCookie(array));
    record(::newptr, array);
}

static_assert(!std::is_trivially_destructible<KinePackage>::value &&
                  !std::is_trivially_destructible<KinePackage6D>::value,
              "arrays of samples must carry their element count");

template <typename T>
void resize(T*& array, int count) {
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    record(::size, count);
    if (array != nullptr) {
        const size_t old = elementCount(array);
        if (old == n) {  // a caller polling with the same count keeps its array
            recordResize(array);
            return;
        }
        T* grown = new T[n];  // may throw; the caller's array is untouched then
        std::copy(array, array + std::min(old, n), grown);
        delete[] array;
        array = grown;
    } else {
        array = new T[n];
    }
    recordResize(array);
}

}  // namespace

void reallocPackArray(KinePackage*& array, int count) { resize(array, count); }

void reallocPackArray(KinePackage6D*& array, int count) { resize(array, count); }

}  // namespace kine::alloc
