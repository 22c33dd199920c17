// Real threads: adapter requests from several threads at once, and USB completions on the
// platform's completion threads.
#include <thread>
#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class ConcurrencyTest : public DeviceTest {
  protected:
    ConcurrencyTest() : DeviceTest(platform::TimeMode::Real) {}
};

TEST_F(ConcurrencyTest, AdapterRequestsFromManyThreadsCompleteExactlyOnce) {
    Started();
    Session().Usb().SetForcedPending(true);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::vector<std::unique_ptr<platform::HostSrb>>> sent(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto srb = Host().NewSrb(SRB_CHANGE_POWER_STATE);
                (*srb)->CommandData.DeviceState = (i + t) % 2 ? PowerDeviceD3 : PowerDeviceD0;
                IoGetCurrentIrpStackLocation(srb->Irp())->MinorFunction = IRP_MN_SET_POWER;
                if (i % 3 == 0)
                    (*srb)->Command = SRB_UNKNOWN_DEVICE_COMMAND;
                Host().Send(*srb);
                sent[t].push_back(std::move(srb));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (auto& list : sent) {
        for (auto& srb : list) {
            ASSERT_TRUE(srb->Wait(platform::Runtime::Now() + 100000000));
            EXPECT_EQ(srb->Completions(), 1);
            EXPECT_EQ(srb->Status(), STATUS_SUCCESS);
        }
    }
}

TEST_F(ConcurrencyTest, StartUpWithCompletionsOnOtherThreads) {
    Create();
    Session().Usb().SetForcedPending(true);
    EXPECT_EQ(Session().Start(), STATUS_SUCCESS);
    EXPECT_EQ(Session().SensorWidth(), 640u);
}

}  // namespace
}  // namespace halvex::test
