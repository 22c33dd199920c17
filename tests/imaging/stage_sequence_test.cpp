// The stage sequence's decisions at the pipeline's two stage points, on a started device.
#include "imaging/stage_sequence.h"

#include <vector>

#include "camera/auto_exposure.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/white_balance.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class StageSequenceTest : public DeviceTest {
  protected:
    void Start(uint16_t arrangement) {
        sim::CameraConfig config;
        config.arrangement = arrangement;
        Started(config);
    }
    // One pass of the raw stages over an 8 x 8 frame of value v.
    std::vector<UCHAR> Raw(USHORT arrangement, UCHAR v = 100) {
        std::vector<UCHAR> raw(64, v);
        RunRawStages(Device(), 8, 8, arrangement, raw.data());
        return raw;
    }
};

TEST_F(StageSequenceTest, MonochromeCameraSkipsTheColourStages) {
    Start(1);
    WhiteBalance* wb = Device()->m_pWhiteBalance;
    EXPECT_EQ(wb->m_byteBalanceMode, WB_MODE_OFF);
    wb->m_byteBalanceMode = WB_MODE_CONTINUOUS;  // ignored for a monochrome camera
    UCHAR invert[256];
    for (int i = 0; i < 256; ++i) invert[i] = static_cast<UCHAR>(255 - i);
    SetTable(Device()->m_pLookupTables, 1, 1, 100, 0, 0, invert);
    SetTable(Device()->m_pLookupTables, 0, 1, 100, 0, 0, invert);
    EXPECT_THAT(Raw(1), ::testing::Each(100));  // no gains, no raw tables
    EXPECT_EQ(wb->m_byteSamples, 0);            // and no balance sampling
    std::vector<UCHAR> grey(64, 100);
    RunOutputStages(Device(), 8, 8, OUTPUT_FORMAT_GREY, 64, grey.data());
    EXPECT_THAT(grey, ::testing::Each(155));  // the luminance table on the grey bytes
}

TEST_F(StageSequenceTest, WhiteBalanceModesAndCountdowns) {
    Start(2);
    WhiteBalance* wb = Device()->m_pWhiteBalance;
    // Mode 1: gains on every frame, no sampling; a running countdown still moves.
    wb->m_byteBalanceMode = WB_MODE_FIXED;
    wb->m_byteCountdown = 2;
    EXPECT_EQ(Raw(2)[0], 200);  // red x 2
    EXPECT_EQ(wb->m_byteCountdown, 1);
    Raw(2);
    Raw(2);
    EXPECT_EQ(wb->m_byteCountdown, 0);
    EXPECT_EQ(wb->m_byteSamples, 0);
    // Mode 3 with countdown 0: samples every frame until an evaluation, then waits.
    wb->m_byteBalanceMode = WB_MODE_ONE_SHOT;
    for (int i = 0; i < 9; ++i) Raw(2);
    EXPECT_EQ(wb->m_byteSamples, 9);
    Raw(2);
    EXPECT_EQ(wb->m_byteSamples, 0);
    EXPECT_EQ(wb->m_byteCountdown, 10);
}

TEST_F(StageSequenceTest, ExposureSkipCountAndPreprocessingMode) {
    Start(2);
    AutoExposure* ae = Device()->m_pAutoExposure;
    ae->m_byteSkipCount = 2;  // mode 0: the step never runs, the count still falls
    Raw(2);
    EXPECT_EQ(ae->m_byteSkipCount, 1);
    Raw(2);
    EXPECT_EQ(ae->m_byteSkipCount, 0);
    EXPECT_EQ(ae->m_byteSamplingCount, 0);
    Raw(2);
    EXPECT_EQ(ae->m_byteSkipCount, 0);

    Device()->m_pWhiteBalance->m_byteBalanceMode = WB_MODE_OFF;
    SetPreprocessorMode(Device()->m_pRawPreprocessor, 3);  // not a mode: nothing runs
    std::vector<UCHAR> raw(64, 40);
    raw[18] = 255;
    RunRawStages(Device(), 8, 8, 2, raw.data());
    EXPECT_EQ(raw[18], 255);
    SetPreprocessorMode(Device()->m_pRawPreprocessor, PREPROCESS_CLIP_DEFECTS);
    RunRawStages(Device(), 8, 8, 2, raw.data());
    EXPECT_EQ(raw[18], 40);
}

}  // namespace
}  // namespace halvex::test
