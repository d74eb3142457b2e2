// SPDX-License-Identifier: MIT
// A stream's samples as an HDF5 file, for recordings of hours: extendible
// datasets written in blocks, the recording's metadata as attributes.
#pragma once

#include <memory>
#include <string>

#include "stream_output.h"

namespace kine_tools {

// True when this kine was built with HDF5 (Debian: libhdf5-dev).
bool hdf5Available();

// An HDF5 writer to `path` (replaced if it exists), or null after a line on
// standard error. The metadata and the columns come from the layout's
// recording when the stream starts.
std::unique_ptr<StreamOutput> makeHdf5Writer(const std::string& path);

}  // namespace kine_tools
