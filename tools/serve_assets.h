// SPDX-License-Identifier: MIT
// The files of the `kine serve` page (tools/web), compiled into the tool at
// build time so that an installed kine needs no data files.
#pragma once

#include <cstddef>

namespace kine_tools {

struct WebAsset {
    const char* path;  // URL path, e.g. "/kine.js"
    const char* type;  // Content-Type
    const unsigned char* data;
    size_t size;
};

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

}  // namespace kine_tools
