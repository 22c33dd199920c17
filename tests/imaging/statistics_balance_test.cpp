// Zone statistics and white balance against worked cases.
#include <vector>

#include "imaging/grid_statistics.h"
#include "imaging/white_balance.h"
#include "tests/imaging/records.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class StatisticsTest : public PlatformTest {
  protected:
    Record<GridStatistics> stats = MakeRecord<GridStatistics>();
    void SetUp() override {
        PlatformTest::SetUp();
        InitGridStatistics(stats.get());
    }
    void ReleaseObjects() override { stats.reset(); }
};

TEST_F(StatisticsTest, QuarterZonesOfAFullFrame) {
    std::vector<UCHAR> raw(1600 * 1200);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<UCHAR>(10 + (i & 1) * 20 + ((i / 1600) & 1) * 100);
    MeasureZones(stats.get(), 1600, 1200, 2, raw.data());
    EXPECT_THAT(stats->m_aulColumnEnd, ::testing::ElementsAre(400, 800, 1200, 1600));
    EXPECT_THAT(stats->m_aulRowEnd, ::testing::ElementsAre(300, 600, 900, 1200));
    for (int z = 0; z < 16; ++z) {
        EXPECT_THAT(stats->m_aulCount[z], ::testing::Each(30000u));
        EXPECT_THAT(stats->m_abyteAverage[z], ::testing::ElementsAre(10, 30, 110, 130));
    }
    UCHAR out[4] = {};
    UCHAR weights[16];
    std::fill(std::begin(weights), std::end(weights), 1);
    GetBrightnessAverage(stats.get(), weights, out);
    EXPECT_THAT(out, ::testing::ElementsAre(10, 30, 110, 130));
    MeasureZones(stats.get(), 1600, 1200, 5, raw.data());  // the channels come the other way
    GetBrightnessAverage(stats.get(), weights, out);
    EXPECT_THAT(out, ::testing::ElementsAre(130, 110, 30, 10));
    std::fill(std::begin(weights), std::end(weights), 0);
    GetBrightnessAverage(stats.get(), weights, out);
    EXPECT_THAT(out, ::testing::ElementsAre(0, 0, 0, 0));
}

TEST_F(StatisticsTest, BandsThatStartOnAnOddColumn) {
    std::vector<UCHAR> raw(642 * 8, 1);
    MeasureZones(stats.get(), 642, 8, 2, raw.data());
    EXPECT_THAT(stats->m_aulColumnEnd, ::testing::ElementsAre(160, 321, 481, 642));
    // Rows 0 to 1 form the first row band (8 rows: ends 2, 4, 6, 8).
    EXPECT_EQ(stats->m_aulCount[1][0], 81u);  // columns 160 to 320: even columns 81
    EXPECT_EQ(stats->m_aulCount[1][1], 80u);
    EXPECT_EQ(stats->m_aulCount[2][0], 80u);  // columns 321 to 480 start odd: 80 and 80
    EXPECT_EQ(stats->m_aulCount[2][1], 80u);
    EXPECT_EQ(stats->m_aulCount[3][0], 80u);  // columns 481 to 641 start odd: 81 odd, 80 even
    EXPECT_EQ(stats->m_aulCount[3][1], 81u);
}

TEST_F(StatisticsTest, MonochromeAndCodesWithoutChannels) {
    std::vector<UCHAR> raw(64 * 48, 77);
    MeasureZones(stats.get(), 64, 48, 1, raw.data());
    UCHAR weights[16];
    std::fill(std::begin(weights), std::end(weights), 2);
    UCHAR out[4] = {9, 9, 9, 9};
    GetBrightnessAverage(stats.get(), weights, out);
    EXPECT_THAT(out, ::testing::ElementsAre(77, 9, 9, 9));
    for (int z = 0; z < 16; ++z)
        EXPECT_THAT(stats->m_abyteAverage[z], ::testing::ElementsAre(77, 0, 0, 0));
    MeasureZones(stats.get(), 64, 48, 10, raw.data());
    UCHAR untouched[4] = {9, 9, 9, 9};
    GetBrightnessAverage(stats.get(), weights, untouched);
    EXPECT_THAT(untouched, ::testing::ElementsAre(9, 9, 9, 9));
    EXPECT_EQ(stats->m_abyteAverage[0][3], 77);  // still measured per position
}

class WhiteBalanceTest : public PlatformTest {
  protected:
    Record<WhiteBalance> wb = MakeRecord<WhiteBalance>();
    void SetUp() override {
        PlatformTest::SetUp();
        wb->m_wArrangement = 2;
        const USHORT start[4] = {256, 128, 128, 218};
        std::copy(start, start + 4, wb->m_awStartGain);
        InitWhiteBalance(wb.get());
    }
    void ReleaseObjects() override { wb.reset(); }
    // Feeds the same averages until an evaluation runs.
    void Evaluate(UCHAR r, UCHAR g, UCHAR b) {
        const UCHAR averages[4] = {r, g, g, b};
        for (int i = 0; i < wb->m_byteSampleCount; ++i) UpdateWhiteBalance(wb.get(), averages);
    }
};

TEST_F(WhiteBalanceTest, GainTables) {
    UCHAR table[256];
    BuildGainTable(128, table);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(table[i], i);
    BuildGainTable(0, table);
    EXPECT_THAT(table, ::testing::Each(0));
    BuildGainTable(1023, table);
    EXPECT_EQ(table[30], 239);
    EXPECT_EQ(table[29], (29 * 1023) >> 7);
    for (int i = 31; i < 256; ++i) EXPECT_EQ(table[i], 255);
    BuildGainTable(256, table);
    EXPECT_EQ(table[126], 252);
    EXPECT_EQ(table[127], 255);
}

TEST_F(WhiteBalanceTest, AutomaticBalanceSteps) {
    EXPECT_EQ(wb->m_byteBalanceMode, WB_MODE_CONTINUOUS);
    Evaluate(100, 120, 150);  // distance 360
    EXPECT_EQ(wb->m_awGain[0], 307);
    EXPECT_EQ(wb->m_awGain[3], 174);
    EXPECT_EQ(wb->m_bChanged, 1);
    EXPECT_EQ(wb->m_byteCountdown, 10);
    UCHAR table[256];
    BuildGainTable(307, table);
    EXPECT_EQ(0, memcmp(table, wb->m_abyteGainTable[0], 256));

    wb->m_bChanged = 0;
    Evaluate(119, 120, 120);  // distance 10, not below 2 x 5
    EXPECT_EQ(wb->m_awGain[0], 309);
    EXPECT_EQ(wb->m_awGain[3], 174);
    Evaluate(120, 120, 120);  // distance 0: nothing moves
    EXPECT_EQ(wb->m_awGain[0], 309);
    EXPECT_EQ(wb->m_bChanged, 0);

    wb->m_byteBalanceMode = WB_MODE_ONE_SHOT;
    Evaluate(120, 120, 120);
    EXPECT_EQ(wb->m_byteBalanceMode, WB_MODE_FIXED);
}

TEST_F(WhiteBalanceTest, AppliesTablesToRedAndBlueAndLeavesOddEdges) {
    std::vector<UCHAR> raw(5 * 3, 100);  // R G / G B, odd width and height
    ApplyWhiteBalance(wb.get(), 5, 3, 2, raw.data());
    EXPECT_EQ(raw[0], 200);      // red doubled
    EXPECT_EQ(raw[1], 100);      // green untouched
    EXPECT_EQ(raw[5 + 1], 170);  // blue x 218/128
    EXPECT_EQ(raw[4], 100);      // the odd last column
    EXPECT_EQ(raw[10], 100);     // the odd last row
    const USHORT gains[4] = {128, 256, 64, 128};
    SetGains(wb.get(), gains);
    std::vector<UCHAR> again(4 * 2, 100);
    ApplyWhiteBalance(wb.get(), 4, 2, 2, again.data());
    EXPECT_THAT(again, ::testing::ElementsAre(100, 200, 100, 200, 50, 100, 50, 100));
}

}  // namespace
}  // namespace halvex::test
