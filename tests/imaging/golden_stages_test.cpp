// Golden checksums of every processing stage on its own and of the whole pipeline (start-up
// settings, and every stage switched on over a run of frames, so that the automatic controls
// move), on fixed frames at two sensor sizes. Any change to an output, for example by an
// optimisation, shows here. HALVEX_PRINT_GOLDEN=1 prints the table as the code now computes it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/convert_raw_frame.h"
#include "convert/rotate_raw_frame.h"
#include "imaging/color_correction.h"
#include "imaging/frame_pipeline.h"
#include "imaging/grid_statistics.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/stage_sequence.h"
#include "imaging/white_balance.h"
#include "sim/scene.h"
#include "tests/support/fixtures.h"
#include "tools/settings.h"

namespace halvex::test {
namespace {

struct Golden {
    const char* name;
    uint64_t checksum;
};

const Golden kGolden[] = {
#include "tests/imaging/golden_stages.inc"
};

uint64_t Checksum(const UCHAR* bytes, size_t n, uint64_t hash = 1469598103934665603ull) {
    for (size_t i = 0; i < n; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}
uint64_t Checksum(const std::vector<UCHAR>& bytes) {
    return Checksum(bytes.data(), bytes.size());
}

// The chart as the sensor sees it, with noise, hot and dark samples from a fixed sequence, so
// that every branch of the stages is taken.
std::vector<UCHAR> Frame(ULONG width, ULONG height, USHORT arrangement, uint32_t seed) {
    std::vector<UCHAR> raw = sim::RenderRaw(width, height, arrangement);
    uint32_t state = seed;
    for (UCHAR& v : raw) {
        state = state * 1664525u + 1013904223u;
        const int noise = static_cast<int>(state >> 29) - 4;
        const uint32_t pick = state >> 16 & 0x3FF;
        v = pick == 0 ? 255 : pick == 1 ? 0 : static_cast<UCHAR>(std::clamp(v + noise, 0, 255));
    }
    return raw;
}

class GoldenStagesTest : public DeviceTest {
  protected:
    void Apply(const std::vector<std::string>& settings) {
        for (const std::string& text : settings) {
            tools::NamedSetting setting;
            std::string error;
            ASSERT_TRUE(tools::ParseSetting(text, &setting, &error)) << error;
            ASSERT_TRUE(tools::ApplySetting(Session(), setting, &error)) << error;
        }
    }
    void Check(const std::string& name, uint64_t got) {
        if (std::getenv("HALVEX_PRINT_GOLDEN") != nullptr) {
            printf("    {\"%s\", 0x%016llxull},\n", name.c_str(),
                   static_cast<unsigned long long>(got));
            return;
        }
        for (const Golden& g : kGolden) {
            if (name == g.name) {
                EXPECT_EQ(got, g.checksum) << name;
                return;
            }
        }
        ADD_FAILURE() << "no golden checksum for " << name;
    }
};

const std::vector<std::string> kEveryStage = {
    "preprocessing=clip", "exposure-mode=1", "gamma=150",  "brightness=20",
    "contrast=120",       "sharpness=60",    "hue=1000",   "saturation=150",
    "whitebalance=auto",  "method=3",        "rotation=0",
};

TEST_F(GoldenStagesTest, EachStageOnItsOwn) {
    Started();
    Apply(kEveryStage);
    DeviceContext* device = Device();
    UCHAR invert[256];
    for (int i = 0; i < 256; ++i) invert[i] = static_cast<UCHAR>(255 - i / 2);
    SetTable(device->m_pLookupTables, 2, TONE_MODE_SUPPLIED, 100, 0, 0, invert);
    const USHORT gains[4] = {300, 256, 240, 420};
    SetGains(device->m_pWhiteBalance, gains);
    for (const auto& [width, height] : {std::pair<ULONG, ULONG>{640, 480}, {1600, 1200}}) {
        const std::string size = "/" + std::to_string(width) + "x" + std::to_string(height);
        for (USHORT code : {1, 2, 5}) {
            const std::string at = size + "/code" + std::to_string(code);
            const std::vector<UCHAR> frame = Frame(width, height, code, width + code);
            auto raw = frame;
            CorrectDefects(device->m_pRawPreprocessor, width, height, code, raw.data());
            Check("clip-defects" + at, Checksum(raw));
            raw = Frame(width, height, code, 7);
            CaptureReference(device->m_pRawPreprocessor, width, height, code, raw.data());
            raw = frame;
            SubtractReference(device->m_pRawPreprocessor, width, height, code, raw.data());
            Check("subtract-reference" + at, Checksum(raw));
            raw = frame;
            ApplyWhiteBalance(device->m_pWhiteBalance, width, height, code, raw.data());
            Check("white-balance" + at, Checksum(raw));
            MeasureZones(device->m_pGridStatistics, width, height, code, frame.data());
            Check("statistics" + at, Checksum(&device->m_pGridStatistics->m_abyteAverage[0][0],
                                              sizeof device->m_pGridStatistics->m_abyteAverage));
            raw = frame;
            ApplyRawTables(device->m_pLookupTables, width, height, code, raw.data());
            Check("raw-tables" + at, Checksum(raw));
            for (UCHAR op = ROTATE_MIRROR; op <= ROTATE_TRANSPOSE; ++op) {
                raw = frame;
                ULONG w = width, h = height;
                USHORT a = code;
                RotateRawFrame(op, &w, &h, &a, raw.data());
                Check("rotate" + std::to_string(op) + at, Checksum(raw) + a);
            }
        }
        // The output stages on a converted frame, and on grey bytes.
        const std::vector<UCHAR> frame = Frame(width, height, 2, width);
        std::vector<UCHAR> rgb(frame.size() * 3);
        ULONG status = 0;
        ConvertRawFrame(&status, width, height, frame.data(), rgb.data(), 3, 2);
        auto image = rgb;
        ASSERT_TRUE(TakeLuminanceTable(device->m_pLookupTables));
        ApplyLuminanceCurve(device->m_pLookupTables, width * height, 3, image.data());
        Check("luminance-curve" + size, Checksum(image));
        for (ULONG format : {ULONG{OUTPUT_FORMAT_RGB24}, ULONG{OUTPUT_FORMAT_GREY}}) {
            image = format == OUTPUT_FORMAT_GREY ? frame : rgb;
            SharpenFrame(device->m_pSharpnessFilter, width, height, format, image.data());
            Check("sharpen" + std::to_string(format) + size, Checksum(image));
        }
        std::vector<UCHAR> rgb32(frame.size() * 4);
        for (size_t i = 0; i < frame.size(); ++i)
            for (int c = 0; c < 4; ++c) rgb32[4 * i + c] = c < 3 ? rgb[3 * i + c] : 0x80;
        SharpenFrame(device->m_pSharpnessFilter, width, height, 8, rgb32.data());
        Check("sharpen8" + size, Checksum(rgb32));
        image = rgb;
        ApplyColorCorrection(device->m_pColorCorrection, width, height, OUTPUT_FORMAT_RGB24,
                             image.data());
        Check("color-correction" + size, Checksum(image));
    }
}

// The whole pipeline over eight frames: the start-up settings, then every stage.
TEST_F(GoldenStagesTest, WholePipeline) {
    for (bool everyStage : {false, true}) {
        for (USHORT code : {1, 2, 4}) {
            sim::CameraConfig config;
            config.modelCode = 0x1506;  // 1600 x 1200
            config.arrangement = code;
            Started(config);
            if (everyStage)
                Apply(kEveryStage);
            const ULONG width = 1600, height = 1200;
            std::vector<UCHAR> image(static_cast<size_t>(width) * height * 3);
            uint64_t hash = 1469598103934665603ull;
            for (uint32_t n = 0; n < 8; ++n) {
                std::vector<UCHAR> raw = Frame(width, height, code, n);
                ProcessRawImage(Device(), width, height, raw.data(), image.data());
                hash = Checksum(image.data(), image.size(), hash);
            }
            Check(std::string(everyStage ? "pipeline/every-stage" : "pipeline/start-up") + "/code" +
                      std::to_string(code),
                  hash);
            ReleaseObjects();
        }
    }
}

}  // namespace
}  // namespace halvex::test
