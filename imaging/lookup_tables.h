// Tone tables: table 0 on the output's luminance (or grey), tables 1 to 4 on the raw mosaic
// channels; and the luminance weight tables shared with sharpening.
#pragma once

#include "convert/simd.h"
#include "imaging/processing_stage.h"

#define TONE_TABLE_COUNT 5
#define TONE_MODE_IDENTITY 0
#define TONE_MODE_SUPPLIED 255

// The luminance of blue, green, red bytes: the sum of three weight look-ups (never above 255).
// Entry v: v x 0.1145, v x 0.5866, v x 0.2989, each rounded to the nearest integer.
struct LuminanceWeights {
    UCHAR blue[256];
    UCHAR green[256];
    UCHAR red[256];
};
extern const LuminanceWeights g_LuminanceWeights;

// A weight table as arithmetic: entry v is ((v x factor + offset) x multiplier / 2^16) >> shift,
// all in sixteen bits.
struct LuminanceWeightForm {
    SHORT factor, offset, multiplier;
    int shift;
};
constexpr LuminanceWeightForm kLuminanceBlue = {3, 13, 2502, 0};
constexpr LuminanceWeightForm kLuminanceGreen = {7, 6, 21967, 2};
constexpr LuminanceWeightForm kLuminanceRed = {3, 5, 6530, 0};
inline UCHAR Luminance(UCHAR blue, UCHAR green, UCHAR red) {
    return static_cast<UCHAR>(g_LuminanceWeights.blue[blue] + g_LuminanceWeights.green[green] +
                              g_LuminanceWeights.red[red]);
}

#if HALVEX_SSE2
namespace {  // internal linkage, as in convert/simd.h
// The luminance of 16 pixels, from their blue, green and red bytes. Each weight look-up is an
// exact multiply-high form of its table (checked at compile time for every byte).
inline __m128i Luminance16(__m128i blue, __m128i green, __m128i red) {
    const __m128i zero = _mm_setzero_si128();
    auto weigh = [zero](__m128i v, bool high, SHORT factor, SHORT offset, SHORT multiplier,
                        int shift) HALVEX_INLINE_LAMBDA {
        const __m128i wide = high ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
        const __m128i n =
            _mm_add_epi16(_mm_mullo_epi16(wide, _mm_set1_epi16(factor)), _mm_set1_epi16(offset));
        return _mm_srli_epi16(_mm_mulhi_epu16(n, _mm_set1_epi16(multiplier)), shift);
    };
    __m128i half[2];
    for (int h = 0; h < 2; h++) {
        half[h] = _mm_add_epi16(
            _mm_add_epi16(weigh(blue, h == 1, kLuminanceBlue.factor, kLuminanceBlue.offset,
                                kLuminanceBlue.multiplier, kLuminanceBlue.shift),
                          weigh(green, h == 1, kLuminanceGreen.factor, kLuminanceGreen.offset,
                                kLuminanceGreen.multiplier, kLuminanceGreen.shift)),
            weigh(red, h == 1, kLuminanceRed.factor, kLuminanceRed.offset, kLuminanceRed.multiplier,
                  kLuminanceRed.shift));
    }
    return _mm_packus_epi16(half[0], half[1]);
}
}  // namespace
#endif

// Written by property requests (under m_Lock) and read by the delivery work item, which copies
// the tables it applies under the same lock at the start of each use, so a frame never sees a
// table half replaced.
struct LookupTables {
    KSPIN_LOCK m_Lock;  // guards the five arrays below
    UCHAR m_abyteMode[TONE_TABLE_COUNT];
    USHORT m_awGamma[TONE_TABLE_COUNT];
    SHORT m_awBrightness[TONE_TABLE_COUNT];
    UCHAR m_abyteContrast[TONE_TABLE_COUNT];
    UCHAR m_abyteTable[TONE_TABLE_COUNT][256];
    // The delivery work item's copy of the modes and tables it is applying.
    UCHAR m_abyteFrameMode[TONE_TABLE_COUNT];
    UCHAR m_abyteFrameTable[TONE_TABLE_COUNT][256];
};

// Start values: every table the identity in mode 0, gamma 100, brightness 0, contrast 0.
VOID InitLookupTables(LookupTables* tables);
VOID FillIdentity(UCHAR* table);
// A tone curve from gamma (hundredths, at least 1), brightness and contrast. Returns 0.
ULONG BuildToneCurve(USHORT gamma, SHORT brightness, UCHAR contrast, UCHAR* table);
// Stores table `index` (0 to 4): mode 0 the identity, 1 or 2 the entries with their parameters,
// 255 the entries as supplied. Returns 0, or 6 (nothing changed) for any other mode.
ULONG SetTable(LookupTables* tables, UCHAR index, UCHAR mode, USHORT gamma, SHORT brightness,
               UCHAR contrast, const UCHAR* entries);
// Copies out whichever of the outputs is given. Returns 0.
ULONG GetTable(LookupTables* tables, UCHAR index, UCHAR* mode, USHORT* gamma, SHORT* brightness,
               UCHAR* contrast, UCHAR* entries);
// Tables 1 to 4 on the raw image, one per mosaic channel (nothing for monochrome, or when all
// four are in mode 0).
ULONG ApplyRawTables(LookupTables* tables, ULONG width, ULONG height, USHORT arrangement,
                     PUCHAR raw);
// Whether table 0 is to be applied; when it is, its entries are copied into the frame copy.
BOOLEAN TakeLuminanceTable(LookupTables* tables);
// Table 0 (as taken) on the luminance of `pixels` pixels `step` bytes apart.
ULONG ApplyLuminanceCurve(LookupTables* tables, ULONG pixels, ULONG step, PUCHAR image);
