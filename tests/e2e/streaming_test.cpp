// The road of a frame, end to end in virtual time: stream open, states, reads, the frame pump's
// timing and stream header fields, stop and close.
#include <memory>
#include <vector>

#include "convert/convert_raw_frame.h"
#include "convert/rotate_raw_frame.h"
#include "driver/transport.h"
#include "imaging/white_balance.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Runtime;

constexpr LONGLONG kSecond = 10000000;

class StreamingTest : public DeviceTest {
  protected:
    // Starts a camera and opens the stream with the full-sensor format.
    void Open(uint16_t model = 0x0906) {
        sim::CameraConfig config;
        config.modelCode = model;
        Started(config);
        ASSERT_EQ(Session().OpenStream(Session().SensorWidth(),
                                       static_cast<int32_t>(Session().SensorHeight())),
                  STATUS_SUCCESS);
    }
    size_t ImageSize() {
        return static_cast<size_t>(Session().SensorWidth()) * Session().SensorHeight() * 3;
    }

    std::vector<std::shared_ptr<client::PendingRead>> QueueReads(int n) {
        std::vector<std::shared_ptr<client::PendingRead>> reads;
        for (int i = 0; i < n; ++i) reads.push_back(Session().QueueRead(ImageSize()));
        return reads;
    }
    static int Completed(const std::vector<std::shared_ptr<client::PendingRead>>& reads) {
        int n = 0;
        for (auto& r : reads) n += r->Done() ? 1 : 0;
        return n;
    }
    void Run() {
        ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    void StopAndClose() {
        EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    }
};

TEST_F(StreamingTest, WithoutAClockAboutTenFramesASecondArriveWithOnlyTheSplicePoint) {
    Open();
    Run();
    auto reads = QueueReads(30);
    Runtime::Advance(2 * kSecond);
    const int done = Completed(reads);
    EXPECT_GE(done, 18);
    EXPECT_LE(done, 21);
    LONGLONG previous = 0;
    for (auto& r : reads) {
        if (!r->Done())
            continue;
        EXPECT_EQ(r->Status(), STATUS_SUCCESS);
        EXPECT_EQ(r->Header().OptionsFlags, KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT);
        EXPECT_EQ(r->Header().PresentationTime.Time, 0);
        EXPECT_EQ(r->Header().DataUsed, ImageSize());
        EXPECT_EQ(r->FrameInfo().DropCount, 0);
        EXPECT_EQ(r->FrameInfo().PictureNumber, previous + 1);
        EXPECT_EQ(r->FrameInfo().ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
        previous = r->FrameInfo().PictureNumber;
    }
    StopAndClose();
    for (auto& r : reads) EXPECT_TRUE(r->Done());
}

TEST_F(StreamingTest, WithAClockFramesCarryTheirTickTimeAndDropsFlagTheNextFrame) {
    Open();
    platform::HostClock clock;
    ASSERT_EQ(Session().SetMasterClock(&clock), STATUS_SUCCESS);
    Run();
    auto first = QueueReads(3);
    Runtime::Advance(kSecond);
    ASSERT_EQ(Completed(first), 3);
    for (auto& r : first) {
        EXPECT_EQ(r->Header().OptionsFlags, 0x111u);
        EXPECT_EQ(r->Header().Duration, 500000);  // the 640 x 480 format's interval
        EXPECT_GT(r->Header().PresentationTime.Time, 0);
        EXPECT_EQ(r->Header().PresentationTime.Time % 1000000, 0);  // a tick's time
    }
    // Frames keep coming with no read waiting: each due one is counted as dropped.
    Runtime::Advance(kSecond);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    ASSERT_EQ(Session().GetDroppedFrames(&dropped), STATUS_SUCCESS);
    EXPECT_GT(dropped.DropCount, 0);
    EXPECT_EQ(dropped.PictureNumber, 3 + dropped.DropCount);
    EXPECT_EQ(dropped.AverageFrameSize, ImageSize());
    auto next = QueueReads(1);
    Runtime::Advance(kSecond);
    ASSERT_TRUE(next[0]->Done());
    EXPECT_EQ(next[0]->Header().OptionsFlags, 0x115u);
    EXPECT_EQ(next[0]->FrameInfo().DropCount, dropped.DropCount);
    StopAndClose();
}

TEST_F(StreamingTest, PauseDeliversNothingAndRunWithoutPauseNeitherThoughFramesArrive) {
    Open();
    ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    auto reads = QueueReads(2);
    KSSTATE state{};
    EXPECT_EQ(Session().GetState(&state), STATUS_NO_DATA_DETECTED);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    Runtime::Advance(kSecond);
    EXPECT_EQ(Completed(reads), 0);
    StopAndClose();

    // Run straight from stop starts the transport, but the pump starts only with pause.
    ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto more = QueueReads(2);
    EXPECT_EQ(Session().GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    Runtime::Advance(kSecond);
    EXPECT_GT(Camera().FramesSent(), 20u);
    EXPECT_EQ(Completed(more), 0);
    StopAndClose();
}

TEST_F(StreamingTest, StopCancelsReadsRetiresTransfersAndWaitsASecond) {
    Open();
    Run();
    auto reads = QueueReads(40);
    Runtime::Advance(kSecond / 2);
    ASSERT_NE(Device()->m_pTransport, nullptr);
    EXPECT_EQ(Camera().HeldTransfers(), TRANSFER_SLOT_COUNT);
    const LONGLONG before = Runtime::Now();
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_GE(Runtime::Now() - before, kSecond);
    EXPECT_EQ(Device()->m_pTransport, nullptr);
    EXPECT_EQ(Camera().HeldTransfers(), 0u);
    EXPECT_EQ(platform::Resources::LiveIrps(), 0u);
    int cancelled = 0;
    for (auto& r : reads) {
        ASSERT_TRUE(r->Done());
        if (r->Status() == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(r->Header().DataUsed, 0u);
        }
    }
    EXPECT_GT(cancelled, 30);
    // Stopped: a new read is cancelled at once; pause starts counting afresh.
    auto late = QueueReads(1);
    EXPECT_EQ(late[0]->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(late[0]->Done());
    ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    ASSERT_EQ(Session().GetDroppedFrames(&dropped), STATUS_SUCCESS);
    EXPECT_EQ(dropped.PictureNumber, 0);
    StopAndClose();
}

TEST_F(StreamingTest, ReadsAfterSurpriseRemovalAreRefusedAsRemoved) {
    Open();
    Run();
    auto reads = QueueReads(3);
    Runtime::Advance(kSecond / 2);
    Camera().Unplug();
    ASSERT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
    for (auto& r : reads) EXPECT_TRUE(r->Done());
    auto late = QueueReads(1);
    EXPECT_EQ(late[0]->Status(), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(late[0]->Header().DataUsed, 0u);
    EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
}

TEST_F(StreamingTest, CloseWhileRunningReleasesEverything) {
    Open(0x1506);
    Run();
    auto reads = QueueReads(5);
    Runtime::Advance(kSecond);
    EXPECT_EQ(Completed(reads), 5);
    EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pTransport, nullptr);
    EXPECT_EQ(platform::Resources::LiveIrps(), 0u);
    EXPECT_EQ(platform::Resources::LiveWorkItems(), 0u);
}

// What the pipeline must deliver for the camera's chart: the raw frame turned by the rotation
// operation, then converted (or widened from grey); method 5's outer ring has method 3's values.
std::vector<UCHAR> Expected(std::vector<UCHAR> raw, ULONG width, ULONG height, USHORT arrangement,
                            UCHAR operation, UCHAR method) {
    ULONG w = width, h = height;
    USHORT a = arrangement;
    RotateRawFrame(operation, &w, &h, &a, raw.data());
    std::vector<UCHAR> out(static_cast<size_t>(w) * h * 3);
    if (arrangement == 1) {
        for (size_t i = 0; i < raw.size(); ++i)
            out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = raw[i];
    } else {
        if (method == 5)
            FillRingBilinear(w, h, raw.data(), out.data());
        ULONG status = 0;
        ConvertRawFrame(&status, w, h, raw.data(), out.data(), method, a);
    }
    return out;
}

TEST_F(StreamingTest, DeliveredFramesAreTheChartTurnedAndConverted) {
    const struct {
        uint16_t arrangement;
        USHORT rotationMode;
        UCHAR operation;
        UCHAR method;
    } cases[] = {{2, 0, ROTATE_FLIP, 3}, {5, 1, ROTATE_HALF_TURN, 3}, {3, 3, ROTATE_MIRROR, 3},
                 {4, 2, ROTATE_NONE, 3}, {1, 0, ROTATE_FLIP, 3},      {2, 7, ROTATE_NONE, 3},
                 {2, 0, ROTATE_FLIP, 5}, {3, 0, ROTATE_FLIP, 6},      {2, 0, ROTATE_FLIP, 7}};
    for (const auto& c : cases) {
        sim::CameraConfig config;
        config.arrangement = c.arrangement;
        Started(config);
        Device()->m_wRotationMode = c.rotationMode;
        Device()->m_byteConversionMethod = c.method;
        Device()->m_pWhiteBalance->m_byteBalanceMode = WB_MODE_OFF;  // conversion alone
        ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
        Run();
        auto reads = QueueReads(1);
        Runtime::Advance(kSecond / 2);
        ASSERT_TRUE(reads[0]->Done());
        EXPECT_TRUE(reads[0]->Data() == Expected(Camera().SensorImage(), 640, 480, c.arrangement,
                                                 c.operation, c.method))
            << "arrangement " << c.arrangement << " rotation mode " << c.rotationMode << " method "
            << int(c.method);
        StopAndClose();
        ReleaseObjects();
    }
}

TEST_F(StreamingTest, ABufferOneByteShortGetsNoImageButStillCompletes) {
    Open();
    Run();
    auto read = Session().QueueRead(ImageSize() - 1);
    Runtime::Advance(kSecond / 2);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Header().DataUsed, 0u);
    EXPECT_EQ(read->FrameInfo().PictureNumber, 1);
    for (UCHAR v : read->Data()) ASSERT_EQ(v, 0);
    StopAndClose();
}

TEST_F(StreamingTest, ATickWithoutItsWorkItemQueuesNothingAndThePumpGoesOn) {
    Open();
    Run();
    platform::Resources::FailTag(HalvexPoolTag("llll"), true);
    auto reads = QueueReads(2);
    Runtime::Advance(kSecond / 2);
    EXPECT_EQ(Completed(reads), 0);
    EXPECT_EQ(Device()->m_bWorkItemPending, WORK_ITEM_IDLE);
    platform::Resources::FailTag(HalvexPoolTag("llll"), false);
    Runtime::Advance(kSecond / 2);
    EXPECT_EQ(Completed(reads), 2);
    StopAndClose();
}

}  // namespace
}  // namespace halvex::test
