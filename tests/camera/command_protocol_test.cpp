#include "camera/command_protocol.h"

#include <functional>
#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Resource;
using platform::Resources;
using ::testing::ElementsAreArray;

class CommandProtocolTest : public DeviceTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();
        Session().Usb().SetForcedPending(GetParam());
        Camera().ClearLog();
    }
    std::vector<UCHAR> Image(size_t n, UCHAR first) {
        std::vector<UCHAR> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<UCHAR>(first + i);
        return v;
    }
};

struct WireCase {
    const char* what;
    std::function<NTSTATUS(DeviceContext*)> call;
    platform::UsbSetupPacket expected;
};

TEST_P(CommandProtocolTest, EveryRequestHasItsWireEncoding) {
    static UCHAR block[256];
    static USHORT registers[CAMERA_REGISTER_COUNT];
    const WireCase cases[] = {
        {"info read",
         [](DeviceContext* d) { return ReadCameraInfo(d, nullptr); },
         {0xC0, 0x11, 0, 0, 64}},
        {"settings read",
         [](DeviceContext* d) { return ReadCameraSettings(d, nullptr); },
         {0xC0, 0x12, 0, 0, 64}},
        {"block 0x13 read",
         [](DeviceContext* d) { return ReadBlock13(d, nullptr); },
         {0xC0, 0x13, 0, 0, 6}},
        {"exposure read",
         [](DeviceContext* d) { return ReadExposureBlock(d, nullptr); },
         {0xC0, 0x21, 0, 0, 64}},
        {"block 0x22 read",
         [](DeviceContext* d) { return ReadBlock22(d, nullptr); },
         {0xC0, 0x22, 0, 0, 10}},
        {"block 0xF0 read",
         [](DeviceContext* d) { return ReadBlockF0(d, nullptr); },
         {0xC0, 0xF0, 0, 0, 64}},
        {"block 0xF9 read",
         [](DeviceContext* d) { return ReadBlockF9(d, nullptr); },
         {0xC0, 0xF9, 0x6F00, 0x0151, 256}},
        {"settings write",
         [](DeviceContext* d) { return WriteCameraSettings(d, block); },
         {0x40, 0x12, 0, 0, 64}},
        {"block 0x13 write",
         [](DeviceContext* d) { return WriteBlock13(d, block); },
         {0x40, 0x13, 0, 0, 6}},
        {"exposure write",
         [](DeviceContext* d) { return WriteExposureBlock(d, block); },
         {0x40, 0x21, 0, 0, 64}},
        {"block 0x22 write",
         [](DeviceContext* d) { return WriteBlock22(d, block); },
         {0x40, 0x22, 0, 0, 10}},
        {"register 3 read",
         [](DeviceContext* d) { return ReadRegister(d, 3, nullptr); },
         {0xC0, 0x80, 0x0083, 0, 2}},
        {"register 3 write",
         [](DeviceContext* d) { return WriteRegister(d, registers, 3); },
         {0x40, 0x80, 0x8003, 0, 2}},
        {"register 80 write",
         [](DeviceContext* d) { return WriteRegister(d, registers, 80); },
         {0x40, 0x80, 0x0050, 0, 2}},
        {"command 0x20",
         [](DeviceContext* d) { return SendVendorRequest(d, 0, 0x20, 0, 0, nullptr, 0, nullptr); },
         {0x40, 0x20, 0, 0, 0}},
        {"command 0x30",
         [](DeviceContext* d) { return SendVendorRequest(d, 0, 0x30, 0, 0, nullptr, 0, nullptr); },
         {0x40, 0x30, 0, 0, 0}},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.what);
        Camera().ClearLog();
        EXPECT_EQ(c.call(Device()), STATUS_SUCCESS);
        auto log = Camera().Log();
        ASSERT_EQ(log.size(), 1u);
        const platform::UsbSetupPacket& s = log[0].setup;
        EXPECT_EQ(s.bmRequestType, c.expected.bmRequestType);
        EXPECT_EQ(s.bRequest, c.expected.bRequest);
        EXPECT_EQ(s.wValue, c.expected.wValue);
        EXPECT_EQ(s.wIndex, c.expected.wIndex);
        EXPECT_EQ(s.wLength, c.expected.wLength);
    }
}

TEST_P(CommandProtocolTest, WritesSetTheBlockHeaderInTheCallersBuffer) {
    struct HeaderCase {
        const char* what;
        NTSTATUS (*write)(DeviceContext*, PUCHAR);
        size_t length;
        UCHAR byte0, byte1;
    };
    const HeaderCase cases[] = {
        {"settings", WriteCameraSettings, 64, 0x40, 0x12},
        {"exposure", WriteExposureBlock, 64, 0x40, 0x21},
        {"block 0x22", WriteBlock22, 10, 0x06, 0x22},
        {"block 0x13 (no header)", WriteBlock13, 6, 0xAA, 0xAB},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        Camera().ClearLog();
        auto buffer = Image(c.length, 0xAA);
        ASSERT_EQ(c.write(Device(), buffer.data()), STATUS_SUCCESS);
        EXPECT_EQ(buffer[0], c.byte0);
        EXPECT_EQ(buffer[1], c.byte1);
        ASSERT_EQ(Camera().Log().size(), 1u);
        EXPECT_THAT(Camera().Log()[0].data, ElementsAreArray(buffer));
    }
    EXPECT_THAT(std::vector<UCHAR>(Device()->m_Block22, Device()->m_Block22 + 10),
                ::testing::ElementsAre(0x06, 0x22, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0xB2, 0xB3));
}

TEST_P(CommandProtocolTest, FailedTransfersLeaveShadowAndDestinationUntouched) {
    std::vector<UCHAR> shadowBefore(Device()->m_ExposureBlock, Device()->m_ExposureBlock + 64);
    std::vector<UCHAR> destination(64, 0x5A);
    Camera().InjectFault(sim::Fault::Fail);
    EXPECT_EQ(ReadExposureBlock(Device(), destination.data()), STATUS_IO_DEVICE_ERROR);
    EXPECT_THAT(destination, ::testing::Each(0x5A));
    EXPECT_THAT(std::vector<UCHAR>(Device()->m_ExposureBlock, Device()->m_ExposureBlock + 64),
                ElementsAreArray(shadowBefore));

    auto source = Image(64, 1);
    Camera().InjectFault(sim::Fault::Stall);
    EXPECT_EQ(WriteExposureBlock(Device(), source.data()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(source[0], 0x40);  // the header stays set even though the write failed
    EXPECT_THAT(std::vector<UCHAR>(Device()->m_ExposureBlock, Device()->m_ExposureBlock + 64),
                ElementsAreArray(shadowBefore));

    USHORT registers[CAMERA_REGISTER_COUNT];
    std::fill(std::begin(registers), std::end(registers), 0x1234);
    const USHORT before = Device()->m_Registers[7];
    Camera().InjectFault(sim::Fault::Fail);
    EXPECT_EQ(ReadRegister(Device(), 7, registers), STATUS_IO_DEVICE_ERROR);
    EXPECT_THAT(registers, ::testing::Each(0x1234));
    EXPECT_EQ(Device()->m_Registers[7], before);
}

TEST_P(CommandProtocolTest, RegistersUpdateTheirShadowEntry) {
    Camera().SetRegister(7, 0xBEEF);
    USHORT copy[CAMERA_REGISTER_COUNT];
    ASSERT_EQ(ReadRegister(Device(), 7, copy), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_Registers[7], 0xBEEF);
    EXPECT_EQ(copy[7], 0xBEEF);
    EXPECT_EQ(copy[8], Device()->m_Registers[8]);

    USHORT image[CAMERA_REGISTER_COUNT] = {};
    image[80] = 0x0102;
    ASSERT_EQ(WriteRegister(Device(), image, 80), STATUS_SUCCESS);
    EXPECT_EQ(Camera().Register(80), 0x0102);
    EXPECT_EQ(Device()->m_Registers[80], 0x0102);
    EXPECT_THAT(Camera().Log().back().data, ::testing::ElementsAre(0x02, 0x01));

    Camera().ClearLog();
    EXPECT_EQ(ReadRegister(Device(), CAMERA_REGISTER_COUNT, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WriteRegister(Device(), image, 1000), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Camera().Log().empty());
}

TEST_P(CommandProtocolTest, ReportsTheTransferredCount) {
    UCHAR buffer[64];
    USHORT transferred = 0;
    EXPECT_EQ(SendVendorRequest(Device(), 1, 0x11, 0, 0, buffer, 64, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 64);
}

TEST_P(CommandProtocolTest, NoRequestBlockOrIrpMeansNothingIsSent) {
    Resources::FailTag(TAG_COMMAND, true);
    EXPECT_EQ(ReadCameraInfo(Device(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    Resources::FailTag(TAG_COMMAND, false);
    Resources::FailNth(Resource::Irp, 1);
    EXPECT_EQ(ReadCameraInfo(Device(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Camera().Log().empty());
    EXPECT_EQ(Resources::LivePool(TAG_COMMAND), 0u);
}

INSTANTIATE_TEST_SUITE_P(CompletionPaths, CommandProtocolTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Pending" : "AtOnce"; });

}  // namespace
}  // namespace halvex::test
