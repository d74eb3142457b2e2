// SPDX-License-Identifier: MIT
// Resizing of the sample arrays that the read operations hand to callers.
//
// The arrays are allocated with new[] and carry their element count with
// their allocation, so they can be resized and released (delete[]) without
// being told their length. A caller that hands the same pointer back with
// an unchanged count keeps the same array.
//
// The library also exports three globals recording the last resize:
//   int     size     the requested count
//   size_t* arrSize  the place where the new array's element count is stored
//   void*   newptr   the array after the resize
// Nothing in the library reads them, and the library's own references are
// bound to its own definitions: an application's or another library's
// variable of the same name is never written.
#ifndef KINE_ALLOC_H
#define KINE_ALLOC_H

#include "KinePackage.h"
#include "KinePackage6D.h"
#include "kine_export.h"

namespace kine::alloc {

// Makes `array` an array of exactly `count` samples (null: a new array).
// Samples below min(old, count) keep their values, added ones are default
// samples. The array may move; `array` is updated. Throws std::bad_alloc
// when memory runs out, leaving `array` as it was.
KINE_API void reallocPackArray(KinePackage*& array, int count);
KINE_API void reallocPackArray(KinePackage6D*& array, int count);

}  // namespace kine::alloc

#endif  // KINE_ALLOC_H
