// The automatic controls and the pre-processing in closed loop with the simulated camera, in
// virtual time: one delivered frame per 100 ms tick. Each test reports how many frames it took.
#include <cmath>
#include <cstdio>
#include <vector>

#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "imaging/grid_statistics.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/white_balance.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Runtime;
constexpr LONGLONG kTick = 1000000;

class ClosedLoopTest : public DeviceTest {
  protected:
    void Open(const sim::SensorEffects& effects = {}) {
        Started();
        Camera().SetSensorEffects(effects);
        ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
        ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (Session().StreamOpen()) {
            EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
        }
        DeviceTest::TearDown();
    }
    // Delivers one frame; false when none arrived.
    bool Frame() {
        auto read = Session().QueueRead(640 * 480 * 3);
        Runtime::Advance(kTick);
        return read->Done() && read->Header().DataUsed != 0;
    }
    // Brightness as the automatic exposure measures it, from the last frame's statistics.
    ULONG Brightness() {
        UCHAR averages[4] = {};
        GetBrightnessAverage(Device()->m_pGridStatistics,
                             Device()->m_pAutoExposure->m_abyteZoneWeight, averages);
        return static_cast<ULONG>(0.5866 * ((averages[1] + averages[2]) >> 1) +
                                  0.2989 * averages[0] + 0.1145 * averages[3]);
    }
    // Writes the exposure block the way the vendor property does: shutter lines and mode.
    void SetExposure(USHORT lines, UCHAR mode) {
        UCHAR block[CAMERA_BLOCK_SIZE] = {};
        ASSERT_EQ(ReadExposureBlock(Device(), block), STATUS_SUCCESS);
        WriteLe16(&block[2], lines);
        WriteLe16(&block[4], 0);
        block[8] = mode;
        ASSERT_EQ(WriteExposureBlock(Device(), block), STATUS_SUCCESS);
    }
    static void Report(const char* what, int frames) {
        std::printf("[ frames   ] %s: %d frames\n", what, frames);
    }
};

TEST_F(ClosedLoopTest, ContinuousExposureReachesTheTargetFromADarkStartAndHolds) {
    Open();
    // A dark start: an eighth of the exposure the chart is rendered at (a full frame).
    const USHORT lines = static_cast<USHORT>(ReadLe16(&Device()->m_CameraSettings[26]) / 8);
    SetExposure(lines, 1);
    ASSERT_TRUE(Frame());
    EXPECT_LT(Brightness(), 40u);
    int settled = -1;
    for (int frame = 1; frame <= 120 && settled < 0; ++frame) {
        ASSERT_TRUE(Frame());
        if (std::abs(static_cast<int>(Brightness()) - 128) <= 10)
            settled = frame;
    }
    ASSERT_GT(settled, 0) << "brightness " << Brightness();
    Report("continuous exposure settled", settled);
    // Held: no further write to the camera, the brightness stays within the band.
    const auto exposure = Camera().ExposureBlock();
    for (int frame = 0; frame < 40; ++frame) {
        ASSERT_TRUE(Frame());
        EXPECT_LE(std::abs(static_cast<int>(Brightness()) - 128), 10) << frame;
    }
    EXPECT_EQ(Camera().ExposureBlock(), exposure);
    EXPECT_EQ(Device()->m_pAutoExposure->m_byteMode, 1);
}

TEST_F(ClosedLoopTest, OneShotExposureReturnsToOffOnceSettled) {
    Open();
    SetExposure(static_cast<USHORT>(ReadLe16(&Device()->m_CameraSettings[26]) / 8), 4);
    int frames = 0;
    while (Device()->m_pAutoExposure->m_byteMode != 0 && frames < 150) {
        ASSERT_TRUE(Frame());
        ++frames;
    }
    EXPECT_EQ(Device()->m_pAutoExposure->m_byteMode, 0);
    EXPECT_LE(std::abs(static_cast<int>(Brightness()) - 128), 10);
    Report("one-shot exposure", frames);
}

TEST_F(ClosedLoopTest, ContinuousWhiteBalanceRemovesAColourCast) {
    sim::SensorEffects cast;
    cast.redCast = 1.3;
    cast.blueCast = 0.75;
    Open(cast);
    WhiteBalance* wb = Device()->m_pWhiteBalance;
    int frames = 0;
    UCHAR averages[4] = {};
    for (; frames < 200; ++frames) {
        ASSERT_TRUE(Frame());
        GetBrightnessAverage(Device()->m_pGridStatistics, wb->m_abyteZoneWeight, averages);
        const int green = (averages[1] + averages[2]) / 2;
        if (frames > 20 && std::abs(averages[0] - green) <= 1 && std::abs(averages[3] - green) <= 1)
            break;
    }
    EXPECT_LT(frames, 200) << int(averages[0]) << " " << int(averages[1]) << " "
                           << int(averages[3]);
    EXPECT_LT(wb->m_awGain[0], 256);  // red pulled down from its start gain
    EXPECT_GT(wb->m_awGain[3], 218);  // blue lifted
    Report("continuous white balance", frames);

    // One shot: balances once more and falls back to fixed gains.
    wb->m_byteBalanceMode = WB_MODE_ONE_SHOT;
    int oneShot = 0;
    while (wb->m_byteBalanceMode == WB_MODE_ONE_SHOT && oneShot < 100) {
        ASSERT_TRUE(Frame());
        ++oneShot;
    }
    EXPECT_EQ(wb->m_byteBalanceMode, WB_MODE_FIXED);
    Report("one-shot white balance", oneShot);
}

// Samples of the processed raw frame (as the pipeline left it in the frame buffer) at 255.
int Saturated(DeviceContext* device) {
    int count = 0;
    const UCHAR* raw = device->m_pFrameBuffer + 64;
    for (int i = 0; i < 640 * 480; ++i) count += raw[i] == 255;
    return count;
}

TEST_F(ClosedLoopTest, DefectClippingRemovesHotPixels) {
    sim::SensorEffects hot;
    hot.hotPixels = 300;
    Open(hot);
    Device()->m_pWhiteBalance->m_byteBalanceMode = WB_MODE_OFF;
    ASSERT_TRUE(Frame());
    const int before = Saturated(Device());
    EXPECT_GE(before, 250);
    SetPreprocessorMode(Device()->m_pRawPreprocessor, PREPROCESS_CLIP_DEFECTS);
    ASSERT_TRUE(Frame());
    EXPECT_LE(Saturated(Device()), 5) << "of " << before;
    Report("defect clipping", 1);
}

TEST_F(ClosedLoopTest, ReferenceSubtractionRemovesTheDarkPattern) {
    sim::SensorEffects pattern;
    pattern.darkPattern = 24;
    pattern.capped = true;  // the reference is taken with the lens covered
    Open(pattern);
    Device()->m_pWhiteBalance->m_byteBalanceMode = WB_MODE_OFF;
    Device()->m_wRotationMode = 2;  // compare rows as the camera sends them
    SetPreprocessorMode(Device()->m_pRawPreprocessor, PREPROCESS_CAPTURE_REFERENCE);
    ASSERT_TRUE(Frame());
    pattern.capped = false;
    Camera().SetSensorEffects(pattern);
    SetPreprocessorMode(Device()->m_pRawPreprocessor, PREPROCESS_SUBTRACT_REFERENCE);
    ASSERT_TRUE(Frame());
    // What remains is the chart through the sensor, less the pattern's per-position minimum.
    sim::SensorEffects clean;
    Camera().SetSensorEffects(clean);
    const std::vector<uint8_t> chart = Camera().SensorImage();
    const UCHAR* raw = Device()->m_pFrameBuffer + 64;
    int off = 0;
    for (int i = 0; i < 640 * 480; ++i) off += std::abs(raw[i] - chart[i]) > 1;
    EXPECT_LT(off, 640 * 480 / 100) << "samples differing from the clean chart";
    Report("reference capture and subtraction", 2);
}

}  // namespace
}  // namespace halvex::test
