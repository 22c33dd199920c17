// The vendor property set's records as an application uses them, with their wire encoding.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace halvex::client {

// Ids 1 / 129.
struct SharpnessRecord {
    uint8_t enable = 0;
    uint16_t level = 0;
    uint8_t threshold = 0;
};
// Ids 2 / 130 (brightness and contrast are not carried).
struct ToneTablesRecord {
    std::array<uint8_t, 5> mode{};
    std::array<uint16_t, 5> gamma{};
    std::array<std::array<uint8_t, 256>, 5> entries{};
};
// Ids 3 / 131.
struct WhiteBalanceRecord {
    uint8_t mode = 0;
    std::array<uint16_t, 4> gains{};
    uint16_t redTarget = 0;
    uint16_t blueTarget = 0;
};
// Ids 4 / 132.
struct ConversionRecord {
    uint8_t method = 0;
    uint8_t rotation = 0;
};
// Ids 5 / 133.
struct ColorCorrectionRecord {
    uint8_t adjustEnable = 0;
    int16_t hue = 0;
    uint16_t saturation = 0;
    uint8_t matrixMode = 0;
    std::array<int16_t, 12> matrix{};
};

std::vector<uint8_t> Encode(const SharpnessRecord& r);
std::vector<uint8_t> Encode(const ToneTablesRecord& r);
std::vector<uint8_t> Encode(const WhiteBalanceRecord& r);
std::vector<uint8_t> Encode(const ConversionRecord& r);
std::vector<uint8_t> Encode(const ColorCorrectionRecord& r);
// Decoding takes a payload of at least the record's size.
SharpnessRecord DecodeSharpness(const std::vector<uint8_t>& d);
ToneTablesRecord DecodeToneTables(const std::vector<uint8_t>& d);
WhiteBalanceRecord DecodeWhiteBalance(const std::vector<uint8_t>& d);
ConversionRecord DecodeConversion(const std::vector<uint8_t>& d);
ColorCorrectionRecord DecodeColorCorrection(const std::vector<uint8_t>& d);

}  // namespace halvex::client
