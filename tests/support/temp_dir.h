// SPDX-License-Identifier: MIT
// A temporary folder for one test, removed with what it holds.
#pragma once

#include <ftw.h>
#include <stdlib.h>

#include <cstdio>
#include <stdexcept>
#include <string>

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/kine-test-XXXXXX";
        if (!mkdtemp(t)) throw std::runtime_error("mkdtemp failed");
        path = t;
    }
    ~TempDir() {
        nftw(
            path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return std::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};
