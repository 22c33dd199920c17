// A raw frame and its conversion destination for the conversion tests.
#pragma once

#include <cstdint>
#include <vector>

#include "convert/convert_raw_frame.h"

namespace halvex::test {

struct RawImage {
    ULONG width, height;
    std::vector<UCHAR> raw;
    std::vector<UCHAR> out;
    // A frame of `fill` samples; the destination starts as 0xEE so untouched bytes show.
    RawImage(ULONG w, ULONG h, UCHAR fill = 0)
        : width(w), height(h), raw(static_cast<size_t>(w) * h, fill), out(raw.size() * 3, 0xEE) {}
    UCHAR& S(ULONG x, ULONG y) { return raw[static_cast<size_t>(y) * width + x]; }
    // Blue, green, red of pixel (x, y).
    std::vector<int> Px(ULONG x, ULONG y) const {
        const UCHAR* p = &out[3 * (static_cast<size_t>(y) * width + x)];
        return {p[0], p[1], p[2]};
    }
    ULONG Convert(UCHAR method, USHORT arrangement, ULONG* status) {
        *status = 0;
        return ConvertRawFrame(status, width, height, raw.data(), out.data(), method, arrangement);
    }
    // Samples from a fixed pseudo-random sequence.
    void FillPseudoRandom(uint32_t seed) {
        uint32_t state = seed;
        for (UCHAR& v : raw) {
            state = state * 1664525u + 1013904223u;
            v = static_cast<UCHAR>(state >> 24);
        }
    }
};

}  // namespace halvex::test
