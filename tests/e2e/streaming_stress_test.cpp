// Real threads while frames flow: reads queued, cancelled, state changes, close and surprise
// removal overlapping the transport's completions, the timer and the delivery work item. Every
// request block must complete exactly once and nothing may be left behind.
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/auto_exposure.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"
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
    // Opens the stream and sets it running.
    void OpenAndRun() {
        Open();
        ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
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
    EXPECT_GT(delivered, 0);  // frames flowed (how many depends on the machine)
}

TEST_F(StreamingStressTest, SurpriseRemovalWhileFramesFlow) {
    OpenAndRun();
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

namespace halvex::test {
namespace {

// Property-style writers change every stage's settings through the stages' setters while frames
// flow through the whole pipeline on the platform's threads.
TEST_F(StreamingStressTest, StageSettingsChangeWhileFramesFlow) {
    OpenAndRun();
    std::atomic<bool> stop{false};
    std::vector<std::shared_ptr<client::PendingRead>> reads;
    std::thread reader([&] { Reader(stop, reads); });
    std::thread writer([&] {
        DeviceContext* device = Device();
        UCHAR entries[256];
        for (int i = 0; i < 256; ++i) entries[i] = static_cast<UCHAR>(255 - i);
        for (unsigned n = 0; !stop; ++n) {
            const USHORT gains[4] = {static_cast<USHORT>(100 + n % 300), 128, 128,
                                     static_cast<USHORT>(200 + n % 50)};
            SetGains(device->m_pWhiteBalance, gains);
            SetBalanceMode(device->m_pWhiteBalance, static_cast<UCHAR>(n % 4));
            SetBalanceTargets(device->m_pWhiteBalance, static_cast<USHORT>(90 + n % 20), 100);
            SetTable(device->m_pLookupTables, static_cast<UCHAR>(n % 5), n % 2 ? 255 : 0, 100, 0, 0,
                     entries);
            SetSharpness(device->m_pSharpnessFilter, static_cast<UCHAR>(n % 2),
                         static_cast<USHORT>(100 + n % 300), static_cast<UCHAR>(n % 8));
            const SHORT matrix[12] = {90, 10, 0, static_cast<SHORT>(n % 100), 0, 100, 0, 0, 0,
                                      10, 90, 0};
            SetColorMatrix(device->m_pColorCorrection, n % 2 ? 0xFF : 0, matrix);
            SetHueSaturation(device->m_pColorCorrection, static_cast<UCHAR>(n % 2),
                             static_cast<SHORT>(n % 3600 - 1800), static_cast<USHORT>(n % 200));
            static const ULONG kModes[] = {0, 1, 0x80000000u, 2};
            SetPreprocessorMode(device->m_pRawPreprocessor, kModes[n % 4]);
            UCHAR block[CAMERA_BLOCK_SIZE] = {};
            ExposureRecordToBlock(device->m_pAutoExposure, block);
            block[8] = static_cast<UCHAR>(n % 7);  // every automatic mode
            block[9] = static_cast<UCHAR>(64 + n % 128);
            ExposureBlockToRecord(device->m_pAutoExposure, block);
            // Camera blocks read through the vendor set while the exposure step writes them.
            std::vector<uint8_t> answer;
            EXPECT_EQ(Session().GetVendor(137, 64, &answer), STATUS_SUCCESS);
            EXPECT_EQ(Session().GetVendor(140, 64, &answer), STATUS_SUCCESS);
            Runtime::Advance(2 * kMillisecond);
        }
    });
    // Register 48 through vendor id 32 restarts the capture while frames flow.
    // Format changes reprogram the readout while the exposure step reads the time base.
    std::vector<uint8_t> full, partial;
    ASSERT_EQ(Session().IntersectFormat(640, 480, &full), STATUS_SUCCESS);
    ASSERT_EQ(Session().IntersectFormat(640, 224, &partial), STATUS_SUCCESS);
    std::thread restarter([&] {
        for (int i = 0; i < 4; ++i) {
            Runtime::Advance(250 * kMillisecond);
            EXPECT_EQ(Session().SetVendor(32, std::vector<uint8_t>(216, 0)), STATUS_SUCCESS);
            EXPECT_EQ(Session().SetFormat(i % 2 ? full : partial), STATUS_SUCCESS);
        }
    });
    Runtime::Advance(1500 * kMillisecond);
    restarter.join();
    stop = true;
    reader.join();
    writer.join();
    // The stream goes on after the restarts: reads queued now still get frames.
    EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);  // cancels the backlog
    ExpectAllDoneOnce(reads);
    int delivered = 0;
    for (auto& r : reads) delivered += r->Header().DataUsed != 0 ? 1 : 0;
    EXPECT_GT(delivered, 0);  // frames flowed (how many depends on the machine)
    reads.clear();
    EXPECT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Session().SetVendor(32, std::vector<uint8_t>(216, 0)), STATUS_SUCCESS);
    auto after = Session().QueueRead(640 * 480 * 3);
    ASSERT_TRUE(after->Wait(Runtime::Now() + 50000000));
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    EXPECT_NE(after->Header().DataUsed, 0u);
    EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace halvex::test

namespace halvex::test {
namespace {

// Several application threads at once: reads, stream requests, device properties (proc-amp,
// vendor reads and a settings snapshot applied through id 180) and adapter requests, while
// frames flow. Each round ends at a different point with a stop, a surprise removal or a close
// while running, and must leave nothing behind.
TEST_F(StreamingStressTest, MixedRequestsFromManyThreadsThenAnEndAtAnyPoint) {
    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        OpenAndRun();
        std::vector<uint8_t> snapshot;
        ASSERT_EQ(Session().GetVendor(181, 1557, &snapshot), STATUS_SUCCESS);

        std::atomic<bool> streamStop{false}, deviceStop{false}, removed{false};
        std::vector<std::shared_ptr<client::PendingRead>> a, b;
        std::thread readerA([&] { Reader(streamStop, a); });
        std::thread readerB([&] { Reader(streamStop, b); });
        std::thread streamRequests([&] {
            for (int n = 0; !streamStop; ++n) {
                KSSTATE state;
                Session().GetState(&state);
                KSALLOCATOR_FRAMING framing;
                Session().GetAllocatorFraming(&framing);
                KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped;
                Session().GetDroppedFrames(&dropped);
                if (n % 8 == 7)  // pause and run again
                    Session().SetState(n % 16 == 7 ? KSSTATE_PAUSE : KSSTATE_RUN);
                Runtime::Advance(3 * kMillisecond);
            }
        });
        std::thread properties([&] {
            for (int n = 0; !deviceStop; ++n) {
                Session().SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, (n % 41 - 20) * 40,
                                     KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
                int32_t value;
                uint32_t flags;
                Session().GetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA, &value, &flags);
                std::vector<uint8_t> answer;
                Session().GetVendor(137, 64, &answer);
                // Applying the snapshot writes to the camera, which may be gone.
                if (n % 4 == 0 && Session().SetVendor(180, snapshot) != STATUS_SUCCESS) {
                    EXPECT_TRUE(removed);
                }
                Runtime::Advance(4 * kMillisecond);
            }
        });
        std::thread adapter([&] {
            for (int n = 0; !deviceStop; ++n) {
                std::vector<client::VideoFormat> formats;
                Session().Formats(&formats);
                std::vector<uint8_t> format;
                Session().IntersectFormat(640, 480, &format);
                Runtime::Advance(5 * kMillisecond);
            }
        });

        // The end, at a point that moves from round to round.
        Runtime::Advance((150 + 70 * round) * kMillisecond);
        const int ending = round % 3;
        if (ending == 0) {
            EXPECT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
        } else if (ending == 1) {
            removed = true;
            Camera().Unplug();
            EXPECT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
        }
        Runtime::Advance(50 * kMillisecond);
        // The stream's requests end before its close, as the stream class ensures; the device's
        // go on through the close.
        streamStop = true;
        readerA.join();
        readerB.join();
        streamRequests.join();
        EXPECT_EQ(Session().CloseStream(), STATUS_SUCCESS);  // ending 2: closed while running
        deviceStop = true;
        properties.join();
        adapter.join();
        ExpectAllDoneOnce(a);
        ExpectAllDoneOnce(b);
        EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);
        ReleaseObjects();
        EXPECT_EQ(platform::Resources::LeakReport(), "");
        EXPECT_THAT(platform::Verifier::Violations(), ::testing::IsEmpty());
    }
}

}  // namespace
}  // namespace halvex::test
