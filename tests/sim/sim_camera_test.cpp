#include "sim/sim_camera.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace halvex::test {
namespace {

using platform::UsbSetupPacket;
using sim::SimCamera;

struct SetupCase {
    const char* what;
    UsbSetupPacket setup;
    bool accepted;
};

TEST(SimCameraTest, ChecksEverySetupPacketAsTheDeviceDoes) {
    const SetupCase cases[] = {
        {"info read", {0xC0, 0x11, 0, 0, 64}, true},
        {"info write", {0x40, 0x11, 0, 0, 64}, false},
        {"info short", {0xC0, 0x11, 0, 0, 63}, false},
        {"info with wValue", {0xC0, 0x11, 1, 0, 64}, false},
        {"settings write", {0x40, 0x12, 0, 0, 64}, true},
        {"block 0x13 read", {0xC0, 0x13, 0, 0, 6}, true},
        {"command 0x20", {0x40, 0x20, 0, 0, 0}, true},
        {"command 0x20 read", {0xC0, 0x20, 0, 0, 0}, false},
        {"exposure read", {0xC0, 0x21, 0, 0, 64}, true},
        {"block 0x22 write", {0x40, 0x22, 0, 0, 10}, true},
        {"command 0x30", {0x40, 0x30, 0, 0, 0}, true},
        {"register 3 read", {0xC0, 0x80, 0x0083, 0, 2}, true},
        {"register 3 write", {0x40, 0x80, 0x8003, 0, 2}, true},
        {"register 80 write", {0x40, 0x80, 0x0050, 0, 2}, true},
        {"register 80 write bit", {0x40, 0x80, 0x8050, 0, 2}, false},
        {"register 108 read", {0xC0, 0x80, 0x0080 + 108, 0, 2}, false},
        {"block 0xF0 read", {0xC0, 0xF0, 0, 0, 64}, true},
        {"block 0xF9 read", {0xC0, 0xF9, 0x6F00, 0x0151, 256}, true},
        {"block 0xF9 wrong index", {0xC0, 0xF9, 0x6F00, 0, 256}, false},
        {"class request", {0xA0, 0x11, 0, 0, 64}, false},
        {"unknown code", {0xC0, 0x55, 0, 0, 2}, false},
    };
    SimCamera camera;
    ASSERT_EQ(camera.SetConfiguration(1), USBD_STATUS_SUCCESS);
    for (const SetupCase& c : cases) {
        SCOPED_TRACE(c.what);
        UCHAR data[256] = {};
        platform::UsbResult r = camera.ControlTransfer(c.setup, data);
        EXPECT_EQ(r.usbd, c.accepted ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
        if (c.accepted) {
            EXPECT_EQ(r.transferred, c.setup.wLength);
        }
    }
}

TEST(SimCameraTest, BlocksCarryModelArrangementAndTimeBase) {
    sim::CameraConfig config;
    config.modelCode = 0x1506;
    config.arrangement = 4;
    config.defaultGain = 0x33;
    SimCamera camera(config);
    auto info = camera.InfoBlock();
    EXPECT_EQ(info[4] | (info[5] << 8), 0x1506);
    EXPECT_EQ(info[10] | (info[11] << 8), 4);
    auto settings = camera.SettingsBlock();
    EXPECT_EQ(settings[26] | (settings[27] << 8), 1200 + 24);  // H
    EXPECT_EQ(settings[28] | (settings[29] << 8), 1500);       // L
    EXPECT_EQ(settings[32] | (settings[33] << 8), 0x33);
}

TEST(SimCameraTest, InjectedFaultsHitTheChosenRequests) {
    SimCamera camera;
    camera.SetConfiguration(1);
    UCHAR data[64];
    const UsbSetupPacket info = {0xC0, 0x11, 0, 0, 64};
    camera.InjectFault(sim::Fault::Stall, 1, 2);
    EXPECT_EQ(camera.ControlTransfer(info, data).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(camera.ControlTransfer(info, data).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera.ControlTransfer(info, data).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera.ControlTransfer(info, data).usbd, USBD_STATUS_SUCCESS);
    camera.FailRequestCode(0x11, true);
    EXPECT_EQ(camera.ControlTransfer(info, data).usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    camera.FailDescriptors(true);
    EXPECT_EQ(camera.GetDescriptor(1, 0, 0, data, 18).usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    camera.ClearFaults();
    EXPECT_EQ(camera.GetDescriptor(1, 0, 0, data, 18).transferred, 18u);
    EXPECT_EQ(camera.Log().size(), 5u);
}

}  // namespace
}  // namespace halvex::test
