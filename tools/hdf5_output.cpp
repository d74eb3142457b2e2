// SPDX-License-Identifier: MIT
#include "hdf5_output.h"

#include <cinttypes>
#include <cstdio>

#ifdef KINE_WITH_HDF5

#include <hdf5.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <vector>

#include "daq_session.h"
#include "recording.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

// An HDF5 identifier, closed with its own function when it goes.
class Handle {
public:
    Handle() = default;
    Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Handle(Handle&& o) noexcept : id_(o.id_), close_(o.close_) { o.id_ = H5I_INVALID_HID; }
    Handle& operator=(Handle&& o) noexcept {
        reset();
        id_ = o.id_;
        close_ = o.close_;
        o.id_ = H5I_INVALID_HID;
        return *this;
    }
    ~Handle() { reset(); }
    // False when the call that made it failed.
    bool ok() const { return id_ >= 0; }
    hid_t get() const { return id_; }
    // Closes now; false when closing failed (for a file: the last write).
    bool reset() {
        const bool closed = id_ < 0 || close_(id_) >= 0;
        id_ = H5I_INVALID_HID;
        return closed;
    }

private:
    hid_t id_ = H5I_INVALID_HID;
    herr_t (*close_)(hid_t) = nullptr;
};

Handle space(int rank, const hsize_t* dims, const hsize_t* maxDims = nullptr) {
    return Handle(H5Screate_simple(rank, dims, maxDims), H5Sclose);
}

// Variable-length UTF-8 strings, as Python's h5py reads them back as str.
Handle stringType() {
    Handle t(H5Tcopy(H5T_C_S1), H5Tclose);
    if (t.ok() && (H5Tset_size(t.get(), H5T_VARIABLE) < 0 || H5Tset_cset(t.get(), H5T_CSET_UTF8) < 0)) return {};
    return t;
}

// Writes attribute `name` of `object`, replacing one already there: a
// scalar when `dims` is empty, otherwise an array of that shape.
bool writeAttribute(hid_t object, const std::string& name, hid_t type, const std::vector<hsize_t>& dims,
                    const void* data) {
    if (H5Aexists(object, name.c_str()) > 0 && H5Adelete(object, name.c_str()) < 0) return false;
    Handle s =
        dims.empty() ? Handle(H5Screate(H5S_SCALAR), H5Sclose) : space(static_cast<int>(dims.size()), dims.data());
    if (!s.ok()) return false;
    Handle a(H5Acreate2(object, name.c_str(), type, s.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    return a.ok() && H5Awrite(a.get(), type, data) >= 0;
}

bool writeText(hid_t object, const std::string& name, const std::string& text) {
    Handle t = stringType();
    const char* p = text.c_str();
    return t.ok() && writeAttribute(object, name, t.get(), {}, &p);
}

bool writeTexts(hid_t object, const std::string& name, const std::vector<std::string>& texts) {
    Handle t = stringType();
    std::vector<const char*> p;
    for (const std::string& s : texts) p.push_back(s.c_str());
    return t.ok() && writeAttribute(object, name, t.get(), {p.size()}, p.data());
}

bool writeInteger(hid_t object, const std::string& name, int64_t v) {
    return writeAttribute(object, name, H5T_NATIVE_INT64, {}, &v);
}

// A JSON array of numbers, or of equal-length arrays of numbers, as a
// one- or two-dimensional array of doubles; false when it is neither.
bool numericArray(const nlohmann::json& a, std::vector<hsize_t>& dims, std::vector<double>& values) {
    dims = {a.size()};
    values.clear();
    for (const auto& e : a) {
        if (e.is_number()) {
            if (dims.size() > 1) return false;
            values.push_back(e.get<double>());
        } else if (e.is_array()) {
            if (dims.size() == 1 && !values.empty()) return false;
            if (dims.size() == 1) dims.push_back(e.size());
            if (e.size() != dims[1]) return false;
            for (const auto& v : e) {
                if (!v.is_number()) return false;
                values.push_back(v.get<double>());
            }
        } else {
            return false;
        }
    }
    return !values.empty();
}

// The recording's metadata as attributes of the file's root: strings and
// numbers as themselves, arrays of strings or numbers as arrays, an
// object's members under "name.member", anything else as JSON text. A null
// (a serial the DAQ does not report, no tare) leaves its attribute out.
// The whole document is also kept as text in "metadata_json".
bool writeMetadata(hid_t object, const nlohmann::json& j, const std::string& prefix = "") {
    for (const auto& [key, v] : j.items()) {
        const std::string name = prefix + key;
        bool ok = true;
        std::vector<hsize_t> dims;
        std::vector<double> numbers;
        if (v.is_null()) {
            continue;
        } else if (v.is_string()) {
            ok = writeText(object, name, v.get<std::string>());
        } else if (v.is_number_integer()) {
            ok = writeInteger(object, name, v.get<int64_t>());
        } else if (v.is_number()) {
            const double d = v.get<double>();
            ok = writeAttribute(object, name, H5T_NATIVE_DOUBLE, {}, &d);
        } else if (v.is_object()) {
            ok = writeMetadata(object, v, name + ".");
        } else if (v.is_array() && !v.empty() &&
                   std::all_of(v.begin(), v.end(), [](const nlohmann::json& e) { return e.is_string(); })) {
            ok = writeTexts(object, name, v.get<std::vector<std::string>>());
        } else if (v.is_array() && numericArray(v, dims, numbers)) {
            ok = writeAttribute(object, name, H5T_NATIVE_DOUBLE, dims, numbers.data());
        } else {
            ok = writeText(object, name, v.dump());
        }
        if (!ok) return false;
    }
    return prefix.empty() ? writeText(object, "metadata_json", j.dump()) : true;
}

// An extendible dataset of `columns` values per row (one value when 0),
// chunked and compressed where the library has deflate.
Handle rowDataset(hid_t file, const char* name, hid_t type, hsize_t columns) {
    const int rank = columns ? 2 : 1;
    const hsize_t dims[2] = {0, columns}, maxDims[2] = {H5S_UNLIMITED, columns};
    const hsize_t chunk[2] = {std::max<hsize_t>(1, 16384 / std::max<hsize_t>(1, columns)), columns};
    Handle s = space(rank, dims, maxDims);
    Handle plist(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!s.ok() || !plist.ok() || H5Pset_chunk(plist.get(), rank, chunk) < 0) return {};
    if (H5Zfilter_avail(H5Z_FILTER_DEFLATE) > 0 &&
        (H5Pset_shuffle(plist.get()) < 0 || H5Pset_deflate(plist.get(), 1) < 0))
        return {};
    return Handle(H5Dcreate2(file, name, type, s.get(), H5P_DEFAULT, plist.get(), H5P_DEFAULT), H5Dclose);
}

// Writes `rows` rows from `data` at row `at` of a dataset made by
// rowDataset(), extending it.
bool appendRows(hid_t dataset, hid_t type, hsize_t columns, hsize_t at, hsize_t rows, const void* data) {
    const int rank = columns ? 2 : 1;
    const hsize_t extent[2] = {at + rows, columns}, start[2] = {at, 0}, count[2] = {rows, columns};
    if (H5Dset_extent(dataset, extent) < 0) return false;
    Handle file(H5Dget_space(dataset), H5Sclose);
    Handle memory = space(rank, count);
    return file.ok() && memory.ok() &&
           H5Sselect_hyperslab(file.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0 &&
           H5Dwrite(dataset, type, memory.get(), file.get(), H5P_DEFAULT, data) >= 0;
}

class Hdf5Writer : public StreamOutput {
public:
    Hdf5Writer(Handle file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

    void start(const StreamLayout& layout) override {
        width_ = layout.columns.size();
        recording_ = layout.recording ? layout.recording : &plain_;
        // Counts are whole numbers; any calibrated column makes every value a double.
        integers_ = !recording_->calibrated();
        const hid_t f = file_.get();
        sample_ = rowDataset(f, "sample", H5T_NATIVE_UINT64, 0);
        monotonic_ = rowDataset(f, "host_monotonic_s", H5T_NATIVE_DOUBLE, 0);
        unix_ = rowDataset(f, "host_unix_s", H5T_NATIVE_DOUBLE, 0);
        arrival_ = rowDataset(f, "host_arrival_s", H5T_NATIVE_DOUBLE, 0);
        values_ = rowDataset(f, "values", valueType(), width_);
        const nlohmann::json meta = nlohmann::json::parse(recording_->metadata(path_));
        ok_ = sample_.ok() && monotonic_.ok() && unix_.ok() && arrival_.ok() && values_.ok() &&
              writeMetadata(f, meta) && writeTexts(values_.get(), "columns", layout.columns) &&
              writeTexts(values_.get(), "units", meta.value("units", std::vector<std::string>())) &&
              H5Fflush(f, H5F_SCOPE_GLOBAL) >= 0;
        if (!ok_) failed();
        lastWrite_ = Clock::now();
    }

    bool write(const SampleBatch& batch, const StreamStatus&) override {
        if (!ok_) return false;
        const std::vector<double>& times = recording_->sampleTimes(batch);
        const double wall = std::chrono::duration<double>(batch.wallTime.time_since_epoch()).count();
        row_.resize(width_);
        for (int i = 0; i < batch.count; ++i) {
            const double t = times[static_cast<size_t>(i)];
            samples_.push_back(batch.firstSample + static_cast<uint64_t>(i));
            monotonics_.push_back(t);
            unixes_.push_back(wall - (batch.monotonicSeconds - t));
            arrivals_.push_back(batch.monotonicSeconds);
            const int32_t* counts = batch.values.data() + static_cast<size_t>(i) * width_;
            if (integers_) {
                counts_.insert(counts_.end(), counts, counts + width_);
            } else {
                recording_->rowValues(counts, width_, row_.data());
                doubles_.insert(doubles_.end(), row_.begin(), row_.end());
            }
        }
        written_ += static_cast<uint64_t>(batch.count);
        // Written in blocks, about once a second, and flushed: a reader sees
        // whole blocks, and a crash loses at most the last second.
        if (samples_.size() < 65536 && Clock::now() - lastWrite_ < std::chrono::seconds(1)) return true;
        return writeBlock() || failed();
    }

    void show(const StreamStatus& status, bool final) override { progress_.show(path_, status, final); }

    bool finish(const StreamStatus& status, const std::string& lossSummary) override {
        show(status, true);
        progress_.end();
        std::fprintf(stderr, "%s: wrote %" PRIu64 " samples to %s in %.1f s%s\n", kProgram, written_, path_.c_str(),
                     status.elapsed, lossSummary.c_str());
        if (!ok_) return false;
        const hid_t f = file_.get();
        ok_ = writeBlock() && writeInteger(f, "samples_written", static_cast<int64_t>(written_)) &&
              writeInteger(f, "samples_lost", static_cast<int64_t>(status.lost)) &&
              writeText(f, "end_time", isoTime(std::chrono::system_clock::now()));
        // Datasets close before the file, whose close writes what is left.
        for (Handle* h : {&sample_, &monotonic_, &unix_, &arrival_, &values_}) ok_ = h->reset() && ok_;
        ok_ = file_.reset() && ok_;
        return ok_ || failed();
    }

private:
    bool writeBlock() {
        lastWrite_ = Clock::now();
        const hsize_t rows = samples_.size(), at = stored_;
        const void* values = integers_ ? static_cast<const void*>(counts_.data()) : doubles_.data();
        const bool done =
            rows == 0 || (appendRows(sample_.get(), H5T_NATIVE_UINT64, 0, at, rows, samples_.data()) &&
                          appendRows(monotonic_.get(), H5T_NATIVE_DOUBLE, 0, at, rows, monotonics_.data()) &&
                          appendRows(unix_.get(), H5T_NATIVE_DOUBLE, 0, at, rows, unixes_.data()) &&
                          appendRows(arrival_.get(), H5T_NATIVE_DOUBLE, 0, at, rows, arrivals_.data()) &&
                          appendRows(values_.get(), valueType(), width_, at, rows, values) &&
                          H5Fflush(file_.get(), H5F_SCOPE_GLOBAL) >= 0);
        stored_ += rows;
        for (auto* v : {&monotonics_, &unixes_, &arrivals_, &doubles_}) v->clear();
        samples_.clear();
        counts_.clear();
        return done;
    }

    hid_t valueType() const { return integers_ ? H5T_NATIVE_INT32 : H5T_NATIVE_DOUBLE; }

    bool failed() {
        if (!reported_) std::fprintf(stderr, "%s: cannot write %s (HDF5 error)\n", kProgram, path_.c_str());
        reported_ = true;
        ok_ = false;
        return false;
    }

    Handle file_;
    std::string path_;
    Handle sample_, monotonic_, unix_, arrival_, values_;
    bool integers_ = true;  // values as counts (int32), else as doubles
    size_t width_ = 0;
    uint64_t written_ = 0;  // samples taken, whether or not their block is written yet
    hsize_t stored_ = 0;    // rows in the file
    Recording plain_;
    Recording* recording_ = &plain_;
    // The block not yet written.
    std::vector<uint64_t> samples_;
    std::vector<double> monotonics_, unixes_, arrivals_, doubles_, row_;
    std::vector<int32_t> counts_;
    ProgressLine progress_;
    Clock::time_point lastWrite_;
    bool ok_ = true, reported_ = false;
};

}  // namespace

bool hdf5Available() { return true; }

std::unique_ptr<StreamOutput> makeHdf5Writer(const std::string& path) {
    // Failures are reported here, once, not as HDF5's error stack.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    Handle file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
    if (!file.ok()) {
        std::fprintf(stderr, "%s: cannot create %s as an HDF5 file\n", kProgram, path.c_str());
        return nullptr;
    }
    return std::make_unique<Hdf5Writer>(std::move(file), path);
}

}  // namespace kine_tools

#else  // no HDF5

namespace kine_tools {

bool hdf5Available() { return false; }

std::unique_ptr<StreamOutput> makeHdf5Writer(const std::string& path) {
    std::fprintf(stderr, "kine: cannot write %s: this kine was built without HDF5 (install libhdf5-dev and rebuild)\n",
                 path.c_str());
    return nullptr;
}

}  // namespace kine_tools

#endif
