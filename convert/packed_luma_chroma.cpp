// The packed 4:2:2 luma/chroma source (arrangement code 10): groups of Y0, U, Y1, V describing
// two pixels with their own luma and shared chroma, turned into blue, green and red with a fixed
// integer transform. The chroma offsets come from two constant tables.
#include "convert/convert_raw_frame.h"

namespace {

// Per chroma value: the U table holds the blue offset 2U - 256 and the green offset 128 - U, the
// V table the green offset 128 - V and the red offset V - 128. They are built at compile time,
// so no conversion ever sees them unfilled.
struct ChromaOffsets {
    SHORT first;
    SHORT second;
};
struct ChromaTables {
    ChromaOffsets u[256];
    ChromaOffsets v[256];
};

constexpr ChromaTables MakeChromaTables() {
    ChromaTables t{};
    for (int i = 0; i < 256; i++) {
        t.u[i] = {static_cast<SHORT>(2 * i - 256), static_cast<SHORT>(128 - i)};
        t.v[i] = {static_cast<SHORT>(128 - i), static_cast<SHORT>(i - 128)};
    }
    return t;
}

constexpr ChromaTables g_Chroma = MakeChromaTables();

inline UCHAR Clamp(LONG value) {
    return static_cast<UCHAR>(value < 0 ? 0 : value > 255 ? 255 : value);
}

}  // namespace

ULONG ConvertPackedLumaChroma(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    const SIZE_T groups = static_cast<SIZE_T>(width) * height / 2;
    for (SIZE_T g = 0; g < groups; g++) {
        const UCHAR* in = source + 4 * g;
        const ChromaOffsets& u = g_Chroma.u[in[1]];
        const ChromaOffsets& v = g_Chroma.v[in[3]];
        const LONG blue = u.first;
        const LONG green = static_cast<LONG>(u.second) + v.first;
        const LONG red = v.second;
        UCHAR* out = destination + 6 * g;
        for (ULONG i = 0; i < 2; i++) {
            const LONG luma = in[2 * i];
            out[3 * i + 0] = Clamp(luma + blue);
            out[3 * i + 1] = Clamp(luma + green);
            out[3 * i + 2] = Clamp(luma + red);
        }
    }
    return 1;
}
