// Real threads while frames flow: reads queued, cancelled, state changes, close and surprise
// removal overlapping the transport's completions, the timer and the delivery work item. Every
// request block must complete exactly once and nothing may be left behind.
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Runtime;
constexpr LONGLONG kMillisecond = 10000;

class StreamingStressTest : public DeviceTest {
  protected:
    StreamingStressTest() : DeviceTest(platform::TimeMode::Real) {}

    void Open() {
        sim::CameraConfig config;
        config.frameRate = 120;  // many completions per tick
        Started(config);
        ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    }

    // Queues reads and cancels some until told to stop; keeps every read it made.
    void Reader(std::atomic<bool>& stop, std::vector<std::shared_ptr<client::PendingRead>>& mine) {
        int n = 0;
        while (!stop) {
            auto read = Session().QueueRead(640 * 480 * 3);
            if (++n % 5 == 0)
                Session().CancelRead(*read);
            mine.push_back(read);
            Runtime::Advance(5 * kMillisecond);
        }
    }

    static void ExpectAllDoneOnce(const std::vector<std::shared_ptr<client::PendingRead>>& reads) {
        for (auto& r : reads) {
            ASSERT_TRUE(r->Wait(Runtime::Now() + 50000000));
            EXPECT_EQ(r->Srb().Completions(), 1);
        }
    }
};

TEST_F(StreamingStressTest, ReadsCancelsAndStateChangesWhileFramesFlow) {
    Open();
    std::atomic<bool> stop{false};
    std::vector<std::shared_ptr<client::PendingRead>> a, b;
    std::thread readerA([&] { Reader(stop, a); });
    std::thread readerB([&] { Reader(stop, b); });
    const KSSTATE sequence[] = {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN,
                                KSSTATE_STOP,  KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN};
    for (KSSTATE state : sequence) {
        EXPECT_EQ(Session().SetState(state), STATUS_SUCCESS);
        Runtime::Advance(300 * kMillisecond);
    }
    stop = true;
    readerA.join();
    readerB.join();
    // Close while running: the transport, the pump and any delivery in progress end with it.
    EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    ExpectAllDoneOnce(a);
    ExpectAllDoneOnce(b);
    int delivered = 0;
    for (auto* list : {&a, &b})
        for (auto& r : *list) delivered += r->Header().DataUsed != 0 ? 1 : 0;
    EXPECT_GT(delivered, 3);
}

TEST_F(StreamingStressTest, SurpriseRemovalWhileFramesFlow) {
    Open();
    ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::vector<std::shared_ptr<client::PendingRead>> reads;
    std::thread reader([&] { Reader(stop, reads); });
    Runtime::Advance(400 * kMillisecond);
    Camera().Unplug();
    EXPECT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
    Runtime::Advance(100 * kMillisecond);
    stop = true;
    reader.join();
    EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    ExpectAllDoneOnce(reads);
    EXPECT_EQ(reads.back()->Status(), STATUS_DEVICE_REMOVED);
}

}  // namespace
}  // namespace halvex::test
