#include "driver/startup.h"

#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Resource;
using platform::Resources;

class StartupTest : public DeviceTest {};

TEST_F(StartupTest, EveryKnownModelGetsItsSensorSizeAndFormatList) {
    struct Model {
        uint16_t code;
        uint32_t width, height;
        size_t formats;
    };
    const Model models[] = {
        {0x0109, 1280, 960, 6},  {0x0209, 1280, 960, 3},  {0x0906, 640, 480, 6},
        {0x1006, 640, 480, 3},   {0x1106, 1024, 768, 6},  {0x1206, 1024, 768, 3},
        {0x1306, 1360, 1024, 6}, {0x1406, 1360, 1024, 3}, {0x1506, 1600, 1200, 6},
        {0x1606, 1600, 1200, 3},
    };
    const int32_t heights1280[] = {960, 440, 168, 480, 220, 84};
    for (const Model& m : models) {
        SCOPED_TRACE(m.code);
        sim::CameraConfig config;
        config.modelCode = m.code;
        Started(config);
        EXPECT_EQ(Device()->m_ulImageWidth, m.width);
        EXPECT_EQ(Device()->m_ulImageHeight, m.height);
        EXPECT_EQ(Device()->m_byteConversionMethod, 3);
        EXPECT_EQ(Device()->m_wRotationMode, 0);
        EXPECT_EQ(Device()->m_DevicePowerState, PowerDeviceD0);
        EXPECT_EQ(Device()->m_ulVideoDecoderStandard, 1u);
        EXPECT_EQ(Device()->m_pWorkItemDeviceObject, Session().Usb().LowerDevice());
        EXPECT_EQ(Host().StreamDescriptorSize(),
                  sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));
        EXPECT_EQ(Camera().Configuration(), 1);
        std::vector<client::VideoFormat> formats;
        ASSERT_EQ(Session().Formats(&formats), STATUS_SUCCESS);
        ASSERT_EQ(formats.size(), m.formats);
        for (size_t i = 0; i < formats.size(); ++i) {
            EXPECT_EQ(formats[i].width, m.width);
            EXPECT_EQ(formats[i].imageSize, m.width * static_cast<uint32_t>(formats[i].height) * 3);
            if (m.width == 1280) {
                EXPECT_EQ(formats[i].height, heights1280[i]);
            }
        }
        EXPECT_EQ(formats[0].height, static_cast<int32_t>(m.height));
        EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);
        EXPECT_EQ(Resources::LivePool(), 0u);
    }
}

TEST_F(StartupTest, RefusedCamerasLeaveNothingAllocated) {
    sim::CameraConfig unknown;
    unknown.modelCode = 0x0106;
    Create(unknown);
    EXPECT_EQ(Session().Start(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Device()->m_ulImageWidth, 0u);
    EXPECT_EQ(Device()->m_ulImageHeight, 0u);
    EXPECT_EQ(Resources::LivePool(), 0u);
    EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);

    Create();
    EXPECT_EQ(Session().Start(1), STATUS_NO_SUCH_DEVICE);  // a resource other than USB
    EXPECT_EQ(Resources::LivePool(), 0u);
    EXPECT_TRUE(Camera().Log().empty());
}

TEST_F(StartupTest, CameraFailingAtEachRequestFailsWithThatRequestsStatus) {
    int requests = 0;
    for (int k = 0;; ++k) {
        SCOPED_TRACE(k);
        Create();
        Camera().InjectFault(k % 2 ? sim::Fault::Stall : sim::Fault::Fail, k);
        const NTSTATUS status = Session().Start();
        if (NT_SUCCESS(status)) {
            requests = k;
            break;
        }
        EXPECT_EQ(status, k % 2 ? STATUS_UNSUCCESSFUL : STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(Resources::LivePool(), 0u);
        EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);
        ASSERT_LT(k, 50);
    }
    // Device, configuration header, full configuration, selection, information, settings.
    EXPECT_EQ(requests, 6);
}

TEST_F(StartupTest, AllocationFailureAtEachPointFailsCleanly) {
    struct Kind {
        Resource resource;
        const char* what;
    };
    uint64_t points = 0;
    for (Kind kind : {Kind{Resource::Pool, "pool"}, Kind{Resource::Irp, "IRP"},
                      Kind{Resource::WorkItem, "work item"}}) {
        // Every allocation a successful start-up makes is failed in turn.
        Create();
        Resources::ResetCounts();
        ASSERT_EQ(Session().Start(), STATUS_SUCCESS);
        const uint64_t attempts = Resources::Attempts(kind.resource);
        ASSERT_EQ(Session().Stop(), STATUS_SUCCESS);
        int processingObjects = 0;
        for (uint64_t k = 1; k <= attempts; ++k) {
            SCOPED_TRACE(std::string(kind.what) + " allocation " + std::to_string(k));
            Create();
            Resources::FailNth(kind.resource, k);
            const NTSTATUS status = Session().Start();
            Resources::ClearFaults();
            if (status == STATUS_NO_SUCH_DEVICE) {
                ++processingObjects;           // one of the seven processing objects
            } else if (!NT_SUCCESS(status)) {  // the second settings read may fail unnoticed
                EXPECT_EQ(status, kind.resource == Resource::Pool && k <= 2
                                      ? STATUS_UNSUCCESSFUL  // a frame buffer
                                      : STATUS_INSUFFICIENT_RESOURCES);
            }
            if (!NT_SUCCESS(status)) {
                EXPECT_EQ(Resources::LivePool(), 0u);
            }
            EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);
        }
        EXPECT_EQ(processingObjects, kind.resource == Resource::Pool ? 7 : 0);
        points += attempts;
    }
    printf("start-up: %llu failure points\n", static_cast<unsigned long long>(points));
}

TEST_F(StartupTest, KeepsTheLastBulkInPipeOfTheFirstInterface) {
    sim::CameraConfig config;
    config.secondBulkIn = true;
    config.bulkOut = true;
    config.interruptIn = true;
    config.secondInterface = true;
    Started(config);
    EXPECT_EQ(Device()->m_BulkInPipe.EndpointAddress, 0x83);
    EXPECT_EQ(Device()->m_BulkInPipe.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(Device()->m_BulkInPipe.MaximumTransferSize, 4096u);
    EXPECT_NE(Device()->m_BulkInPipe.PipeHandle, nullptr);
}

TEST_F(StartupTest, ReadsInformationAndSettingsIntoTheShadows) {
    sim::CameraConfig config;
    config.arrangement = 5;
    Started(config);
    auto info = Camera().InfoBlock();
    auto settings = Camera().SettingsBlock();
    EXPECT_TRUE(std::equal(info.begin(), info.end(), Device()->m_CameraInfo));
    EXPECT_TRUE(std::equal(settings.begin(), settings.end(), Device()->m_CameraSettings));
    EXPECT_EQ(Session().Arrangement(), 5);
}

}  // namespace
}  // namespace halvex::test
