// halvex convert: a frame written as a file converts to the same bytes as the driver's own
// conversion of that frame, and bad input gets a clear refusal.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert/convert_raw_frame.h"
#include "imaging/white_balance.h"
#include "tests/support/fixtures.h"
#include "tools/commands.h"

namespace halvex::test {
namespace {

using platform::Runtime;

class ConvertCommandTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        m_dir = std::filesystem::temp_directory_path() /
                ("halvex_convert_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        std::filesystem::remove_all(m_dir);
        DeviceTest::TearDown();
    }
    std::string Path(const std::string& name) { return (m_dir / name).string(); }

    static void Write(const std::string& path, const std::string& header,
                      const std::vector<uint8_t>& bytes) {
        std::ofstream file(path, std::ios::binary);
        file << header;
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    static std::vector<uint8_t> Read(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    static int Run(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return tools::ConvertCommand(static_cast<int>(argv.size()), argv.data());
    }

    std::filesystem::path m_dir;
};

TEST_F(ConvertCommandTest, AFileConvertsToTheBytesTheDriverDelivers) {
    // The driver's delivery of the camera's chart: flipped (rotation mode 0), then method 3.
    Started();
    Device()->m_pWhiteBalance->m_byteBalanceMode = WB_MODE_OFF;  // conversion alone
    ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto read = Session().QueueRead(640 * 480 * 3);
    Runtime::Advance(5000000);
    ASSERT_TRUE(read->Done());
    ASSERT_EQ(read->Header().DataUsed, 640u * 480 * 3);
    ASSERT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    const std::vector<uint8_t> delivered = read->Data();
    const std::vector<uint8_t> raw = Camera().SensorImage();
    read.reset();
    ReleaseObjects();  // the tool checks that nothing is left allocated

    Write(Path("chart.raw"), "", raw);
    ASSERT_EQ(Run({Path("chart.raw"), Path("out.bgr"), "--size", "640x480", "--arrangement", "2",
                   "--method", "3", "--rotate", "2"}),
              0);
    EXPECT_TRUE(Read(Path("out.bgr")) == delivered);
}

TEST_F(ConvertCommandTest, PgmInputAndEveryMethodMatchTheDispatcher) {
    std::vector<uint8_t> raw(32 * 24);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 131 + 7);
    Write(Path("frame.pgm"), "P5\n# a comment\n32 24\n255\n", raw);
    for (int method = 0; method < 8; ++method) {
        ASSERT_EQ(Run({Path("frame.pgm"), Path("out.bgr"), "--arrangement", "4", "--method",
                       std::to_string(method)}),
                  0);
        std::vector<UCHAR> expected(32 * 24 * 3, 0);
        ULONG status = 0;
        ASSERT_EQ(ConvertRawFrame(&status, 32, 24, raw.data(), expected.data(),
                                  static_cast<UCHAR>(method), 4),
                  1u);
        EXPECT_TRUE(Read(Path("out.bgr")) == expected) << "method " << method;
    }
    EXPECT_EQ(Run({Path("frame.pgm"), Path("sheet.png"), "--arrangement", "4", "--all-methods"}),
              0);
    EXPECT_TRUE(std::filesystem::exists(Path("sheet.png")));
}

TEST_F(ConvertCommandTest, BadInputIsRefusedClearly) {
    Write(Path("short.raw"), "", std::vector<uint8_t>(100));
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {
        {{"x", Path("short.raw"), Path("o.png"), "--size", "16x16", "--arrangement", "2",
          "--method", "3"},
         1},
        {{"x", Path("missing.raw"), Path("o.png"), "--size", "2x2", "--arrangement", "2",
          "--method", "3"},
         1},
        {{"x", Path("short.raw"), Path("o.png"), "--size", "10x10", "--arrangement", "1",
          "--method", "3"},
         1},
        {{"x", Path("short.raw"), Path("o.png"), "--size", "10x10", "--arrangement", "2",
          "--method", "x"},
         2},
        {{"x", Path("short.raw"), Path("o.png"), "--size", "10x10", "--method", "3"}, 2},
        {{"x", Path("short.raw"), Path("o.png"), "--size", "0x10", "--arrangement", "2", "--method",
          "3"},
         2},
        {{"x", Path("short.raw"), "--size", "10x10", "--arrangement", "2", "--method", "3"}, 2},
        {{"x", Path("short.raw"), Path("o.bgr"), "--size", "10x10", "--arrangement", "2",
          "--all-methods"},
         2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args(c.args.begin() + 1, c.args.end());
        EXPECT_EQ(Run(args), c.code) << args[0];
    }
}

}  // namespace
}  // namespace halvex::test
