// SPDX-License-Identifier: MIT
#include "recording.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "daq_session.h"
#include "kine/kine_library_version.h"

namespace kine_tools {

namespace {

bool sixAxisUnit(int version) { return version == 5 || version == 8; }

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// A device or a pipe (/dev/null, a FIFO) is written to, never replaced, and
// gets no sidecar: only a regular file, or one still to be made, is a recording.
bool isDeviceOrPipe(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

}  // namespace

std::string configText(const SensorConfig& c) {
    return "speed " + std::to_string(c.getSpeed()) + " Hz, filter " +
           (c.getFilter() ? std::to_string(c.getFilter()) + " Hz" : std::string("none")) + ", mode " +
           (c.getMode() ? "compensated" : "raw");
}

bool applySettings(KineDAQ& daq, const Settings& s, SensorConfig& got) {
    SensorConfig wanted = daq.getConfig();
    if (s.speed) wanted.setSpeed(s.speed);
    if (s.filter >= 0) wanted.setFilter(s.filter);
    if (!s.mode.empty()) wanted.setMode(s.mode == "compensated" ? 1 : 0);
    daq.sendConfig(wanted);
    got = daq.getConfig();
    // The DAQ's own report decides: every field asked for must read back.
    return (!s.speed || got.getSpeed() == s.speed) && (s.filter < 0 || got.getFilter() == s.filter) &&
           (s.mode.empty() || got.getMode() == wanted.getMode());
}

std::string isoTime(std::chrono::system_clock::time_point t) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    const time_t secs = static_cast<time_t>(us / 1000000);
    tm parts{};
    gmtime_r(&secs, &parts);
    char text[48];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%06ldZ", static_cast<long>(us % 1000000));
    return text;
}

std::string fileSha256(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return "";
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    char chunk[8192];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        EVP_DigestUpdate(ctx, chunk, static_cast<size_t>(in.gcount()));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, digest, &n);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

int Recording::checkOutput(const std::string& path, bool force, bool sidecar) {
    if (path.empty() || path == "-" || force || isDeviceOrPipe(path)) return kExitOk;
    for (const std::string& p : {path, sidecar ? path + ".json" : path})
        if (exists(p)) {
            std::fprintf(stderr, "%s: %s exists; pass --force to overwrite it\n", kProgram, p.c_str());
            return kExitFailed;
        }
    return kExitOk;
}

int Recording::prepare(KineDAQ& daq, const RecordingOptions& o, const std::string& path,
                       const std::string& deviceVersion, const std::string& daqSerial, bool sixAxis) {
    const int version = daq.getVersion();
    const int sensors = daq.getSensorSize() > 0 ? daq.getSensorSize() : 1;
    kind_ = sixAxisUnit(version) ? StreamLayout::Kind::sixAxisUnit
            : sixAxis            ? StreamLayout::Kind::sixAxisComputed
                                 : StreamLayout::Kind::sensors;
    const bool axes = kind_ != StreamLayout::Kind::sensors;
    options_ = o;
    if (const int status = applyAtStart(daq, path)) return status;

    if (!o.calibrationFiles.empty() && daqSerial.empty())
        std::fprintf(stderr,
                     "%s: the serial number of the DAQ on %s is unknown, so the calibrations' daq_serial "
                     "cannot be checked\n",
                     kProgram, path.c_str());
    std::vector<bool> taken(4, false);
    for (const std::string& file : o.calibrationFiles) {
        kine::Calibration c;
        std::string error;
        if (!kine::Calibration::load(file, c, error) || !c.fits(daqSerial, sensors, axes, error)) {
            if (error.rfind(file, 0) != 0 && error.find(file) == std::string::npos) error = file + ": " + error;
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return kExitFailed;
        }
        if (c.inputs() == kine::Calibration::Inputs::raw) {
            std::fprintf(stderr,
                         "%s: %s: kine stream converts a sensor's force channels (inputs \"force\") or six "
                         "axes; a raw-channel calibration is for the library's kine::Calibration\n",
                         kProgram, file.c_str());
            return kExitFailed;
        }
        if (taken[static_cast<size_t>(c.sensor())]) {
            std::fprintf(stderr, "%s: %s: a second calibration for sensor %d\n", kProgram, file.c_str(), c.sensor());
            return kExitFailed;
        }
        taken[static_cast<size_t>(c.sensor())] = true;
        info_.calibrations.push_back({file, fileSha256(file), c.sensorSerial(), c.date(), c.sensor()});
        calibrations_.push_back(std::move(c));
    }

    if (o.zero) tare(daq);
    info_.port = path;
    info_.deviceVersion = deviceVersion;
    info_.daqSerial = daqSerial;
    info_.protocolVersion = version;
    info_.sensors = sensors;
    info_.layout = kind_ == StreamLayout::Kind::sensors       ? "sensors"
                   : kind_ == StreamLayout::Kind::sixAxisUnit ? "six-axis unit"
                                                              : "six-axis from four sensors";
    info_.config = daq.getConfig();
    info_.startTime = isoTime(std::chrono::system_clock::now());
    clock_ = SampleClock(info_.config.getSpeed());
    return kExitOk;
}

int Recording::applyAtStart(KineDAQ& daq, const std::string& path) {
    if (!options_.settings.any()) return kExitOk;
    SensorConfig got;
    if (applySettings(daq, options_.settings, got)) {
        // Samples buffered before the change were taken at the old settings:
        // the recording starts with the first one at the new.
        KinePackage* samples = nullptr;
        KinePackage6D* samples6D = nullptr;
        if (sixAxisUnit(daq.getVersion()))
            daq.readAll6D(samples6D, false);
        else
            daq.readAll(samples, false);
        delete[] samples;
        delete[] samples6D;
        return kExitOk;
    }
    std::fprintf(stderr, "%s: the DAQ on %s did not take the settings; it reports %s; nothing recorded\n", kProgram,
                 path.c_str(), configText(got).c_str());
    return kExitFailed;
}

void Recording::tare(KineDAQ& daq) {
    info_.zeroOffsets.clear();
    // Zeroing takes the newest sample; right after the settings dropped the
    // buffered ones there may be none yet, and a tare on nothing is no tare.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    KinePackage one;
    KinePackage6D one6D;
    while (std::chrono::steady_clock::now() < deadline &&
           (kind_ == StreamLayout::Kind::sixAxisUnit ? daq.read6D(one6D, true) : daq.read(one, 0, true)) <= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (kind_ == StreamLayout::Kind::sixAxisUnit) {
        KinePackage6D before;
        daq.read6D(before, true);
        daq.zeroAll();
        info_.zeroOffsets.push_back({double(before.Fx), double(before.Fy), double(before.Fz), double(before.Tx),
                                     double(before.Ty), double(before.Tz)});
    } else {
        daq.zeroAll();
        for (int k = 0; k < daq.getSensorSize(); ++k) {
            const KinePackage p = daq.getOffset(k);
            info_.zeroOffsets.push_back({double(p.x), double(p.y), double(p.z), double(p.aux)});
        }
    }
}

int Recording::resume(KineDAQ& daq, const std::string& path) {
    if (const int status = applyAtStart(daq, path)) return status;
    if (options_.zero) {
        tare(daq);
        std::fprintf(stderr, "%s: tared again on the new connection\n", kProgram);
    }
    return kExitOk;
}

const kine::Calibration* Recording::calibrationOfColumn(size_t column, int& output) const {
    for (const kine::Calibration& c : calibrations_) {
        if (kind_ != StreamLayout::Kind::sensors) {
            output = static_cast<int>(column);
            return column < 6 ? &c : nullptr;
        }
        if (column / 4 == static_cast<size_t>(c.sensor()) && column % 4 < 3) {
            output = static_cast<int>(column % 4);
            return &c;
        }
    }
    return nullptr;
}

void Recording::relabel(StreamLayout& layout) {
    std::vector<std::string>& units = info_.units;
    units.clear();
    for (size_t i = 0; i < layout.columns.size(); ++i) {
        int output = 0;
        const kine::Calibration* c = calibrationOfColumn(i, output);
        if (c) {
            const std::string prefix = kind_ == StreamLayout::Kind::sensors && layout.sensors > 1
                                           ? "s" + std::to_string(c->sensor()) + "_"
                                           : "";
            layout.columns[i] =
                prefix + kine::Calibration::outputName(output) + " (" + c->units()[static_cast<size_t>(output)] + ")";
        }
        units.push_back(c ? c->units()[static_cast<size_t>(output)] : "counts");
    }
    info_.columns = layout.columns;
}

std::string Recording::csvHeader(const StreamLayout& layout) const {
    std::string header = "host_monotonic_s,host_time,sample";
    for (const std::string& c : layout.columns) header += "," + c;
    return header + ",host_arrival_s";
}

const std::vector<double>& Recording::sampleTimes(const SampleBatch& batch) {
    // Sample numbers only grow: a batch is known by its first.
    if (timed_ && timedFirst_ == batch.firstSample) return times_;
    timed_ = true;
    timedFirst_ = batch.firstSample;
    times_.clear();
    clock_.timeBatch(batch.monotonicSeconds, batch.count, times_);
    return times_;
}

void Recording::rowValues(const int32_t* row, size_t width, double* values) const {
    size_t c = 0;
    while (c < width) {
        int output = 0;
        const kine::Calibration* cal = calibrationOfColumn(c, output);
        if (!cal) {
            values[c] = row[c];
            ++c;
            continue;
        }
        // The columns of one calibration are adjacent: convert them together.
        cal->applyCounts(row + c, 1, values + c);
        c += static_cast<size_t>(cal->outputCount());
    }
}

void Recording::appendCsvRows(const SampleBatch& batch, size_t width, uint64_t firstSample, std::string& rows) {
    const std::vector<double>& times = sampleTimes(batch);
    char prefix[128];
    std::vector<double> values(width);
    for (int i = 0; i < batch.count; ++i) {
        const double t = times[static_cast<size_t>(i)];
        const auto wall = batch.wallTime - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                               std::chrono::duration<double>(batch.monotonicSeconds - t));
        std::snprintf(prefix, sizeof prefix, "%.6f,%s,%" PRIu64, t, isoTime(wall).c_str(),
                      firstSample + static_cast<uint64_t>(i));
        rows += prefix;
        const int32_t* row = batch.values.data() + static_cast<size_t>(i) * width;
        rowValues(row, width, values.data());
        for (size_t c = 0; c < width; ++c) {
            int output = 0;
            rows += ',';
            rows += calibrationOfColumn(c, output) ? number(values[c]) : std::to_string(row[c]);
        }
        std::snprintf(prefix, sizeof prefix, ",%.6f\n", batch.monotonicSeconds);
        rows += prefix;
    }
}

std::string Recording::metadata(const std::string& dataFile) const {
    using nlohmann::json;
    json j;
    j["kine_recording"] = 1;
    j["data_file"] = dataFile;
    j["tool_version"] = KINE_LIBRARY_VERSION;
    j["library_version"] = callGetLibraryVersion();
    j["port"] = info_.port;
    j["device_version"] = info_.deviceVersion;
    j["daq_serial"] = info_.daqSerial.empty() ? json(nullptr) : json(info_.daqSerial);
    j["protocol_version"] = info_.protocolVersion;
    j["sensors"] = info_.sensors;
    j["layout"] = info_.layout;
    j["config"] = {{"speed_hz", info_.config.getSpeed()},
                   {"filter_hz", info_.config.getFilter()},
                   {"mode", info_.config.getMode() ? "compensated" : "raw"}};
    j["columns"] = info_.columns;
    j["units"] = info_.units;
    j["calibrations"] = json::array();
    for (const auto& c : info_.calibrations)
        j["calibrations"].push_back({{"file", c.path},
                                     {"sha256", c.sha256},
                                     {"sensor", c.sensor},
                                     {"sensor_serial", c.sensorSerial},
                                     {"date", c.date}});
    j["zero_offsets"] = info_.zeroOffsets.empty() ? json(nullptr) : json(info_.zeroOffsets);
    j["start_time"] = info_.startTime;
    j["host_time"] =
        "host_monotonic_s: each sample's time estimated from the arrivals and the DAQ's rate; "
        "host_arrival_s: when the tool read it";
    return j.dump(2) + "\n";
}

bool Recording::writeSidecar(const std::string& csv) {
    if (isDeviceOrPipe(csv)) return true;
    const std::string path = csv + ".json";
    FILE* f = std::fopen(path.c_str(), "w");
    const std::string text = metadata(csv);
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "%s: cannot write %s\n", kProgram, path.c_str());
        return false;
    }
    return true;
}

}  // namespace kine_tools
