#include "client/vendor_records.h"

#include <algorithm>

namespace halvex::client {
namespace {

void Put16(std::vector<uint8_t>& d, size_t at, uint16_t v) {
    d[at] = static_cast<uint8_t>(v);
    d[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint16_t Get16(const std::vector<uint8_t>& d, size_t at) {
    return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

}  // namespace

std::vector<uint8_t> Encode(const SharpnessRecord& r) {
    std::vector<uint8_t> d(5, 0);
    d[0] = r.enable;
    Put16(d, 1, r.level);
    d[3] = r.threshold;
    return d;
}
SharpnessRecord DecodeSharpness(const std::vector<uint8_t>& d) {
    return {d[0], Get16(d, 1), d[3]};
}

std::vector<uint8_t> Encode(const ToneTablesRecord& r) {
    std::vector<uint8_t> d(1296, 0);
    for (size_t t = 0; t < 5; ++t) {
        d[t] = r.mode[t];
        Put16(d, 6 + 2 * t, r.gamma[t]);
        std::copy(r.entries[t].begin(), r.entries[t].end(), d.begin() + 16 + 256 * t);
    }
    return d;
}
ToneTablesRecord DecodeToneTables(const std::vector<uint8_t>& d) {
    ToneTablesRecord r;
    for (size_t t = 0; t < 5; ++t) {
        r.mode[t] = d[t];
        r.gamma[t] = Get16(d, 6 + 2 * t);
        std::copy(d.begin() + 16 + 256 * t, d.begin() + 16 + 256 * (t + 1), r.entries[t].begin());
    }
    return r;
}

std::vector<uint8_t> Encode(const WhiteBalanceRecord& r) {
    std::vector<uint8_t> d(13, 0);
    d[0] = r.mode;
    for (size_t c = 0; c < 4; ++c) Put16(d, 1 + 2 * c, r.gains[c]);
    Put16(d, 9, r.redTarget);
    Put16(d, 11, r.blueTarget);
    return d;
}
WhiteBalanceRecord DecodeWhiteBalance(const std::vector<uint8_t>& d) {
    WhiteBalanceRecord r;
    r.mode = d[0];
    for (size_t c = 0; c < 4; ++c) r.gains[c] = Get16(d, 1 + 2 * c);
    r.redTarget = Get16(d, 9);
    r.blueTarget = Get16(d, 11);
    return r;
}

std::vector<uint8_t> Encode(const ConversionRecord& r) {
    return {r.method, r.rotation};
}
ConversionRecord DecodeConversion(const std::vector<uint8_t>& d) {
    return {d[0], d[1]};
}

std::vector<uint8_t> Encode(const ColorCorrectionRecord& r) {
    std::vector<uint8_t> d(30, 0);
    d[0] = r.adjustEnable;
    Put16(d, 1, static_cast<uint16_t>(r.hue));
    Put16(d, 3, r.saturation);
    d[5] = r.matrixMode;
    for (size_t i = 0; i < 12; ++i) Put16(d, 6 + 2 * i, static_cast<uint16_t>(r.matrix[i]));
    return d;
}
ColorCorrectionRecord DecodeColorCorrection(const std::vector<uint8_t>& d) {
    ColorCorrectionRecord r;
    r.adjustEnable = d[0];
    r.hue = static_cast<int16_t>(Get16(d, 1));
    r.saturation = Get16(d, 3);
    r.matrixMode = d[5];
    for (size_t i = 0; i < 12; ++i) r.matrix[i] = static_cast<int16_t>(Get16(d, 6 + 2 * i));
    return r;
}

}  // namespace halvex::client
