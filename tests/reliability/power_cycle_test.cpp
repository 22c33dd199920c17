// Power and unplug cycles, many times over: D3 and back with a running stream, surprise removal
// while streaming followed by uninitialise, and a new device after a removed one. Nothing may be
// left after any cycle.
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::HostSrb;
using platform::Resources;
using platform::Runtime;
using platform::Verifier;

constexpr LONGLONG kSecond = 10000000;
constexpr size_t kFrameBytes = 640 * 480 * 3;

class PowerCycleTest : public DeviceTest {
  protected:
    NTSTATUS Power(DEVICE_POWER_STATE state) {
        auto srb = Host().NewSrb(SRB_CHANGE_POWER_STATE);
        (*srb)->CommandData.DeviceState = state;
        IoGetCurrentIrpStackLocation(srb->Irp())->MajorFunction = IRP_MJ_POWER;
        IoGetCurrentIrpStackLocation(srb->Irp())->MinorFunction = IRP_MN_SET_POWER;
        return Host().Call(*srb);
    }
    void OpenAndRun() {
        ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
        ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // Whether a read queued now is filled within half a second.
    bool Delivers() {
        auto read = Session().QueueRead(kFrameBytes);
        Runtime::Advance(kSecond / 2);
        return read->Done() && read->Status() == STATUS_SUCCESS && read->Header().DataUsed != 0;
    }
};

TEST_F(PowerCycleTest, SleepAndWakeWithARunningStream) {
    Started();
    OpenAndRun();
    for (int cycle = 0; cycle < 25; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(Power(PowerDeviceD3), STATUS_SUCCESS);
        ASSERT_EQ(Power(PowerDeviceD0), STATUS_SUCCESS);
        KSSTATE state = KSSTATE_STOP;
        ASSERT_EQ(Session().GetState(&state), STATUS_SUCCESS);
        EXPECT_EQ(state, KSSTATE_RUN);
        ASSERT_TRUE(Delivers());
    }
    EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
}

TEST_F(PowerCycleTest, RemovedWhileStreamingThenANewDeviceEachTime) {
    for (int cycle = 0; cycle < 25; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        sim::CameraConfig config;
        config.seed = static_cast<uint32_t>(cycle + 1);
        Started(config);
        OpenAndRun();
        ASSERT_TRUE(Delivers());
        auto pending = Session().QueueRead(kFrameBytes);
        // Unplugged at a different point of the frame period each time.
        Runtime::Advance(kSecond / 100 * (cycle % 10));
        Camera().Unplug();
        ASSERT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
        Runtime::Advance(kSecond / 2);
        EXPECT_TRUE(pending->Done());
        EXPECT_EQ(Session().QueueRead(kFrameBytes)->Status(), STATUS_DEVICE_REMOVED);
        EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
        EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);
        ReleaseObjects();
        ASSERT_EQ(Resources::LeakReport(), "");
        ASSERT_THAT(Verifier::Violations(), ::testing::IsEmpty());
    }
}

}  // namespace
}  // namespace halvex::test
