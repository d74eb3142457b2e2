// SPDX-License-Identifier: MIT
// libkine.so exports the array resize and its three globals, and hides the
// implementation. Loaded into this program, which has globals of the same
// names (from the static library) in its own dynamic symbol table, the
// shared library still writes only its own.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "daq/PackArray.h"

namespace {

struct Library {
    Library() : handle(dlopen(KINE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle != nullptr) dlclose(handle);
    }
    void* symbol(const char* name) const { return dlsym(handle, name); }
    void* handle;
};

TEST(Exports, ResizeAndGlobalsAreExportedInternalsAreNot) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    EXPECT_NE(lib.symbol("size"), nullptr);
    EXPECT_NE(lib.symbol("newptr"), nullptr);
    EXPECT_NE(lib.symbol("arrSize"), nullptr);
    EXPECT_NE(lib.symbol("_ZN4kine5alloc16reallocPackArrayERP11KinePackagei"), nullptr);
    EXPECT_NE(lib.symbol("_ZN4kine5alloc16reallocPackArrayERP13KinePackage6Di"), nullptr);
    // The connection's implementation stays inside the library.
    EXPECT_EQ(lib.symbol("_ZN15KineDAQ_private9smProcessERA16_St5dequeI11KinePackageSaIS1_EEb"), nullptr);
    EXPECT_EQ(lib.symbol("_ZN15KineDAQ_private11smProcess6DERSt5dequeI13KinePackage6DSaIS1_EEb"), nullptr);
}

TEST(Exports, LoadedLibraryWritesItsOwnGlobals) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    auto resize =
        reinterpret_cast<void (*)(KinePackage*&, int)>(lib.symbol("_ZN4kine5alloc16reallocPackArrayERP11KinePackagei"));
    auto* theirSize = static_cast<int*>(lib.symbol("size"));
    auto* theirNewptr = static_cast<void**>(lib.symbol("newptr"));
    ASSERT_NE(resize, nullptr);
    ASSERT_NE(theirSize, nullptr);
    ASSERT_NE(theirSize, &::size);

    ::size = -77;
    ::newptr = nullptr;
    KinePackage* a = nullptr;
    resize(a, 9);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(*theirSize, 9);
    EXPECT_EQ(*theirNewptr, a);
    EXPECT_EQ(::size, -77);
    EXPECT_EQ(::newptr, nullptr);
    delete[] a;
}

}  // namespace
