// Tone tables, sharpening and colour correction against worked cases.
#include <vector>

#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/sharpness_filter.h"
#include "tests/imaging/records.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using ::testing::ElementsAre;

std::vector<int> Curve(USHORT gamma, SHORT brightness, UCHAR contrast, std::vector<int> at) {
    UCHAR table[256];
    BuildToneCurve(gamma, brightness, contrast, table);
    std::vector<int> out;
    for (int i : at) out.push_back(table[i]);
    return out;
}

TEST(ToneCurve, GammaBrightnessAndContrast) {
    EXPECT_THAT(Curve(100, 0, 0, {0, 1, 77, 254, 255}), ElementsAre(0, 1, 77, 254, 255));
    EXPECT_THAT(Curve(200, 0, 0, {0, 1, 16, 64, 128, 192, 255}),
                ElementsAre(0, 16, 64, 128, 181, 221, 255));
    EXPECT_THAT(Curve(50, 0, 0, {64, 128}), ElementsAre(16, 64));
    EXPECT_THAT(Curve(100, 40, 0, {0, 214, 215, 255}), ElementsAre(40, 254, 255, 255));
    EXPECT_THAT(Curve(100, -40, 0, {0, 40, 41, 255}), ElementsAre(0, 0, 1, 215));
    EXPECT_THAT(Curve(100, 0, 50, {0, 50, 51, 100, 204, 205, 255}),
                ElementsAre(0, 0, 2, 82, 253, 255, 255));
    EXPECT_THAT(Curve(100, 0, 200, {0, 127, 128, 255}), ElementsAre(0, 0, 255, 255));
}

class ToneTablesTest : public PlatformTest {
  protected:
    Record<LookupTables> tables = MakeRecord<LookupTables>();
    void SetUp() override {
        PlatformTest::SetUp();
        InitLookupTables(tables.get());
    }
    void ReleaseObjects() override { tables.reset(); }
};

TEST_F(ToneTablesTest, SetTableModesAndTheLuminanceCurve) {
    UCHAR entries[256];
    BuildToneCurve(200, 0, 0, entries);
    EXPECT_EQ(SetTable(tables.get(), 0, 7, 200, 0, 0, entries), 6u);
    EXPECT_EQ(tables->m_abyteMode[0], 0);
    EXPECT_FALSE(TakeLuminanceTable(tables.get()));
    EXPECT_EQ(SetTable(tables.get(), 0, 1, 200, 0, 0, entries), 0u);
    UCHAR mode = 0;
    USHORT gamma = 0;
    GetTable(tables.get(), 0, &mode, &gamma, nullptr, nullptr, nullptr);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(gamma, 200);
    ASSERT_TRUE(TakeLuminanceTable(tables.get()));
    UCHAR pixel[3] = {0, 0, 255};  // pure red: Y 76 -> 139
    ApplyLuminanceCurve(tables.get(), 1, 3, pixel);
    EXPECT_THAT(pixel, ElementsAre(63, 63, 255));
    EXPECT_EQ(SetTable(tables.get(), 0, 255, 300, 5, 5, entries), 0u);
    GetTable(tables.get(), 0, &mode, &gamma, nullptr, nullptr, nullptr);
    EXPECT_EQ(mode, 255);
    EXPECT_EQ(gamma, 100);
}

TEST_F(ToneTablesTest, RawTablesFollowTheMosaicChannels) {
    UCHAR entries[256];
    for (int i = 0; i < 256; ++i) entries[i] = static_cast<UCHAR>(255 - i);
    std::vector<UCHAR> raw = {10, 20, 30, 40};  // code 3: G R / B G
    ApplyRawTables(tables.get(), 2, 2, 3, raw.data());
    EXPECT_THAT(raw, ElementsAre(10, 20, 30, 40));     // all in mode 0: nothing done
    SetTable(tables.get(), 3, 1, 100, 0, 0, entries);  // green in blue rows
    ApplyRawTables(tables.get(), 2, 2, 3, raw.data());
    EXPECT_THAT(raw, ElementsAre(10, 20, 30, 255 - 40));
    ApplyRawTables(tables.get(), 2, 2, 1, raw.data());  // monochrome: never
    EXPECT_THAT(raw, ElementsAre(10, 20, 30, 255 - 40));
}

class SharpnessTest : public PlatformTest {
  protected:
    Record<SharpnessFilter> filter = MakeRecord<SharpnessFilter>();
    void SetUp() override {
        PlatformTest::SetUp();
        InitSharpnessFilter(filter.get());
    }
    void ReleaseObjects() override { filter.reset(); }
};

TEST_F(SharpnessTest, CorrectionTable) {
    SetSharpness(filter.get(), 1, 200, 0);
    EXPECT_EQ(filter->m_abyteCorrection[0], 0);
    EXPECT_EQ(filter->m_abyteCorrection[1], 2);
    EXPECT_EQ(filter->m_abyteCorrection[126], 252);
    EXPECT_EQ(filter->m_abyteCorrection[127], 255);
    EXPECT_EQ(filter->m_abyteCorrection[255], 255);
    SetSharpness(filter.get(), 1, 99, 0);
    EXPECT_THAT(filter->m_abyteCorrection, ::testing::Each(0));
}

TEST_F(SharpnessTest, APixelThatStandsOutIsPushedFurther) {
    std::vector<UCHAR> grey(5 * 5, 100);
    grey[2 * 5 + 2] = 110;
    std::vector<UCHAR> image = grey;
    SetSharpness(filter.get(), 1, 200, 0);
    ASSERT_EQ(SharpenFrame(filter.get(), 5, 5, 1, image.data()), 1u);
    EXPECT_EQ(image[2 * 5 + 2], 130);
    EXPECT_EQ(image[1 * 5 + 1], 98);
    EXPECT_EQ(image[3 * 5 + 3], 98);
    EXPECT_EQ(image[0], 100);  // the border never changes

    image = grey;
    SetSharpness(filter.get(), 1, 200, 10);
    SharpenFrame(filter.get(), 5, 5, 1, image.data());
    EXPECT_EQ(image, grey);
    SetSharpness(filter.get(), 2, 200, 0);  // enable other than 1: off
    SharpenFrame(filter.get(), 5, 5, 1, image.data());
    EXPECT_EQ(image, grey);

    // 24-bit: a bright pixel saturates at 255 in all three bytes.
    std::vector<UCHAR> colour(3 * 3 * 3, 0);
    for (int i = 0; i < 3; ++i) colour[3 * 4 + i] = 250;
    SetSharpness(filter.get(), 1, 1000, 0);
    SharpenFrame(filter.get(), 3, 3, 4, colour.data());
    EXPECT_THAT(std::vector<UCHAR>(colour.begin() + 12, colour.begin() + 15),
                ElementsAre(255, 255, 255));
}

class ColorTest : public PlatformTest {
  protected:
    Record<ColorCorrection> cc = MakeRecord<ColorCorrection>();
    void SetUp() override {
        PlatformTest::SetUp();
        InitColorCorrection(cc.get());
    }
    void ReleaseObjects() override { cc.reset(); }
    std::vector<int> Apply(std::vector<UCHAR> bgr) {
        ApplyColorCorrection(cc.get(), 1, 1, 4, bgr.data());
        return {bgr[0], bgr[1], bgr[2]};
    }
    static constexpr SHORT kIdentity[12] = {100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 100, 0};
};

TEST_F(ColorTest, MatrixAndOffsets) {
    EXPECT_THAT(Apply({10, 20, 30}), ElementsAre(10, 20, 30));  // off
    EXPECT_EQ(SetColorMatrix(cc.get(), 1, kIdentity), 0u);
    ASSERT_EQ(SetColorMatrix(cc.get(), 0xFF, kIdentity), 1u);
    EXPECT_THAT(Apply({0, 0, 0}), ElementsAre(1, 1, 1));  // entry v holds v + 1
    EXPECT_THAT(Apply({255, 255, 255}), ElementsAre(255, 255, 255));
    SHORT offsets[12] = {100, 0, 0, 1000, 0, 100, 0, 0, 0, 0, 100, -550};
    ASSERT_EQ(SetColorMatrix(cc.get(), 0xFF, offsets), 1u);
    EXPECT_THAT(Apply({0, 0, 0}), ElementsAre(0, 1, 11));
    EXPECT_THAT(Apply({100, 100, 100}), ElementsAre(96, 101, 111));
}

TEST_F(ColorTest, HueAndSaturation) {
    ASSERT_EQ(SetHueSaturation(cc.get(), 1, 0, 0), 1u);
    EXPECT_THAT(Apply({0, 0, 255}), ElementsAre(76, 76, 76));
    EXPECT_THAT(Apply({0, 255, 0}), ElementsAre(150, 150, 150));
    EXPECT_THAT(Apply({255, 0, 0}), ElementsAre(29, 29, 29));
    EXPECT_THAT(Apply({100, 100, 100}), ElementsAre(100, 100, 100));
    EXPECT_THAT(Apply({255, 255, 255}), ElementsAre(255, 255, 255));
    ASSERT_EQ(SetHueSaturation(cc.get(), 1, 1800, 100), 1u);
    EXPECT_THAT(Apply({0, 0, 255}), ElementsAre(154, 153, 0));
    ASSERT_EQ(SetHueSaturation(cc.get(), 1, 900, 100), 1u);
    EXPECT_THAT(Apply({0, 0, 255}), ElementsAre(255, 2, 154));
    EXPECT_EQ(SetHueSaturation(cc.get(), 2, 0, 0), 0u);
    EXPECT_EQ(cc->m_wHue, 900);
}

}  // namespace
}  // namespace halvex::test
