// Settings by name: the standard proc-amp properties (with "auto" where the property has it) and
// the vendor records for the conversion method, the rotation mode, pre-processing and automatic
// exposure.
#include "tools/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace halvex::tools {
namespace {

enum class Kind { ProcAmp, Method, Rotation, Preprocessing, ExposureMode, ExposureTarget };

struct Definition {
    const char* name;
    Kind kind;
    uint32_t id;        // proc-amp id
    bool hasAuto;       // accepts "auto"
    const char* about;  // what it controls
};

const Definition kSettings[] = {
    {"brightness", Kind::ProcAmp, 0, true, "tone curve brightness"},
    {"contrast", Kind::ProcAmp, 1, true, "tone curve contrast"},
    {"hue", Kind::ProcAmp, 2, true, "hue rotation, hundredths of a degree"},
    {"saturation", Kind::ProcAmp, 3, true, "colour saturation"},
    {"sharpness", Kind::ProcAmp, 4, true, "sharpening level"},
    {"gamma", Kind::ProcAmp, 5, true, "tone curve gamma, hundredths"},
    {"whitebalance", Kind::ProcAmp, 7, true, "auto: continuous white balance; 0: fixed gains"},
    {"gain", Kind::ProcAmp, 9, true, "camera gain code; auto: automatic gain"},
    {"method", Kind::Method, 0, false,
     "conversion method 0-7 (3 bilinear, 4 four-tap, 5 adaptive, 6 four-neighbour green)"},
    {"rotation", Kind::Rotation, 0, false,
     "rotation mode: 0 flip (upright), 1 half turn, 2 none, 3 mirror"},
    {"preprocessing", Kind::Preprocessing, 0, false,
     "none, clip (defect clipping), capture (reference capture), subtract (reference subtraction)"},
    {"exposure-mode", Kind::ExposureMode, 0, false,
     "automatic exposure 0 off, 1 shutter+gain, 2 shutter, 3 gain, 4-6 one-shot of 1-3"},
    {"exposure-target", Kind::ExposureTarget, 0, false, "automatic exposure target 0-255"},
};

const Definition* Find(const std::string& name) {
    for (const Definition& d : kSettings) {
        if (name == d.name)
            return &d;
    }
    return nullptr;
}

std::string Names() {
    std::string names;
    for (const Definition& d : kSettings)
        names += names.empty() ? d.name : std::string(", ") + d.name;
    return names;
}

bool ParseInteger(const std::string& text, long min, long max, long* value) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text.c_str(), &end, 0);
    if (text.empty() || errno != 0 || *end != 0 || v < min || v > max)
        return false;
    *value = v;
    return true;
}

const char* kPreprocessingNames[] = {"none", "clip", "subtract", "capture"};
const uint32_t kPreprocessingModes[] = {0, 1, 2, 0x80000000u};

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

bool ApplyVendorByte(client::CameraSession& session, uint32_t getId, uint32_t setId, size_t size,
                     size_t offset, uint8_t value, std::string* error) {
    std::vector<uint8_t> data;
    NTSTATUS status = session.GetVendor(getId, size, &data);
    if (NT_SUCCESS(status)) {
        data[offset] = value;
        status = session.SetVendor(setId, data);
    }
    if (!NT_SUCCESS(status))
        return Fail(error, "the driver refused it: " + client::StatusText(status));
    return true;
}

}  // namespace

bool ParseSetting(const std::string& text, NamedSetting* setting, std::string* error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        return Fail(error, "--set takes NAME=VALUE, not '" + text + "'; names: " + Names());
    setting->name = text.substr(0, equals);
    setting->value = text.substr(equals + 1);
    if (Find(setting->name) == nullptr)
        return Fail(error, "unknown setting '" + setting->name + "'; names: " + Names());
    return true;
}

bool ApplySetting(client::CameraSession& session, const NamedSetting& setting, std::string* error) {
    const Definition* d = Find(setting.name);
    if (d == nullptr)
        return Fail(error, "unknown setting '" + setting.name + "'; names: " + Names());
    const std::string& v = setting.value;
    long value = 0;
    switch (d->kind) {
        case Kind::ProcAmp: {
            std::vector<client::ProcAmpRange> ranges;
            session.ProcAmpRanges(&ranges);
            client::ProcAmpRange range{d->id, 0, 0, 1, 0};
            for (const auto& r : ranges) {
                if (r.id == d->id)
                    range = r;
            }
            const std::string allowed = std::to_string(range.minimum) + " to " +
                                        std::to_string(range.maximum) +
                                        (d->hasAuto ? " or auto" : "");
            uint32_t flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
            if (v == "auto" && d->hasAuto) {
                flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
                int32_t current = 0;
                uint32_t currentFlags = 0;
                session.GetProcAmp(d->id, &current, &currentFlags);
                // Gain keeps its code; white balance's only value is 0.
                value = d->id == KSPROPERTY_VIDEOPROCAMP_GAIN ? current : 0;
            } else if (!ParseInteger(v, range.minimum, range.maximum, &value)) {
                return Fail(error, setting.name + " takes " + allowed + ", not '" + v + "'");
            }
            const NTSTATUS status = session.SetProcAmp(d->id, static_cast<int32_t>(value), flags);
            if (!NT_SUCCESS(status))
                return Fail(error, setting.name + "=" + v + " was refused: " +
                                       client::StatusText(status) + "; allowed: " + allowed);
            return true;
        }
        case Kind::Method:
            if (!ParseInteger(v, 0, 7, &value))
                return Fail(error, "method takes 0 to 7, not '" + v + "'");
            return ApplyVendorByte(session, client::kVendorGetConversion,
                                   client::kVendorSetConversion, 2, 0, static_cast<uint8_t>(value),
                                   error);
        case Kind::Rotation:
            if (!ParseInteger(v, 0, 3, &value))
                return Fail(error, "rotation takes 0 to 3, not '" + v + "'");
            return ApplyVendorByte(session, client::kVendorGetConversion,
                                   client::kVendorSetConversion, 2, 1, static_cast<uint8_t>(value),
                                   error);
        case Kind::Preprocessing: {
            for (size_t i = 0; i < 4; ++i) {
                if (v == kPreprocessingNames[i]) {
                    std::vector<uint8_t> data(4);
                    std::memcpy(data.data(), &kPreprocessingModes[i], 4);
                    const NTSTATUS status =
                        session.SetVendor(client::kVendorSetPreprocessing, data);
                    if (!NT_SUCCESS(status))
                        return Fail(error, "the driver refused it: " + client::StatusText(status));
                    return true;
                }
            }
            return Fail(error,
                        "preprocessing takes none, clip, subtract or capture, not '" + v + "'");
        }
        case Kind::ExposureMode:
            if (!ParseInteger(v, 0, 6, &value))
                return Fail(error, "exposure-mode takes 0 to 6, not '" + v + "'");
            return ApplyVendorByte(session, client::kVendorGetExposure, client::kVendorSetExposure,
                                   64, 8, static_cast<uint8_t>(value), error);
        case Kind::ExposureTarget:
            if (!ParseInteger(v, 0, 255, &value))
                return Fail(error, "exposure-target takes 0 to 255, not '" + v + "'");
            return ApplyVendorByte(session, client::kVendorGetExposure, client::kVendorSetExposure,
                                   64, 9, static_cast<uint8_t>(value), error);
    }
    return false;
}

std::vector<std::string> DescribeSettings(client::CameraSession& session) {
    std::vector<std::string> lines;
    std::vector<client::ProcAmpRange> ranges;
    session.ProcAmpRanges(&ranges);
    std::vector<uint8_t> conversion, exposure, preprocessing;
    session.GetVendor(client::kVendorGetConversion, 2, &conversion);
    session.GetVendor(client::kVendorGetExposure, 64, &exposure);
    session.GetVendor(client::kVendorGetPreprocessing, 4, &preprocessing);
    for (const Definition& d : kSettings) {
        char line[256];
        if (d.kind == Kind::ProcAmp) {
            client::ProcAmpRange range{d.id, 0, 0, 1, 0};
            for (const auto& r : ranges) {
                if (r.id == d.id)
                    range = r;
            }
            int32_t value = 0;
            uint32_t flags = 0;
            session.GetProcAmp(d.id, &value, &flags);
            snprintf(line, sizeof line, "%-16s %d to %d step %u%s, default %d; now %d (%s)  %s",
                     d.name, range.minimum, range.maximum, range.step, d.hasAuto ? " or auto" : "",
                     range.defaultValue, value,
                     flags == KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO ? "auto" : "manual", d.about);
        } else {
            long now = 0;
            const char* allowed = "";
            switch (d.kind) {
                case Kind::Method:
                    now = conversion[0];
                    allowed = "0 to 7, default 3";
                    break;
                case Kind::Rotation:
                    now = conversion[1];
                    allowed = "0 to 3, default 0";
                    break;
                case Kind::Preprocessing: {
                    uint32_t mode = 0;
                    std::memcpy(&mode, preprocessing.data(), 4);
                    now = mode;
                    allowed = "none, clip, subtract, capture; default none";
                    break;
                }
                case Kind::ExposureMode:
                    now = exposure[8];
                    allowed = "0 to 6, default 0";
                    break;
                default:
                    now = exposure[9];
                    allowed = "0 to 255, default 128";
                    break;
            }
            snprintf(line, sizeof line, "%-16s %s; now %ld  %s", d.name, allowed, now, d.about);
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace halvex::tools
