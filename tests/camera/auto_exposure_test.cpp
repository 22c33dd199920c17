// Automatic gain and shutter: the controls' arithmetic, the step's decisions and log lines, and
// the exposure block hooks.
#include "camera/auto_exposure.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "camera/command_protocol.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::DebugLog;

class AutoExposureTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();
        ae = Device()->m_pAutoExposure;
        ASSERT_NE(ae, nullptr);
    }
    // The time base the controls read from the settings shadow.
    void TimeBase(USHORT lines, USHORT clocks) {
        WriteLe16(&Device()->m_CameraSettings[CAMERA_SETTINGS_LINES_PER_FRAME], lines);
        WriteLe16(&Device()->m_CameraSettings[CAMERA_SETTINGS_CLOCKS_PER_LINE], clocks);
    }
    // Runs the step on `frames` frames of a monochrome measurement of `brightness`.
    void Step(UCHAR brightness, int frames) {
        GridStatistics* stats = Device()->m_pGridStatistics;
        stats->m_wLayoutArrangement = 1;
        for (auto& zone : stats->m_abyteAverage) zone[0] = brightness;
        for (int i = 0; i < frames; ++i) UpdateGainShutter(ae, stats);
    }
    static bool Logged(const std::string& line) {
        const auto lines = DebugLog::Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    AutoExposure* ae = nullptr;
};

TEST_F(AutoExposureTest, GainControl) {
    ae->m_wGainMin = 0;
    ae->m_wGain = 100;
    EXPECT_TRUE(mbGainCtrl(ae, 64, 128, TRUE));
    EXPECT_EQ(ae->m_wGain, 145);
    ae->m_wGain = 200;
    EXPECT_TRUE(mbGainCtrl(ae, 200, 128, FALSE));
    EXPECT_EQ(ae->m_wGain, 170);
    EXPECT_EQ(GainCode(0.0), 0);
    EXPECT_EQ(GainCode(HUGE_VAL), 65535);  // an average of 0
}

TEST_F(AutoExposureTest, ShutterControlAndLimits) {
    TimeBase(500, 1000);  // F = 500000
    ae->m_wShutterLines = 100;
    ae->m_wShutterClocks = 0;
    EXPECT_TRUE(mbShutterCtrl(ae, 64, 128, TRUE));
    EXPECT_EQ(ae->m_wShutterLines, 200);
    EXPECT_EQ(ae->m_wShutterClocks, 0);
    ae->m_wShutterLines = 400;
    ae->m_byteShutterStep = 0;
    EXPECT_TRUE(mbShutterCtrl(ae, 10, 128, TRUE));  // reaches F: a full frame
    EXPECT_EQ(ae->m_wShutterLines, 0);
    EXPECT_EQ(ae->m_wShutterClocks, 0);

    // Mode 4 with the shutter below its maximum: the gain goes to its minimum.
    ae->m_byteMode = 4;
    ae->m_wShutterLines = 100;
    ae->m_wGain = ae->m_wGainMin + 10;
    EXPECT_TRUE(EnforceLimits(ae));
    EXPECT_EQ(ae->m_wGain, ae->m_wGainMin);
    EXPECT_FALSE(EnforceLimits(ae));

    // A camera without a time base: the shutter is left alone, nothing divides by zero.
    TimeBase(0, 0);
    EXPECT_FALSE(mbShutterCtrl(ae, 10, 128, TRUE));
    EXPECT_EQ(ae->m_wShutterLines, 100);
}

TEST_F(AutoExposureTest, TheDeadBandDependsOnWhetherTheControlRuns) {
    ae->m_byteMode = 1;
    Step(120, 4);  // distance 8 within 5 + 5
    EXPECT_TRUE(
        Logged("UpdateGainShutter: IncGain, iAverageBrightnessLevel=120, m_byteTarget=128, "
               "byteDistance=8\n"));
    EXPECT_TRUE(Logged("UpdateGainShutter: m_bAutoRunning OFF\n"));
    EXPECT_EQ(ae->m_byteMode, 1);
    EXPECT_EQ(ae->m_byteSkipCount, 3);

    DebugLog::Clear();
    ae->m_byteSkipCount = 0;
    ae->m_bAutoRunning = 1;
    Camera().ClearLog();
    Step(120, 4);  // distance 8 beyond 5
    EXPECT_TRUE(Logged("UpdateGainShutter: Processing.\n"));
    EXPECT_TRUE(Logged("UpdateGainShutter: Call mbSetShutterAndCDSGainToCamera!!\n"));
    EXPECT_FALSE(Camera().Log().empty());  // the exposure block went to the camera
    EXPECT_EQ(ae->m_bAutoRunning, 1);
}

TEST_F(AutoExposureTest, OneShotModesEndOnceSettled) {
    ae->m_byteMode = 5;
    Step(128, 4);
    EXPECT_TRUE(Logged("UpdateGainShutter: m_bAutoRunning OFF\n"));
    EXPECT_EQ(ae->m_byteMode, 0);
    DebugLog::Clear();
    UpdateGainShutter(ae, Device()->m_pGridStatistics);
    EXPECT_TRUE(Logged("UpdateGainShutter: AGC OFF...exit.\n"));
}

TEST_F(AutoExposureTest, ExposureBlockCarriesTheLiveRecord) {
    ae->m_wGain = 0x55;
    ae->m_byteTarget = 99;
    UCHAR block[CAMERA_BLOCK_SIZE] = {};
    ASSERT_EQ(ReadExposureBlock(Device(), block), STATUS_SUCCESS);
    EXPECT_EQ(ReadLe16(&block[6]), 0x55);
    EXPECT_EQ(block[9], 99);
    EXPECT_NE(ReadLe16(&Device()->m_ExposureBlock[6]), 0x55);  // the shadow keeps the camera's

    block[8] = 3;   // mode
    block[9] = 77;  // target
    Camera().FailRequestCode(0x21, true);
    EXPECT_FALSE(NT_SUCCESS(WriteExposureBlock(Device(), block)));
    Camera().FailRequestCode(0x21, false);
    EXPECT_EQ(ae->m_byteMode, 3);
    EXPECT_EQ(ae->m_byteTarget, 77);
}

}  // namespace
}  // namespace halvex::test
