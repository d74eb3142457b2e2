// SPDX-License-Identifier: MIT
#include "kine/Calibration.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kine {

namespace {

using nlohmann::json;

constexpr int kFormatVersion = 1;
const char* const kOutputNames[6] = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
const char* const kForceUnit = "N";
const char* const kTorqueUnit = "N\u00b7m";
// Files larger than this are not calibration files.
constexpr size_t kMaxFileBytes = 1 << 20;

const char* inputsName(Calibration::Inputs i) {
    switch (i) {
    case Calibration::Inputs::force: return "force";
    case Calibration::Inputs::raw: return "raw";
    case Calibration::Inputs::axes: return "axes";
    }
    return "force";
}

// The checks of one file: each failure names the field.
class Reader {
public:
    Reader(const json& doc, std::string source) : doc_(doc), source_(std::move(source)) {}

    bool fail(const std::string& field, const std::string& what) {
        error = source_ + ": field \"" + field + "\": " + what;
        return false;
    }

    const json* field(const char* name, bool (json::*is)() const, const char* kind) {
        const auto it = doc_.find(name);
        if (it == doc_.end()) {
            fail(name, std::string("missing; it must be ") + kind);
            return nullptr;
        }
        if (!((*it).*is)()) {
            fail(name, std::string("must be ") + kind + ", not " + it->dump());
            return nullptr;
        }
        return &*it;
    }

    bool text(const char* name, std::string& out) {
        const json* v = field(name, &json::is_string, "a text");
        if (!v) return false;
        out = v->get<std::string>();
        if (out.empty()) return fail(name, "is empty");
        return true;
    }

    bool number(const json& v, const std::string& where, double& out) {
        if (!v.is_number()) return fail(where, "must be a number, not " + v.dump());
        out = v.get<double>();
        if (!std::isfinite(out)) return fail(where, "is not a finite number");
        return true;
    }

    bool numbers(const json& list, const std::string& name, size_t expected, std::vector<double>& out) {
        if (!list.is_array()) return fail(name, "must be a list of numbers, not " + list.dump());
        if (list.size() != expected)
            return fail(name,
                        "has " + std::to_string(list.size()) + " numbers; " + std::to_string(expected) + " expected");
        for (size_t i = 0; i < list.size(); ++i) {
            double v = 0;
            if (!number(list[i], name + "[" + std::to_string(i) + "]", v)) return false;
            out.push_back(v);
        }
        return true;
    }

    std::string error;

private:
    const json& doc_;
    std::string source_;
};

bool isDate(const std::string& s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return false;
    const int month = std::stoi(s.substr(5, 2)), day = std::stoi(s.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

struct Calibration::Data {
    std::string daqSerial;
    int sensor = 0;
    std::string sensorSerial;
    std::string date;
    Inputs inputs = Inputs::force;
    int inputCount = 0;
    int outputCount = 0;
    std::vector<double> matrix;
    std::vector<double> offset;
    std::vector<std::string> units;
};

Calibration::Calibration() : d_(std::make_unique<Data>()) {}
Calibration::Calibration(const Calibration& other) : d_(std::make_unique<Data>(*other.d_)) {}
Calibration& Calibration::operator=(const Calibration& other) {
    if (this != &other) *d_ = *other.d_;
    return *this;
}
Calibration::Calibration(Calibration&& other) noexcept : d_(std::make_unique<Data>()) { d_.swap(other.d_); }
Calibration& Calibration::operator=(Calibration&& other) noexcept {
    d_.swap(other.d_);
    return *this;
}
Calibration::~Calibration() = default;

bool Calibration::load(const std::string& path, Calibration& out, std::string& error) {
    // "e": O_CLOEXEC, as for every descriptor the library opens.
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "rbe"), std::fclose);
    if (!in) {
        error = "cannot read calibration file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in.get())) > 0;) {
        text.append(chunk, n);
        if (text.size() > kMaxFileBytes) {
            error = path + ": larger than a calibration file can be (1 MiB)";
            return false;
        }
    }
    if (std::ferror(in.get())) {
        error = "cannot read calibration file " + path + ": " + std::strerror(errno);
        return false;
    }
    return parse(text, path, out, error);
}

bool Calibration::parse(const std::string& text, const std::string& source, Calibration& out, std::string& error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        // e.what() reads "[json.exception.parse_error.101] parse error at line 3, column 9: ..."
        std::string what = e.what();
        const size_t at = what.find("] ");
        error = source + ": not valid JSON: " + (at == std::string::npos ? what : what.substr(at + 2));
        return false;
    }
    if (!doc.is_object()) {
        error = source + ": not a calibration file: the JSON text is not an object";
        return false;
    }
    Reader r(doc, source);
    Data d;
    static const char* const known[] = {"kine_calibration", "daq_serial", "sensor", "sensor_serial", "date",
                                        "inputs",           "matrix",     "offset", "units",         "comment"};
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        bool ok = false;
        for (const char* k : known) ok = ok || it.key() == k;
        if (!ok) {
            r.fail(it.key(),
                   "unknown field (misspelt?); known fields are kine_calibration, daq_serial, sensor, "
                   "sensor_serial, date, inputs, matrix, offset, units, comment");
            error = r.error;
            return false;
        }
    }
    auto done = [&](bool ok) {
        if (!ok) error = r.error;
        return ok;
    };

    const json* format = r.field("kine_calibration", &json::is_number_integer, "the format version 1");
    if (!format) return done(false);
    if (format->get<int64_t>() != kFormatVersion)
        return done(r.fail("kine_calibration", "format version " + format->dump() +
                                                   " is not known; this library "
                                                   "reads version 1"));
    if (!r.text("daq_serial", d.daqSerial) || !r.text("sensor_serial", d.sensorSerial) || !r.text("date", d.date))
        return done(false);
    if (!isDate(d.date)) return done(r.fail("date", "\"" + d.date + "\" is not a date of the form YYYY-MM-DD"));
    const json* sensor = r.field("sensor", &json::is_number_integer, "the sensor's index on the DAQ, 0 to 3");
    if (!sensor) return done(false);
    if (sensor->get<int64_t>() < 0 || sensor->get<int64_t>() > 3)
        return done(r.fail("sensor", sensor->dump() + " is not a sensor index; a DAQ has sensors 0 to 3"));
    d.sensor = sensor->get<int>();

    std::string inputs;
    if (!r.text("inputs", inputs)) return done(false);
    if (inputs == "force")
        d.inputs = Inputs::force;
    else if (inputs == "raw")
        d.inputs = Inputs::raw;
    else if (inputs == "axes")
        d.inputs = Inputs::axes;
    else
        return done(r.fail("inputs", "\"" + inputs + "\" is not one of \"force\", \"raw\", \"axes\""));
    d.outputCount = d.inputs == Inputs::axes ? 6 : 3;

    const json* matrix = r.field("matrix", &json::is_array, "a list of rows, each a list of numbers");
    if (!matrix) return done(false);
    const std::string shape = d.inputs == Inputs::axes    ? "6 rows of 6 (six axes)"
                              : d.inputs == Inputs::force ? "3 rows of 3 (Fx, Fy, Fz from x, y, z)"
                                                          : "3 rows of 1 to 8 (Fx, Fy, Fz from the raw channels)";
    if (matrix->size() != static_cast<size_t>(d.outputCount))
        return done(r.fail(
            "matrix", "has " + std::to_string(matrix->size()) + " rows; inputs \"" + inputs + "\" needs " + shape));
    for (size_t row = 0; row < matrix->size(); ++row) {
        const json& m = (*matrix)[row];
        const std::string where = "matrix[" + std::to_string(row) + "]";
        if (!m.is_array()) return done(r.fail(where, "must be a list of numbers, not " + m.dump()));
        if (row == 0) {
            d.inputCount = static_cast<int>(m.size());
            const bool fits = d.inputs == Inputs::raw ? d.inputCount >= 1 && d.inputCount <= 8
                                                      : d.inputCount == (d.inputs == Inputs::axes ? 6 : 3);
            if (!fits)
                return done(r.fail(
                    where, "has " + std::to_string(m.size()) + " numbers; inputs \"" + inputs + "\" needs " + shape));
        }
        if (!r.numbers(m, where, static_cast<size_t>(d.inputCount), d.matrix)) return done(false);
    }
    const json* offset = r.field("offset", &json::is_array, "a list of numbers (counts)");
    if (!offset || !r.numbers(*offset, "offset", static_cast<size_t>(d.inputCount), d.offset)) return done(false);

    const json* units = r.field("units", &json::is_array, "a list of units, one per matrix row");
    if (!units) return done(false);
    if (units->size() != static_cast<size_t>(d.outputCount))
        return done(r.fail("units", "has " + std::to_string(units->size()) + " entries; one per matrix row (" +
                                        std::to_string(d.outputCount) + ") expected"));
    for (int i = 0; i < d.outputCount; ++i) {
        const std::string expected = i < 3 ? kForceUnit : kTorqueUnit;
        const json& u = (*units)[static_cast<size_t>(i)];
        if (!u.is_string() || u.get<std::string>() != expected)
            return done(r.fail("units[" + std::to_string(i) + "]", u.dump() + " is not the unit of " + kOutputNames[i] +
                                                                       "; it must be \"" + expected + "\""));
        d.units.push_back(expected);
    }
    if (d.inputs == Inputs::axes && d.sensor != 0)
        return done(r.fail("sensor", "must be 0 for inputs \"axes\": the six axes are one sensor"));
    *out.d_ = std::move(d);
    return true;
}

std::string Calibration::toJson() const {
    // Written by hand so that the matrix reads as rows; numbers round-trip
    // exactly with 17 significant digits.
    auto num = [](double v) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", v);
        double back = 0;
        for (int digits = 6; digits < 17; ++digits) {
            char shorter[40];
            std::snprintf(shorter, sizeof shorter, "%.*g", digits, v);
            if (std::sscanf(shorter, "%lf", &back) == 1 && back == v) return std::string(shorter);
        }
        return std::string(text);
    };
    auto list = [&](const double* v, int n) {
        std::string s = "[";
        for (int i = 0; i < n; ++i) s += (i ? ", " : "") + num(v[i]);
        return s + "]";
    };
    std::string s = "{\n";
    s += "  \"kine_calibration\": " + std::to_string(kFormatVersion) + ",\n";
    s += "  \"daq_serial\": " + json(d_->daqSerial).dump() + ",\n";
    s += "  \"sensor\": " + std::to_string(d_->sensor) + ",\n";
    s += "  \"sensor_serial\": " + json(d_->sensorSerial).dump() + ",\n";
    s += "  \"date\": " + json(d_->date).dump() + ",\n";
    s += "  \"inputs\": \"" + std::string(inputsName(d_->inputs)) + "\",\n";
    s += "  \"matrix\": [\n";
    for (int row = 0; row < d_->outputCount; ++row)
        s += "    " + list(&d_->matrix[static_cast<size_t>(row * d_->inputCount)], d_->inputCount) +
             (row + 1 < d_->outputCount ? ",\n" : "\n");
    s += "  ],\n";
    s += "  \"offset\": " + list(d_->offset.data(), d_->inputCount) + ",\n";
    s += "  \"units\": " + json(d_->units).dump(-1, ' ', false) + "\n";
    return s + "}\n";
}

bool Calibration::save(const std::string& path, std::string& error) const {
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    FILE* f = std::fopen(temp.c_str(), "we");
    if (!f) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = toJson();
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno ? errno : EIO);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool Calibration::fits(const std::string& daqSerial, int sensorCount, bool sixAxis, std::string& error) const {
    if (d_->outputCount == 0) {
        error = "no calibration loaded";
        return false;
    }
    if (!daqSerial.empty() && daqSerial != d_->daqSerial) {
        error = "the calibration of sensor " + d_->sensorSerial + " is for the DAQ with serial " + d_->daqSerial +
                ", not for this one (serial " + daqSerial + ")";
        return false;
    }
    const bool axes = d_->inputs == Inputs::axes;
    if (sixAxis != axes) {
        error = axes ? "the calibration of sensor " + d_->sensorSerial +
                           " maps six axes, but the samples are a sensor's x, y, z (a six-axis unit is version 5 or "
                           "8; four sensors give six axes with --six-axis)"
                     : "the calibration of sensor " + d_->sensorSerial +
                           " maps one sensor's channels, but the samples are six axes (use inputs \"axes\")";
        return false;
    }
    if (!axes && d_->sensor >= sensorCount) {
        error = "the calibration is for sensor " + std::to_string(d_->sensor) + ", but the DAQ has " +
                (sensorCount == 1 ? std::string("only sensor 0") : "sensors 0 to " + std::to_string(sensorCount - 1));
        return false;
    }
    return true;
}

const std::string& Calibration::daqSerial() const { return d_->daqSerial; }
int Calibration::sensor() const { return d_->sensor; }
const std::string& Calibration::sensorSerial() const { return d_->sensorSerial; }
const std::string& Calibration::date() const { return d_->date; }
Calibration::Inputs Calibration::inputs() const { return d_->inputs; }
int Calibration::inputCount() const { return d_->inputCount; }
int Calibration::outputCount() const { return d_->outputCount; }
const std::vector<double>& Calibration::matrix() const { return d_->matrix; }
const std::vector<double>& Calibration::offset() const { return d_->offset; }
const std::vector<std::string>& Calibration::units() const { return d_->units; }
const char* Calibration::outputName(int output) { return output >= 0 && output < 6 ? kOutputNames[output] : ""; }

bool Calibration::setOffset(const std::vector<double>& offset, std::string& error) {
    if (offset.size() != static_cast<size_t>(d_->inputCount)) {
        error = "an offset of " + std::to_string(offset.size()) + " values for a calibration with " +
                std::to_string(d_->inputCount) + " inputs";
        return false;
    }
    for (double v : offset)
        if (!std::isfinite(v)) {
            error = "an offset that is not a finite number";
            return false;
        }
    d_->offset = offset;
    return true;
}

std::vector<double> Calibration::inputsOf(const KinePackage& s) const {
    std::vector<double> in;
    if (d_->inputs == Inputs::force)
        in = {double(s.x), double(s.y), double(s.z)};
    else if (d_->inputs == Inputs::raw)
        in.assign(s.raw, s.raw + d_->inputCount);
    return in;
}

std::vector<double> Calibration::inputsOf(const KinePackage6D& s) const {
    if (d_->inputs != Inputs::axes) return {};
    return {double(s.Fx), double(s.Fy), double(s.Fz), double(s.Tx), double(s.Ty), double(s.Tz)};
}

namespace {

// out = matrix * (in - offset)
void mapCounts(const std::vector<double>& matrix, const std::vector<double>& offset, int inputs, int outputs,
               const int32_t* in, double* out) {
    double centred[8];
    for (int c = 0; c < inputs; ++c) centred[c] = static_cast<double>(in[c]) - offset[static_cast<size_t>(c)];
    for (int row = 0; row < outputs; ++row) {
        const double* m = &matrix[static_cast<size_t>(row * inputs)];
        double v = 0;
        for (int c = 0; c < inputs; ++c) v += m[c] * centred[c];
        out[row] = v;
    }
}

}  // namespace

void Calibration::applyCounts(const int32_t* counts, int count, double* out) const {
    const Data& d = *d_;
    for (int i = 0; i < count; ++i)
        mapCounts(d.matrix, d.offset, d.inputCount, d.outputCount, counts + static_cast<size_t>(i) * d.inputCount,
                  out + static_cast<size_t>(i) * d.outputCount);
}

bool Calibration::apply(const KinePackage& sample, double* out) const { return apply(&sample, 1, out); }
bool Calibration::apply(const KinePackage6D& sample, double* out) const { return apply(&sample, 1, out); }

bool Calibration::apply(const KinePackage* samples, int count, double* out) const {
    const Data& d = *d_;
    if (d.outputCount == 0 || d.inputs == Inputs::axes) return false;
    for (int i = 0; i < count; ++i) {
        const KinePackage& s = samples[i];
        const int32_t force[3] = {s.x, s.y, s.z};
        mapCounts(d.matrix, d.offset, d.inputCount, d.outputCount, d.inputs == Inputs::force ? force : s.raw,
                  out + static_cast<size_t>(i) * d.outputCount);
    }
    return true;
}

bool Calibration::apply(const KinePackage6D* samples, int count, double* out) const {
    const Data& d = *d_;
    if (d.inputs != Inputs::axes) return false;
    for (int i = 0; i < count; ++i) {
        const KinePackage6D& s = samples[i];
        const int32_t axes[6] = {s.Fx, s.Fy, s.Fz, s.Tx, s.Ty, s.Tz};
        mapCounts(d.matrix, d.offset, d.inputCount, d.outputCount, axes, out + static_cast<size_t>(i) * d.outputCount);
    }
    return true;
}

}  // namespace kine
