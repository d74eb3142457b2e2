#include "daq/PackArray.h"

#include <algorithm>
#include <type_traits>

KINE_API void* newptr = nullptr;
KINE_API int size = 0;
KINE_API size_t* arrSize = nullptr;

namespace kine::alloc {

namespace {

static_assert(!std::is_trivially_destructible<KinePackage>::value &&
                  !std::is_trivially_destructible<KinePackage6D>::value,
              "arrays of samples must carry their element count");

template <typename T>
void resize(T*& array, int count) {
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    ::size = count;
    if (array != nullptr) {
        const size_t old = storedCount(array);
        if (old == n) {  // a caller polling with the same count keeps its array
            ::arrSize = countCookie(array);
            ::newptr = array;
            return;
        }
        T* grown = new T[n];  // may throw; the caller's array is untouched then
        std::copy(array, array + std::min(old, n), grown);
        delete[] array;
        array = grown;
    } else {
        array = new T[n];
    }
    ::arrSize = countCookie(array);
    ::newptr = array;
}

}  // namespace

void reallocPackArray(KinePackage*& array, int count) { resize(array, count); }

void reallocPackArray(KinePackage6D*& array, int count) { resize(array, count); }

}  // namespace kine::alloc
