// The fast (SSE2) routines against the plain ones they replace, byte for byte, over every
// arrangement code and many sizes: each size puts the sixteen-pixel steps and the pixels left
// over at other places.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "convert/rotate_raw_frame.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"
#include "platform/runtime.h"
#include "tests/convert/raw_image.h"

namespace halvex::test {
namespace {

const ULONG kWidths[] = {2, 4, 6, 16, 18, 20, 32, 34, 36, 50, 66, 642};
const ULONG kHeights[] = {2, 4, 6, 8, 14};

// Runs body(hidden) with a processor feature shown, then hidden, and shows it again afterwards,
// also when the body stops at a failed assertion.
template <class Body>
void ShownAndHidden(ULONG feature, Body body) {
    struct Show {
        ULONG feature;
        ~Show() { platform::HideProcessorFeature(feature, false); }
    } show{feature};
    for (bool hidden : {false, true}) {
        platform::HideProcessorFeature(feature, hidden);
        body(hidden);
    }
}

TEST(FastPaths, BilinearMatchesThePlainTwoSweepRoutine) {
    for (ULONG width : kWidths) {
        for (ULONG height : kHeights) {
            RawImage image(width, height);
            image.FillPseudoRandom(width * 31 + height);
            for (USHORT code = 2; code <= 5; ++code) {
                for (UCHAR method : {3, 6}) {
                    ULONG status = 0;
                    if (image.Convert(method, code, &status) != 1)
                        continue;  // below the method's minimum size
                    std::vector<UCHAR> plain(image.out.size(), 0xEE);
                    ASSERT_EQ(ConvertBilinearReference(code, method == 6, width, height,
                                                       image.raw.data(), plain.data()),
                              1u);
                    EXPECT_EQ(image.out, plain)
                        << width << "x" << height << " code " << code << " method " << int(method);
                }
            }
        }
    }
}

// Converting a frame as if flipped gives the bytes of flipping it, then converting it.
TEST(FastPaths, FlippedConversionMatchesFlipThenConvert) {
    for (ULONG width : kWidths) {
        for (ULONG height : kHeights) {
            for (USHORT code = 1; code <= 5; ++code) {
                for (UCHAR method : {3, 4, 5, 6}) {
                    RawImage image(width, height);
                    image.FillPseudoRandom(width * 7 + height + code);
                    std::vector<UCHAR> direct(image.out.size(), 0xEE);
                    const ULONG done = ConvertFlippedRawFrame(width, height, image.raw.data(),
                                                              direct.data(), method, code);
                    ULONG w = width, h = height;
                    USHORT flipped = code;
                    RotateRawFrame(ROTATE_FLIP, &w, &h, &flipped, image.raw.data());
                    ULONG status = 0;
                    const ULONG converted = image.Convert(method, flipped, &status);
                    if (done == 0) {
                        EXPECT_TRUE(method == 4 || method == 5 || code == 1 || converted == 0);
                        EXPECT_TRUE(std::all_of(direct.begin(), direct.end(),
                                                [](UCHAR v) { return v == 0xEE; }));
                        continue;
                    }
                    EXPECT_EQ(flipped, FlippedArrangement(code));
                    EXPECT_EQ(direct, image.out)
                        << width << "x" << height << " code " << code << " method " << int(method);
                }
            }
        }
    }
}

// Method 5 in one pass gives what its two passes give, with noisy and smooth samples (so that both
// the picked candidates and the mean of four occur) and an outer ring of arbitrary bytes, which
// the second pass reads.
TEST(FastPaths, AdaptiveMatchesThePlainTwoPassRoutine) {
    // The AVX2 routine where the processor has AVX2, then the SSE2 routine.
    ShownAndHidden(PF_AVX2_INSTRUCTIONS_AVAILABLE, [&](bool hideAvx2) {
        for (ULONG width : {2u, 4u, 32u, 34u, 36u, 66u, 98u, 130u, 642u, 1058u}) {
            for (ULONG height : kHeights) {
                for (int smooth = 0; smooth < 2; ++smooth) {
                    RawImage image(width, height);
                    image.FillPseudoRandom(width * 5 + height + smooth);
                    if (smooth) {
                        for (ULONG y = 0; y < height; ++y)
                            for (ULONG x = 0; x < width; ++x)
                                image.S(x, y) =
                                    static_cast<UCHAR>((x * 3 + y * 5) / 4 +
                                                       ((x + y) % 7 == 0 ? image.S(x, y) % 40 : 0));
                    }
                    RawImage ring(width, height);
                    ring.FillPseudoRandom(width + height * 3);
                    std::copy(ring.raw.begin(), ring.raw.end(), image.out.begin());
                    std::copy(ring.raw.begin(), ring.raw.end(),
                              image.out.begin() + ring.raw.size());
                    std::copy(ring.raw.begin(), ring.raw.end(),
                              image.out.begin() + 2 * ring.raw.size());
                    std::vector<UCHAR> plain = image.out;
                    ULONG status = 0;
                    ASSERT_EQ(image.Convert(5, 2, &status), 1u);
                    ASSERT_EQ(
                        ConvertAdaptiveReference(width, height, image.raw.data(), plain.data()),
                        1u);
                    EXPECT_EQ(image.out, plain) << width << "x" << height << " smooth " << smooth
                                                << " AVX2 hidden " << hideAvx2;
                }
            }
        }
    });
}

// Defect clipping sixteen samples at a time gives what it gives one at a time, with hot and dead
// samples everywhere, near the edges too.
TEST(FastPaths, DefectClippingMatchesTheSampleAtATimeRoutine) {
    platform::RuntimeScope runtime(platform::TimeMode::Virtual);
    // 64 at a time with AVX-512 where the processor has it, then without.
    ShownAndHidden(PF_AVX512F_INSTRUCTIONS_AVAILABLE, [&](bool hideAvx512) {
        for (ULONG width : {3u, 19u, 20u, 21u, 36u, 37u, 66u, 67u, 68u, 131u, 642u}) {
            for (ULONG height : {1u, 4u, 5u, 9u}) {
                for (USHORT code : {1, 2, 3, 5}) {
                    RawImage image(width, height);
                    image.FillPseudoRandom(width * 3 + height + code);
                    for (size_t i = 0; i < image.raw.size(); i += 7) image.raw[i] = i % 2 ? 255 : 0;
                    std::vector<UCHAR> plain = image.raw;
                    EXPECT_EQ(CorrectDefects(nullptr, width, height, code, image.raw.data()),
                              CorrectDefectsPlain(width, height, code, plain.data()));
                    EXPECT_EQ(image.raw, plain) << width << "x" << height << " code " << code
                                                << " AVX-512 hidden " << hideAvx512;
                }
            }
        }
    });
}

// Colour correction four pixels at a time gives the sums of the tables, limited to 0 to 255, for
// frames of every length modulo four.
TEST(FastPaths, ColorCorrectionMatchesItsTables) {
    platform::RuntimeScope runtime(platform::TimeMode::Virtual);
    auto* correction = AllocateProcessingRecord<ColorCorrection>();
    ASSERT_NE(correction, nullptr);
    InitColorCorrection(correction);
    // Tables that fit sixteen bits, and tables that do not (the AVX-512 routine declines those).
    const SHORT matrices[2][12] = {{150, -40, 10, 300, -20, 120, 0, -500, 5, 30, 90, 0},
                                   {32000, -32000, 10, 0, -20, 120, 0, -500, 5, 30, 90, 0}};
    ASSERT_EQ(SetHueSaturation(correction, 1, 1000, 180), 1u);
    for (const auto& matrix : matrices) {
        ASSERT_EQ(SetColorMatrix(correction, 0xFF, matrix), 1u);
        // The AVX-512 routine where the processor has AVX-512, then without it.
        ShownAndHidden(PF_AVX512F_INSTRUCTIONS_AVAILABLE, [&](bool hideAvx512) {
            for (ULONG width : {1u, 2u, 3u, 4u, 5u, 7u, 13u, 256u, 257u, 700u}) {
                RawImage image(width * 3, 3);  // three bytes a pixel
                image.FillPseudoRandom(width);
                std::vector<UCHAR> expected = image.raw;
                for (size_t i = 0; i < expected.size(); i += 3) {
                    const ColorContribution& b = correction->m_aContribution[0][image.raw[i]];
                    const ColorContribution& g = correction->m_aContribution[1][image.raw[i + 1]];
                    const ColorContribution& r = correction->m_aContribution[2][image.raw[i + 2]];
                    auto clamp = [](LONG v) {
                        return static_cast<UCHAR>(v < 0 ? 0 : v > 255 ? 255 : v);
                    };
                    expected[i] = clamp(b.toBlue + g.toBlue + r.toBlue);
                    expected[i + 1] = clamp(b.toGreen + g.toGreen + r.toGreen);
                    expected[i + 2] = clamp(b.toRed + g.toRed + r.toRed);
                }
                ApplyColorCorrection(correction, width, 3, 4, image.raw.data());
                EXPECT_EQ(image.raw, expected)
                    << width << " matrix " << matrix[0] << " AVX-512 hidden " << hideAvx512;
            }
        });
    }
    FreeProcessingRecord(correction);
}

// The luminance curve sixteen pixels at a time gives each pixel its colour plus the curve's change
// of its luminance, limited to 0 to 255, for every pixel count around the sixteen-pixel steps.
TEST(FastPaths, LuminanceCurveMatchesItsDefinition) {
    platform::RuntimeScope runtime(platform::TimeMode::Virtual);
    auto* tables = AllocateProcessingRecord<LookupTables>();
    ASSERT_NE(tables, nullptr);
    InitLookupTables(tables);
    UCHAR curve[256];
    for (int i = 0; i < 256; ++i) curve[i] = static_cast<UCHAR>(i < 40 ? 255 - i : (i * 7) % 256);
    ASSERT_EQ(SetTable(tables, 0, TONE_MODE_SUPPLIED, 100, 0, 0, curve), 0u);
    ASSERT_TRUE(TakeLuminanceTable(tables));
    // The AVX-512 routine where the processor has AVX-512, then the SSE2 routine.
    ShownAndHidden(PF_AVX512F_INSTRUCTIONS_AVAILABLE, [&](bool hideAvx512) {
        for (ULONG pixels : {1u, 15u, 16u, 17u, 33u, 48u, 64u, 65u, 128u, 643u}) {
            RawImage image(pixels * 3, 1);
            image.FillPseudoRandom(pixels);
            std::vector<UCHAR> expected = image.raw;
            for (size_t i = 0; i < expected.size(); i += 3) {
                const int y = Luminance(expected[i], expected[i + 1], expected[i + 2]);
                for (int c = 0; c < 3; ++c)
                    expected[i + c] =
                        static_cast<UCHAR>(std::clamp(expected[i + c] + curve[y] - y, 0, 255));
            }
            ApplyLuminanceCurve(tables, pixels, 3, image.raw.data());
            EXPECT_EQ(image.raw, expected) << pixels << " AVX-512 hidden " << hideAvx512;
        }
    });
    FreeProcessingRecord(tables);
}

// Sharpening 24-bit frames sixteen pixels at a time changes each pixel as the pixel-at-a-time
// loop of 32-bit frames does, for every threshold and strength and widths around the steps.
TEST(FastPaths, SharpeningMatchesThePixelLoop) {
    platform::RuntimeScope runtime(platform::TimeMode::Virtual);
    auto* filter = AllocateProcessingRecord<SharpnessFilter>();
    ASSERT_NE(filter, nullptr);
    InitSharpnessFilter(filter);
    // The AVX-512 routines where the processor has AVX-512, then the SSE2 routines.
    ShownAndHidden(PF_AVX512F_INSTRUCTIONS_AVAILABLE, [&](bool hideAvx512) {
        for (const auto& [strength, threshold] :
             {std::pair{150, 0}, {600, 10}, {30000, 40}, {0, 3}, {250, 200}}) {
            SetSharpness(filter, 1, static_cast<USHORT>(strength), static_cast<UCHAR>(threshold));
            for (ULONG width : {3u, 17u, 18u, 19u, 33u, 50u, 64u, 65u, 66u, 130u, 642u}) {
                const ULONG height = 5;
                RawImage image(width * 3, height);
                image.FillPseudoRandom(width + strength);
                for (size_t i = 0; i < image.raw.size(); i += 5)
                    image.raw[i] = 128;  // smooth spots
                std::vector<UCHAR> wide(static_cast<size_t>(width) * height * 4, 0x5A);
                for (size_t p = 0; p < static_cast<size_t>(width) * height; ++p)
                    std::copy_n(&image.raw[3 * p], 3, &wide[4 * p]);
                ASSERT_EQ(SharpenFrame(filter, width, height, 4, image.raw.data()), 1u);
                ASSERT_EQ(SharpenFrame(filter, width, height, 8, wide.data()), 1u);
                for (size_t p = 0; p < static_cast<size_t>(width) * height; ++p)
                    ASSERT_TRUE(std::equal(&wide[4 * p], &wide[4 * p + 3], &image.raw[3 * p]))
                        << width << " pixel " << p << " strength " << strength << " AVX-512 hidden "
                        << hideAvx512;
            }
        }
    });
    FreeProcessingRecord(filter);
}

// The raw tone tables 64 samples at a time give each sample of a whole cell its channel's table
// entry and leave a last odd row or column as it is, for widths around the 64-sample steps.
TEST(FastPaths, RawToneTablesMatchTheirDefinition) {
    platform::RuntimeScope runtime(platform::TimeMode::Virtual);
    auto* tables = AllocateProcessingRecord<LookupTables>();
    ASSERT_NE(tables, nullptr);
    InitLookupTables(tables);
    UCHAR entries[TONE_TABLE_COUNT][256];
    for (UCHAR t = 1; t < TONE_TABLE_COUNT; t++) {
        for (int i = 0; i < 256; ++i) entries[t][i] = static_cast<UCHAR>(i * (2 * t + 1) + t * 50);
        ASSERT_EQ(SetTable(tables, t, TONE_MODE_SUPPLIED, 100, 0, 0, entries[t]), 0u);
    }
    // The AVX-512 routine where the processor has AVX-512, then the plain loop.
    ShownAndHidden(PF_AVX512F_INSTRUCTIONS_AVAILABLE, [&](bool hideAvx512) {
        for (ULONG width : {3u, 64u, 65u, 127u, 128u, 130u, 642u}) {
            for (ULONG height : {1u, 2u, 5u}) {
                for (USHORT code = 2; code <= 5; ++code) {
                    RawImage image(width, height);
                    image.FillPseudoRandom(width + height + code);
                    std::vector<UCHAR> expected = image.raw;
                    const UCHAR* channelOf = ChannelOfPosition(code);
                    for (ULONG y = 0; y < (height & ~1u); ++y)
                        for (ULONG x = 0; x < (width & ~1u); ++x) {
                            UCHAR& v = expected[y * width + x];
                            v = entries[1 + channelOf[(x & 1) + 2 * (y & 1)]][v];
                        }
                    ApplyRawTables(tables, width, height, code, image.raw.data());
                    EXPECT_EQ(image.raw, expected) << width << "x" << height << " code " << code
                                                   << " AVX-512 hidden " << hideAvx512;
                }
            }
        }
    });
    FreeProcessingRecord(tables);
}

// White balance computes the gain tables where it can; every gain, including 0, unity and the
// largest, and odd sizes, must give what the tables give.
TEST(FastPaths, WhiteBalanceMatchesItsGainTables) {
    platform::RuntimeScope runtime(platform::TimeMode::Virtual);
    auto* balance = AllocateProcessingRecord<WhiteBalance>();
    ASSERT_NE(balance, nullptr);
    KeInitializeSpinLock(&balance->m_Lock);
    const USHORT gainSets[][4] = {{300, 128, 128, 218},
                                  {0, 1, 2046, 77},
                                  {1023, 129, 127, 128},
                                  {128, 128, 128, 128},
                                  {5000, 128, 300, 9}};
    for (const auto& gains : gainSets) {
        SetGains(balance, gains);
        UCHAR tables[4][256];
        for (int c = 0; c < 4; ++c) BuildGainTable(gains[c], tables[c]);
        for (ULONG width : {7u, 16u, 18u, 33u, 64u, 642u}) {
            for (USHORT code : {1, 2, 3, 4, 5}) {
                RawImage image(width, 5);
                image.FillPseudoRandom(width + code);
                std::vector<UCHAR> expected = image.raw;
                const UCHAR* channelOf = ChannelOfPosition(code);
                const bool unityGreen = gains[1] == 128 && gains[2] == 128;
                for (ULONG y = 0; y + 1 < 5; ++y)
                    for (ULONG x = 0; x + 1 < width - (width & 1) + 1 && x < (width & ~1u); ++x) {
                        const ULONG k = (x & 1) + 2 * (y & 1);
                        const UCHAR channel = channelOf[k];
                        if (unityGreen && (code < 2 || code > 5 || channel == 1 || channel == 2))
                            continue;
                        UCHAR& v = expected[y * width + x];
                        v = tables[channel][v];
                    }
                ApplyWhiteBalance(balance, width, 5, code, image.raw.data());
                EXPECT_EQ(image.raw, expected)
                    << width << " code " << code << " gains " << gains[0] << "," << gains[3];
            }
        }
    }
    FreeProcessingRecord(balance);
}

}  // namespace
}  // namespace halvex::test
