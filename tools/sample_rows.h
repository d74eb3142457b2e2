// SPDX-License-Identifier: MIT
// The library's sample arrays as rows of values, as the tool's outputs take them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kine/KinePackage.h"
#include "kine/KinePackage6D.h"

namespace kine_tools {

// The `count` samples of a readAll array (sample i of sensor s at
// samples[s * count + i]) as rows of `width` values: x, y, z, aux per sensor
// for the first `sensors`, zeros after. Leaves `rows` alone for count <= 0.
inline void sensorRows(const KinePackage* samples, int count, int sensors, size_t width, std::vector<int32_t>& rows) {
    if (count <= 0) return;
    rows.assign(static_cast<size_t>(count) * width, 0);
    for (int i = 0; i < count; ++i)
        for (int s = 0; s < sensors; ++s) {
            const KinePackage& p = samples[s * count + i];
            int32_t* row = &rows[static_cast<size_t>(i) * width + 4 * static_cast<size_t>(s)];
            row[0] = p.x;
            row[1] = p.y;
            row[2] = p.z;
            row[3] = p.aux;
        }
}

// The `count` samples of a readAll6D array as rows Fx, Fy, Fz, Tx, Ty, Tz.
inline void sixAxisRows(const KinePackage6D* samples, int count, std::vector<int32_t>& rows) {
    if (count <= 0) return;
    rows.resize(static_cast<size_t>(count) * 6);
    for (int i = 0; i < count; ++i) {
        const KinePackage6D& p = samples[i];
        const int32_t v[6] = {p.Fx, p.Fy, p.Fz, p.Tx, p.Ty, p.Tz};
        std::copy(v, v + 6, &rows[static_cast<size_t>(i) * 6]);
    }
}

}  // namespace kine_tools
