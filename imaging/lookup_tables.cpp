// Tone tables and gamma. The curves are built when a table is set, never per pixel.
#include "imaging/lookup_tables.h"

#include <math.h>

#include "imaging/lookups_avx512.h"
#if defined(_MSC_VER)
#include <intrin.h>
#elif defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

// No product of a byte and a weight falls exactly on a half.
constexpr LuminanceWeights MakeLuminanceWeights() {
    LuminanceWeights w{};
    for (int v = 0; v < 256; v++) {
        w.blue[v] = static_cast<UCHAR>(v * 0.1145 + 0.5);
        w.green[v] = static_cast<UCHAR>(v * 0.5866 + 0.5);
        w.red[v] = static_cast<UCHAR>(v * 0.2989 + 0.5);
    }
    return w;
}

// kClamp[v + 256] is v limited to 0 to 255, for v from -256 to 511: a byte plus a difference of
// two bytes, limited without a branch.
struct ClampTable {
    UCHAR value[768];
};
constexpr ClampTable MakeClampTable() {
    ClampTable t{};
    for (int i = 0; i < 768; i++)
        t.value[i] = static_cast<UCHAR>(i < 256 ? 0 : i > 511 ? 255 : i - 256);
    return t;
}
constinit const ClampTable kClamp = MakeClampTable();

}  // namespace

constinit const LuminanceWeights g_LuminanceWeights = MakeLuminanceWeights();

namespace {

constexpr bool FormMatches(const LuminanceWeightForm& form, const UCHAR* table) {
    for (ULONG v = 0; v < 256; v++) {
        const ULONG n = v * static_cast<ULONG>(form.factor) + static_cast<ULONG>(form.offset);
        if (n > 0xFFFF ||
            (((n * static_cast<ULONG>(form.multiplier)) >> 16) >> form.shift) != table[v])
            return false;
    }
    return true;
}
static_assert(FormMatches(kLuminanceBlue, MakeLuminanceWeights().blue));
static_assert(FormMatches(kLuminanceGreen, MakeLuminanceWeights().green));
static_assert(FormMatches(kLuminanceRed, MakeLuminanceWeights().red));

}  // namespace

namespace {

// Whether the processor has AVX-512's byte operations and byte permutes (CPUID leaf 7: EBX bit
// 30, ECX bit 1), asked once: 0 not yet asked, 1 the extensions are there, 2 they are not. A
// race only asks twice and writes the same answer.
volatile LONG g_BytePermuteExtensions = 0;

BOOLEAN ProcessorHasBytePermuteExtensions() {
    LONG known = ReadLongAcquire(&g_BytePermuteExtensions);
    if (known == 0) {
#if defined(_MSC_VER)
        int registers[4];
        __cpuidex(registers, 7, 0);
        const ULONG ebx = static_cast<ULONG>(registers[1]), ecx = static_cast<ULONG>(registers[2]);
#elif defined(__x86_64__)
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
            ebx = ecx = 0;
#else
        const ULONG ebx = 0, ecx = 0;
#endif
        known = (ebx & (1u << 30)) != 0 && (ecx & (1u << 1)) != 0 ? 1 : 2;
        WriteLongRelease(&g_BytePermuteExtensions, known);
    }
    return known == 1;
}

// Whether AVX-512 with those extensions can be used: the operating system's support comes with
// PF_AVX512F.
BOOLEAN HasBytePermutes() {
    return ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE) &&
           ProcessorHasBytePermuteExtensions();
}

}  // namespace

BOOLEAN BeginBytePermutes(PXSTATE_SAVE state) {
    return HasBytePermutes() &&
           NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, state));
}

VOID EndBytePermutes(PXSTATE_SAVE state) {
    KeRestoreExtendedProcessorState(state);
}

namespace {

// Runs an AVX-512 routine where the processor has the byte permutes and the extended state
// could be saved; returns what the routine returns, or 0 (nothing done) otherwise.
template <class Routine>
ULONG WithBytePermutes(Routine routine) {
    XSTATE_SAVE state;
    if (!BeginBytePermutes(&state))
        return 0;
    const ULONG done = routine();
    EndBytePermutes(&state);
    return done;
}

}  // namespace

VOID FillIdentity(UCHAR* table) {
    for (ULONG i = 0; i < 256; i++) table[i] = static_cast<UCHAR>(i);
}

VOID InitLookupTables(LookupTables* tables) {
    KeInitializeSpinLock(&tables->m_Lock);
    for (ULONG t = 0; t < TONE_TABLE_COUNT; t++) {
        tables->m_abyteMode[t] = TONE_MODE_IDENTITY;
        tables->m_awGamma[t] = 100;
        tables->m_awBrightness[t] = 0;
        tables->m_abyteContrast[t] = 0;
        FillIdentity(tables->m_abyteTable[t]);
    }
}

ULONG BuildToneCurve(USHORT gamma, SHORT brightness, UCHAR contrast, UCHAR* table) {
    const LONG cut = contrast > 127 ? 127 : contrast;
    const double exponent = 100.0 / gamma;
    const double slope = 255.0 / (255.0 - 2 * cut);
    for (LONG i = 0; i < 256; i++) {
        const LONG x = i + brightness;
        UCHAR entry;
        if (x > 255) {
            entry = 255;
        } else if (x < 0 || x <= cut) {
            entry = 0;
        } else if (x >= 255 - cut) {
            entry = 255;
        } else {
            const double v = (x - cut) * slope;
            if (v > 255.0) {
                entry = 255;
            } else {
                const ULONG e = static_cast<ULONG>(pow(v / 255.0, exponent) * 255.0 + 0.5);
                entry = static_cast<UCHAR>(e > 255 ? 255 : e);
            }
        }
        table[i] = entry;
    }
    return 0;
}

ULONG SetTable(LookupTables* tables, UCHAR index, UCHAR mode, USHORT gamma, SHORT brightness,
               UCHAR contrast, const UCHAR* entries) {
    if (index >= TONE_TABLE_COUNT)
        return 6;
    if (mode != TONE_MODE_IDENTITY && mode != 1 && mode != 2 && mode != TONE_MODE_SUPPLIED)
        return 6;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&tables->m_Lock);
    if (mode == TONE_MODE_IDENTITY) {
        FillIdentity(tables->m_abyteTable[index]);
    } else {
        RtlCopyMemory(tables->m_abyteTable[index], entries, 256);
    }
    const BOOLEAN keepParameters = mode == 1 || mode == 2;
    tables->m_abyteMode[index] = mode;
    tables->m_awGamma[index] = keepParameters ? gamma : 100;
    tables->m_awBrightness[index] = keepParameters ? brightness : 0;
    tables->m_abyteContrast[index] = keepParameters ? contrast : 0;
    KeReleaseSpinLock(&tables->m_Lock, irql);
    return 0;
}

ULONG GetTable(LookupTables* tables, UCHAR index, UCHAR* mode, USHORT* gamma, SHORT* brightness,
               UCHAR* contrast, UCHAR* entries) {
    if (index >= TONE_TABLE_COUNT)
        return 6;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&tables->m_Lock);
    if (mode != nullptr)
        *mode = tables->m_abyteMode[index];
    if (gamma != nullptr)
        *gamma = tables->m_awGamma[index];
    if (brightness != nullptr)
        *brightness = tables->m_awBrightness[index];
    if (contrast != nullptr)
        *contrast = tables->m_abyteContrast[index];
    if (entries != nullptr)
        RtlCopyMemory(entries, tables->m_abyteTable[index], 256);
    KeReleaseSpinLock(&tables->m_Lock, irql);
    return 0;
}

ULONG ApplyRawTables(LookupTables* tables, ULONG width, ULONG height, USHORT arrangement,
                     PUCHAR raw) {
    if (arrangement == 1)
        return 1;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&tables->m_Lock);
    BOOLEAN any = FALSE;
    for (ULONG t = 1; t < TONE_TABLE_COUNT; t++) any = any || tables->m_abyteMode[t] != 0;
    if (any)
        RtlCopyMemory(tables->m_abyteFrameTable[1], tables->m_abyteTable[1], 4 * 256);
    KeReleaseSpinLock(&tables->m_Lock, irql);
    if (!any)
        return 1;
    // Table 1 + channel for each cell position.
    const UCHAR* channelOf = ChannelOfPosition(arrangement);
    const UCHAR* table[4];
    for (ULONG k = 0; k < 4; k++) table[k] = tables->m_abyteFrameTable[1 + channelOf[k]];
    const ULONG first =
        width >= 64
            ? WithBytePermutes([&] { return ApplyRawTablesAvx512(table, width, height, raw); })
            : 0;
    for (ULONG y = 0; y + 1 < height; y += 2) {
        PUCHAR rows[2] = {raw + static_cast<SIZE_T>(y) * width,
                          raw + static_cast<SIZE_T>(y + 1) * width};
        for (ULONG x = first; x + 1 < width; x += 2) {
            rows[0][x] = table[0][rows[0][x]];
            rows[0][x + 1] = table[1][rows[0][x + 1]];
            rows[1][x] = table[2][rows[1][x]];
            rows[1][x + 1] = table[3][rows[1][x + 1]];
        }
    }
    return 1;
}

BOOLEAN TakeLuminanceTable(LookupTables* tables) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&tables->m_Lock);
    const BOOLEAN apply = tables->m_abyteMode[0] != TONE_MODE_IDENTITY;
    if (apply)
        RtlCopyMemory(tables->m_abyteFrameTable[0], tables->m_abyteTable[0], 256);
    KeReleaseSpinLock(&tables->m_Lock, irql);
    return apply;
}

ULONG ApplyLuminanceCurve(LookupTables* tables, ULONG pixels, ULONG step, PUCHAR image) {
    const UCHAR* table = tables->m_abyteFrameTable[0];
    const UCHAR* blue = g_LuminanceWeights.blue;
    const UCHAR* green = g_LuminanceWeights.green;
    const UCHAR* red = g_LuminanceWeights.red;
    const UCHAR* clamp = kClamp.value + 256;
    const PUCHAR end = image + static_cast<SIZE_T>(pixels) * step;
    PUCHAR p = image;
    if (step == 3 && pixels >= 64) {
        const ULONG done =
            WithBytePermutes([&] { return ApplyLuminanceCurveAvx512(table, image, pixels); });
        p += 3 * SIZE_T{done};
        pixels -= done;
    }
#if HALVEX_SSE2
    // Sixteen pixels at a time: the luminance in vectors, its curve value looked up on the
    // general registers, the difference added with saturation. Each step loads the next
    // sixteen pixels before it stores, because its last store writes two bytes of the next pixel;
    // after the last step those two bytes are put back.
    if (step == 3 && pixels > 16) {
        __m128i b, g, r;
        LoadBgr16(p, &b, &g, &r);
        for (;;) {
            const __m128i y = Luminance16(b, g, r);
            const __m128i curve = LookUpBytes(table, y);
            // A colour plus the change, limited to 0 to 255: a saturating add of the rise, then
            // a saturating subtraction of the fall (one of them is 0).
            const __m128i rise = _mm_subs_epu8(curve, y);
            const __m128i fall = _mm_subs_epu8(y, curve);
            auto shift = [&](__m128i v) HALVEX_INLINE_LAMBDA {
                return _mm_subs_epu8(_mm_adds_epu8(v, rise), fall);
            };
            const __m128i outBlue = shift(b), outGreen = shift(g), outRed = shift(r);
            PUCHAR out = p;
            p += 48;
            if (end - p > 48) {
                LoadBgr16(p, &b, &g, &r);
                StoreBgr16(out, outBlue, outGreen, outRed);
                continue;
            }
            const UCHAR next[2] = {p[0], p[1]};
            StoreBgr16(out, outBlue, outGreen, outRed);
            p[0] = next[0];
            p[1] = next[1];
            break;
        }
    }
#endif
    for (; p != end; p += step) {
        const ULONG b = p[0], g = p[1], r = p[2];
        const ULONG y = (blue[b] + green[g] + red[r]) & 0xFF;
        const LONG d = static_cast<LONG>(table[y]) - static_cast<LONG>(y);
        p[0] = clamp[static_cast<LONG>(b) + d];
        p[1] = clamp[static_cast<LONG>(g) + d];
        p[2] = clamp[static_cast<LONG>(r) + d];
    }
    return 1;
}
