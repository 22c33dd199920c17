// White balance. The tables are rebuilt only when a gain changes; per sample the work is one
// look-up, and only red and blue are touched while both green gains are 1.0.
#include "imaging/white_balance.h"

#include <math.h>

#include "convert/simd.h"

namespace {

constexpr USHORT kUnityGain = 128;

// Rebuilds the table of a channel whose gain changed. Caller holds m_Lock.
VOID StoreGain(WhiteBalance* balance, ULONG channel, USHORT gain) {
    balance->m_awGain[channel] = gain;
    BuildGainTable(gain, balance->m_abyteGainTable[channel]);
}

// The automatic balance's new gain for a channel measured at `average` with target `target`.
USHORT NewGain(USHORT gain, ULONG target, ULONG average, ULONG green) {
    ULONGLONG value;
    if (average != 0) {
        value = static_cast<ULONGLONG>(gain) * target / average;
    } else if (green != 0) {
        value = gain + 1ull;
    } else {
        value = 0;
    }
    return static_cast<USHORT>(value > WB_GAIN_MAX ? WB_GAIN_MAX : value);
}

}  // namespace

VOID BuildGainTable(USHORT gain, UCHAR* table) {
    if (gain == 0) {
        RtlZeroMemory(table, 256);
        return;
    }
    const ULONG limit = 32640u / gain;
    for (ULONG i = 0; i < 256; i++)
        table[i] = i < limit ? static_cast<UCHAR>((i * gain) >> 7) : 255;
}

ULONG InitWhiteBalance(WhiteBalance* balance) {
    KeInitializeSpinLock(&balance->m_Lock);
    balance->m_byteInterval = 10;
    balance->m_byteSampleCount = 10;
    balance->m_byteBalanceMode = balance->m_wArrangement == 1 ? WB_MODE_OFF : WB_MODE_CONTINUOUS;
    balance->m_wTolerance = 5;
    balance->m_wRedTarget = 100;
    balance->m_wBlueTarget = 100;
    balance->m_bChanged = 0;
    balance->m_byteCountdown = 0;
    balance->m_byteSamples = 0;
    for (ULONG z = 0; z < 16; z++) balance->m_abyteZoneWeight[z] = 1;
    for (ULONG c = 0; c < 4; c++) StoreGain(balance, c, balance->m_awStartGain[c]);
    return 1;
}

ULONG SetGains(WhiteBalance* balance, const USHORT* gains) {
    // Tables are built outside the lock and stored with their gains in one step.
    UCHAR tables[4][256];
    for (ULONG c = 0; c < 4; c++) BuildGainTable(gains[c], tables[c]);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    for (ULONG c = 0; c < 4; c++) balance->m_awGain[c] = gains[c];
    RtlCopyMemory(balance->m_abyteGainTable, tables, sizeof tables);
    KeReleaseSpinLock(&balance->m_Lock, irql);
    return 1;
}

VOID SetBalanceMode(WhiteBalance* balance, UCHAR mode) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    balance->m_byteBalanceMode = mode;
    KeReleaseSpinLock(&balance->m_Lock, irql);
}

UCHAR GetBalanceMode(WhiteBalance* balance) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    const UCHAR mode = balance->m_byteBalanceMode;
    KeReleaseSpinLock(&balance->m_Lock, irql);
    return mode;
}

VOID SetBalanceTargets(WhiteBalance* balance, USHORT red, USHORT blue) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    balance->m_wRedTarget = red;
    balance->m_wBlueTarget = blue;
    KeReleaseSpinLock(&balance->m_Lock, irql);
}

ULONG ApplyWhiteBalance(WhiteBalance* balance, ULONG width, ULONG height, USHORT arrangement,
                        PUCHAR raw) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    RtlCopyMemory(balance->m_abyteFrameTable, balance->m_abyteGainTable,
                  sizeof balance->m_abyteFrameTable);
    for (ULONG c = 0; c < 4; c++) balance->m_awFrameGain[c] = balance->m_awGain[c];
    KeReleaseSpinLock(&balance->m_Lock, irql);

    const UCHAR* channelOf = ChannelOfPosition(arrangement);
    const UCHAR* table[4];
    for (ULONG k = 0; k < 4; k++) table[k] = balance->m_abyteFrameTable[channelOf[k]];
    const BOOLEAN unityGreen =
        balance->m_awFrameGain[1] == kUnityGain && balance->m_awFrameGain[2] == kUnityGain;
    // With unity green only red and blue are looked up: positions 0 and 3 for codes 2 and 5,
    // 1 and 2 for codes 3 and 4; any other code is left alone.
    BOOLEAN apply[4] = {TRUE, TRUE, TRUE, TRUE};
    if (unityGreen) {
        const BOOLEAN diagonal = arrangement == 2 || arrangement == 5;
        const BOOLEAN antiDiagonal = arrangement == 3 || arrangement == 4;
        if (!diagonal && !antiDiagonal)
            return 1;
        apply[0] = apply[3] = diagonal;
        apply[1] = apply[2] = antiDiagonal;
    }
    // The columns the sixteen-sample steps cover: the gain tables computed, (v x gain) >> 7 and
    // 255 from 32640 / gain on (a position left alone has a unity table, which this gives too).
    ULONG fastColumns = 0;
#if HALVEX_SSE2
    BOOLEAN computable = TRUE;
    for (ULONG k = 0; k < 4; k++)
        computable = computable && balance->m_awFrameGain[channelOf[k]] <= WB_GAIN_MAX * 2;
    if (computable)
        fastColumns = (width & ~1u) & ~15u;
#endif
    for (ULONG y = 0; y + 1 < height; y += 2) {
        PUCHAR rows[2] = {raw + static_cast<SIZE_T>(y) * width,
                          raw + static_cast<SIZE_T>(y + 1) * width};
#if HALVEX_SSE2
        for (ULONG r = 0; r < 2 && fastColumns != 0; r++) {
            const USHORT gainEven = balance->m_awFrameGain[channelOf[2 * r]];
            const USHORT gainOdd = balance->m_awFrameGain[channelOf[2 * r + 1]];
            auto limit = [](USHORT gain) {
                return static_cast<SHORT>(gain == 0 ? 256 : 32640u / gain);
            };
            // v x 512 x gain >> 16 is (v x gain) >> 7; a sample from the limit on is 255.
            const __m128i multiplier = _mm_set1_epi32(static_cast<int>(
                static_cast<ULONG>(gainEven) << 1 | static_cast<ULONG>(gainOdd) << 17));
            const __m128i lastBelow =
                _mm_set1_epi32(static_cast<int>((static_cast<ULONG>(limit(gainEven) - 1) & 0xFFFF) |
                                                static_cast<ULONG>(limit(gainOdd) - 1) << 16));
            const __m128i zero = _mm_setzero_si128();
            PUCHAR row = rows[r];
            for (ULONG x = 0; x < fastColumns; x += 16) {
                const __m128i v = Load16(row + x);
                const __m128i low = _mm_unpacklo_epi8(v, zero);
                const __m128i high = _mm_unpackhi_epi8(v, zero);
                const __m128i product =
                    _mm_packus_epi16(_mm_mulhi_epu16(_mm_slli_epi16(low, 8), multiplier),
                                     _mm_mulhi_epu16(_mm_slli_epi16(high, 8), multiplier));
                const __m128i over = _mm_packs_epi16(_mm_cmpgt_epi16(low, lastBelow),
                                                     _mm_cmpgt_epi16(high, lastBelow));
                Store16(row + x, _mm_or_si128(product, over));
            }
        }
#endif
        for (ULONG x = fastColumns; x + 1 < width; x += 2) {
            for (ULONG k = 0; k < 4; k++) {
                if (apply[k]) {
                    PUCHAR sample = rows[k >> 1] + x + (k & 1);
                    *sample = table[k][*sample];
                }
            }
        }
    }
    return 1;
}

ULONG UpdateWhiteBalance(WhiteBalance* balance, const UCHAR* averages) {
    for (ULONG c = 0; c < 4; c++) {
        balance->m_aulSum[c] =
            balance->m_byteSamples == 0 ? averages[c] : balance->m_aulSum[c] + averages[c];
    }
    balance->m_byteSamples++;
    if (balance->m_byteSamples < balance->m_byteSampleCount)
        return 1;
    for (ULONG c = 0; c < 4; c++) balance->m_aulSum[c] /= balance->m_byteSamples;
    balance->m_byteSamples = 0;
    const ULONG r = balance->m_aulSum[0];
    const ULONG g1 = balance->m_aulSum[1];
    const ULONG g2 = balance->m_aulSum[2];
    const ULONG b = balance->m_aulSum[3];

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    const ULONG green = (g1 + g2) >> 1;
    const ULONG targetRed = green * balance->m_wRedTarget / 100;
    const ULONG targetBlue = green * balance->m_wBlueTarget / 100;
    // The distance is formed in 64 bits, so that large targets do not wrap it.
    const ULONGLONG dR = targetRed > r ? targetRed - r : r - targetRed;
    const ULONGLONG dB = targetBlue > b ? targetBlue - b : b - targetBlue;
    const ULONGLONG distance =
        static_cast<ULONGLONG>(sqrt(static_cast<double>(dR * dR + dB * dB)) * 10.0);
    const ULONG threshold =
        balance->m_bChanged == 1 ? balance->m_wTolerance : 2u * balance->m_wTolerance;
    if (distance < threshold) {
        balance->m_bChanged = 0;
    } else {
        const USHORT red = NewGain(balance->m_awGain[0], targetRed, r, green);
        const USHORT blue = NewGain(balance->m_awGain[3], targetBlue, b, green);
        BOOLEAN stored = FALSE;
        if (red != balance->m_awGain[0]) {
            StoreGain(balance, 0, red);
            stored = TRUE;
        }
        if (blue != balance->m_awGain[3]) {
            StoreGain(balance, 3, blue);
            stored = TRUE;
        }
        balance->m_bChanged = stored ? 1 : 0;
    }
    if (balance->m_byteBalanceMode == WB_MODE_ONE_SHOT && balance->m_bChanged == 0)
        balance->m_byteBalanceMode = WB_MODE_FIXED;
    balance->m_byteCountdown = balance->m_byteInterval;
    KeReleaseSpinLock(&balance->m_Lock, irql);
    return 1;
}
