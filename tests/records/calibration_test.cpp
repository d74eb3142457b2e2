// SPDX-License-Identifier: MIT
// Calibration files: the linear map against values worked out by hand, and
// malformed files rejected with the field named.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kine/Calibration.h"
#include "kine/kine_c.h"
#include "support/temp_dir.h"

namespace {

using kine::Calibration;

const char* const kThreeAxis = R"({
  "kine_calibration": 1,
  "daq_serial": "SIM00001",
  "sensor": 1,
  "sensor_serial": "FS3-0042",
  "date": "2025-11-03",
  "inputs": "force",
  "matrix": [[0.5, 0, 0], [0, 0.25, 0.125], [0.001, 0, 2]],
  "offset": [100, -20, 0],
  "units": ["N", "N", "N"]
})";

std::string sixAxisText() {
    // Row r reads axis r with gain r + 1, and every row adds 0.5 * Tz.
    std::string m = "[";
    for (int r = 0; r < 6; ++r) {
        m += r ? ", [" : "[";
        for (int c = 0; c < 6; ++c)
            m += std::string(c ? ", " : "") + (c == r ? std::to_string(r + 1) : c == 5 ? "0.5" : "0");
        m += "]";
    }
    m += "]";
    return R"({"kine_calibration": 1, "daq_serial": "SIM00008", "sensor": 0, "sensor_serial": "FT6-7",
               "date": "2024-01-31", "inputs": "axes", "matrix": )" +
           m + R"(, "offset": [1, 2, 3, 4, 5, 6], "units": ["N", "N", "N", "N·m", "N·m", "N·m"]})";
}

Calibration parsed(const std::string& text) {
    Calibration c;
    std::string error;
    EXPECT_TRUE(Calibration::parse(text, "cal.json", c, error)) << error;
    return c;
}

TEST(Calibration, ThreeAxisMapsCountsToNewtons) {
    const Calibration c = parsed(kThreeAxis);
    EXPECT_EQ(c.outputCount(), 3);
    EXPECT_EQ(c.inputCount(), 3);
    EXPECT_EQ(c.sensor(), 1);
    KinePackage s;
    s.x = 300;  // 300 - 100 = 200
    s.y = 60;   // 60 + 20 = 80
    s.z = -40;
    double v[3];
    ASSERT_TRUE(c.apply(s, v));
    EXPECT_DOUBLE_EQ(v[0], 100.0);       // 0.5 * 200
    EXPECT_DOUBLE_EQ(v[1], 20.0 - 5.0);  // 0.25 * 80 + 0.125 * -40
    EXPECT_DOUBLE_EQ(v[2], 0.2 - 80.0);  // 0.001 * 200 + 2 * -40
    KinePackage6D six;
    EXPECT_FALSE(c.apply(six, v));  // a six-axis sample is not this sensor's
}

TEST(Calibration, RawInputsReadTheRawChannels) {
    std::string text = kThreeAxis;
    auto replace = [&](const std::string& from, const std::string& to) {
        text.replace(text.find(from), from.size(), to);
    };
    replace("\"force\"", "\"raw\"");
    replace("[[0.5, 0, 0], [0, 0.25, 0.125], [0.001, 0, 2]]", "[[1, -1, 0, 0], [0, 0, 1, -1], [0.5, 0.5, 0.5, 0.5]]");
    replace("[100, -20, 0]", "[0, 0, 0, 10]");
    const Calibration c = parsed(text);
    ASSERT_EQ(c.inputCount(), 4);
    KinePackage s[2];
    const int32_t raw[2][4] = {{10, 4, 7, 12}, {-1, -1, 0, 10}};
    for (int i = 0; i < 2; ++i) std::copy(raw[i], raw[i] + 4, s[i].raw);
    double v[6];
    ASSERT_TRUE(c.apply(s, 2, v));
    const double expected[6] = {6, 7 - 2, 0.5 * (10 + 4 + 7 + 2), 0, 0 - 0, 0.5 * (-1 - 1 + 0 + 0)};
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(v[i], expected[i]) << i;
}

TEST(Calibration, SixAxisMapsToNewtonsAndNewtonMetres) {
    const Calibration c = parsed(sixAxisText());
    ASSERT_EQ(c.outputCount(), 6);
    EXPECT_EQ(c.units()[3], "N\u00b7m");
    KinePackage6D s;
    s.Fx = 11, s.Fy = 12, s.Fz = 13, s.Tx = 14, s.Ty = 15, s.Tz = 26;  // minus offset: 10 .. 20
    double v[6];
    ASSERT_TRUE(c.apply(s, v));
    // Rows 0-4: (r + 1) * 10 + 0.5 * 20; row 5 has its 6 where the 0.5 column is.
    const double expected[6] = {20, 30, 40, 50, 60, 120};
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(v[i], expected[i]) << i;
    const int32_t counts[6] = {11, 12, 13, 14, 15, 26};
    double w[6];
    c.applyCounts(counts, 1, w);
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(w[i], v[i]);
    EXPECT_FALSE(c.apply(KinePackage(), v));
}

// The file written back reads as the same calibration, new offset included.
TEST(Calibration, SavedFileRoundTrips) {
    Calibration c = parsed(kThreeAxis);
    std::string error;
    ASSERT_TRUE(c.setOffset({1.5, -2, 1e-7}, error)) << error;
    EXPECT_FALSE(c.setOffset({1, 2}, error));
    TempDir dir;
    const std::string path = dir.path + "/cal.json";
    ASSERT_TRUE(c.save(path, error)) << error;
    Calibration back;
    ASSERT_TRUE(Calibration::load(path, back, error)) << error;
    EXPECT_EQ(back.matrix(), c.matrix());
    EXPECT_EQ(back.offset(), c.offset());
    EXPECT_EQ(back.sensorSerial(), "FS3-0042");
    EXPECT_EQ(back.date(), "2025-11-03");
}

struct Malformed {
    const char* name;
    std::string from, to;  // replaced in the three-axis file
    std::string field;     // the field the message names
};

void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }

class MalformedCalibration : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedCalibration, NamesTheField) {
    std::string text = kThreeAxis;
    const Malformed& m = GetParam();
    const size_t at = text.find(m.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, m.from.size(), m.to);
    Calibration c;
    std::string error;
    EXPECT_FALSE(Calibration::parse(text, "cal.json", c, error));
    EXPECT_EQ(error.rfind("cal.json: ", 0), 0u) << error;
    EXPECT_NE(error.find(m.field), std::string::npos) << error;
    EXPECT_EQ(c.outputCount(), 0);  // left as it was
}

INSTANTIATE_TEST_SUITE_P(
    Calibration, MalformedCalibration,
    testing::Values(Malformed{"TwoRows", ", [0.001, 0, 2]", "", "\"matrix\": has 2 rows"},
                    Malformed{"ShortRow", "[0, 0.25, 0.125]", "[0, 0.25]", "\"matrix[1]\": has 2 numbers"},
                    Malformed{"SixBySixForForce", "\"force\"", "\"axes\"", "\"matrix\": has 3 rows"},
                    Malformed{"NaNIsNotJson", "0.125", "NaN", "not valid JSON: parse error at line 8"},
                    Malformed{"Infinite", "0.125", "1e999", "not valid JSON: number overflow parsing '1e999'"},
                    Malformed{"NullInOffset", "[100, -20, 0]", "[100, null, 0]", "\"offset[1]\": must be a number"},
                    Malformed{"MissingSerial", "\"daq_serial\": \"SIM00001\",", "", "\"daq_serial\": missing"},
                    Malformed{"MissingMatrix", "\"matrix\"", "\"matrx\"", "\"matrx\": unknown field"},
                    Malformed{"WrongUnit", "[\"N\", \"N\", \"N\"]", "[\"N\", \"kgf\", \"N\"]", "\"units[1]\""},
                    Malformed{"BadDate", "2025-11-03", "3.11.2025", "\"date\""},
                    Malformed{"SensorFive", "\"sensor\": 1", "\"sensor\": 5", "\"sensor\": 5 is not a sensor index"},
                    Malformed{"NewerFormat", "\"kine_calibration\": 1", "\"kine_calibration\": 2",
                              "\"kine_calibration\""}),
    [](const testing::TestParamInfo<Malformed>& i) { return i.param.name; });

// A file for another DAQ or another sensor is refused before any sample is converted.
TEST(Calibration, FitsOnlyItsDaqAndSensor) {
    const Calibration c = parsed(kThreeAxis);
    std::string error;
    EXPECT_TRUE(c.fits("SIM00001", 4, false, error)) << error;
    EXPECT_TRUE(c.fits("", 4, false, error)) << error;  // serial unknown: not checked
    EXPECT_FALSE(c.fits("SIM00002", 4, false, error));
    EXPECT_NE(error.find("for the DAQ with serial SIM00001, not for this one (serial SIM00002)"), std::string::npos)
        << error;
    EXPECT_FALSE(c.fits("SIM00001", 1, false, error));
    EXPECT_NE(error.find("sensor 1, but the DAQ has only sensor 0"), std::string::npos) << error;
    EXPECT_FALSE(c.fits("SIM00001", 4, true, error));
    EXPECT_FALSE(parsed(sixAxisText()).fits("SIM00008", 1, false, error));
}

TEST(Calibration, UnreadableFileSaysWhy) {
    Calibration c;
    std::string error;
    EXPECT_FALSE(Calibration::load("/nonexistent/cal.json", c, error));
    EXPECT_EQ(error, "cannot read calibration file /nonexistent/cal.json: No such file or directory");
    EXPECT_FALSE(Calibration::parse("[1, 2]", "x.json", c, error));
    EXPECT_NE(error.find("not an object"), std::string::npos);
}

// The C functions: load, apply to 3-axis and plain counts, refuse NULL and
// the wrong kind, and copy the error text within the caller's buffer.
TEST(CalibrationC, LoadsAppliesAndExplains) {
    TempDir dir;
    const std::string path = dir.path + "/cal.json";
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(kThreeAxis, f);
    std::fclose(f);
    char error[32] = "untouched";
    KineCalibration* c = callCalibration_Load(path.c_str(), error, sizeof error);
    ASSERT_NE(c, nullptr) << error;
    EXPECT_EQ(callCalibration_Outputs(c), 3);
    EXPECT_EQ(callCalibration_Inputs(c), 0);
    EXPECT_EQ(callCalibration_Sensor(c), 1);
    EXPECT_EQ(callCalibration_InputCount(c), 3);
    EXPECT_STREQ(callCalibration_Text(c, "daq_serial"), "SIM00001");
    EXPECT_STREQ(callCalibration_Text(c, "unit2"), "N");
    EXPECT_EQ(callCalibration_Text(c, "unit3"), nullptr);
    kine_package p[2] = {};
    p[0].x = 102;
    p[1].z = 1;
    double v[6];
    EXPECT_EQ(callCalibration_Apply(c, p, 2, v), 2);
    EXPECT_DOUBLE_EQ(v[0], 1.0);
    EXPECT_DOUBLE_EQ(v[5], 2.0 - 0.1);
    kine_package6d six{};
    EXPECT_EQ(callCalibration_Apply6D(c, &six, 1, v), -1);
    EXPECT_EQ(callCalibration_Apply(nullptr, p, 1, v), -1);
    EXPECT_EQ(callCalibration_Apply(c, p, -1, v), -1);
    const int32_t counts[3] = {100, -20, 1};
    EXPECT_EQ(callCalibration_ApplyCounts(c, counts, 1, v), 1);
    EXPECT_DOUBLE_EQ(v[2], 2.0);
    callCalibration_Dispose(c);

    EXPECT_EQ(callCalibration_Load("/nonexistent.json", error, sizeof error), nullptr);
    EXPECT_EQ(std::string(error),
              std::string("cannot read calibration file /nonexistent.json").substr(0, sizeof error - 1));
    EXPECT_EQ(callCalibration_Load(nullptr, nullptr, 0), nullptr);
    callCalibration_Dispose(nullptr);
}

}  // namespace
