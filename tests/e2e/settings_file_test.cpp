// Settings saved to a file from one device and loaded into a fresh one give the same frames of
// the same scene.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"
#include "tools/settings.h"

namespace halvex::test {
namespace {

using platform::Runtime;

class SettingsFileTest : public DeviceTest {
  protected:
    std::vector<uint8_t> FirstFrame() {
        EXPECT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
        EXPECT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
        auto read = Session().QueueRead(640 * 480 * 3);
        Runtime::Advance(3000000);
        EXPECT_TRUE(read->Done());
        EXPECT_EQ(read->Header().DataUsed, 640u * 480 * 3);
        std::vector<uint8_t> frame = read->Data();
        EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
        return frame;
    }
    void Apply(const std::string& text) {
        tools::NamedSetting setting;
        std::string error;
        ASSERT_TRUE(tools::ParseSetting(text, &setting, &error)) << error;
        ASSERT_TRUE(tools::ApplySetting(Session(), setting, &error)) << error;
    }
};

TEST_F(SettingsFileTest, SavedSettingsReproduceTheFramesOnAFreshDevice) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("halvex_settings_" + std::to_string(::getpid()) + ".bin"))
                                 .string();
    Started();
    const std::vector<uint8_t> plain = FirstFrame();
    for (const char* s : {"gamma=180", "contrast=1600", "sharpness=40", "saturation=7000",
                          "hue=2000", "method=6", "whitebalance=0", "rotation=3"})
        Apply(s);
    const std::vector<uint8_t> adjusted = FirstFrame();
    EXPECT_NE(adjusted, plain);
    std::string error;
    ASSERT_EQ(Session().SaveSettings(path, &error), STATUS_SUCCESS) << error;
    EXPECT_EQ(std::filesystem::file_size(path), 1557u);

    ReleaseObjects();
    Started();
    ASSERT_EQ(Session().LoadSettings(path, &error), STATUS_SUCCESS) << error;
    EXPECT_TRUE(FirstFrame() == adjusted);
    std::filesystem::remove(path);

    EXPECT_FALSE(NT_SUCCESS(Session().LoadSettings(path, &error)));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}

TEST_F(SettingsFileTest, SettingsByNameRefuseWhatIsNotAllowed) {
    Started();
    struct Case {
        const char* text;
        bool parses;
        const char* message;
    };
    const Case cases[] = {
        {"colour=3", false, "unknown setting 'colour'; names: brightness"},
        {"gamma", false, "--set takes NAME=VALUE"},
        {"gamma=900", true, "gamma takes 1 to 500 or auto, not '900'"},
        {"method=8", true, "method takes 0 to 7"},
        {"preprocessing=fast", true, "preprocessing takes none, clip, subtract or capture"},
        {"exposure-target=300", true, "exposure-target takes 0 to 255"},
    };
    for (const Case& c : cases) {
        tools::NamedSetting setting;
        std::string error;
        const bool parsed = tools::ParseSetting(c.text, &setting, &error);
        EXPECT_EQ(parsed, c.parses) << c.text;
        if (parsed) {
            EXPECT_FALSE(tools::ApplySetting(Session(), setting, &error)) << c.text;
        }
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << ": " << error;
    }
    Apply("gain=auto");
    int32_t value = 0;
    uint32_t flags = 0;
    ASSERT_EQ(Session().GetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAIN, &value, &flags), STATUS_SUCCESS);
    EXPECT_EQ(flags, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO);
    Apply("preprocessing=clip");
    std::vector<uint8_t> mode;
    ASSERT_EQ(Session().GetVendor(client::kVendorGetPreprocessing, 4, &mode), STATUS_SUCCESS);
    EXPECT_EQ(mode[0], 1);
}

}  // namespace
}  // namespace halvex::test
