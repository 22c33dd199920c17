// Frame assembly rules, and the transport's circulating transfers against the simulated camera.
#include "driver/transport.h"

#include <cstring>
#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Runtime;
constexpr LONGLONG kSecond = 10000000;
constexpr ULONG kChunk = TRANSFER_BUFFER_SIZE;

class AssemblyTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();
        KeInitializeEvent(&m_event, NotificationEvent, FALSE);
        Device()->m_pUserEvent0 = &m_event;
    }
    void ReleaseObjects() override {
        if (Device() != nullptr)
            Device()->m_pUserEvent0 = nullptr;
        DeviceTest::ReleaseObjects();
    }
    void Size(ULONG width, ULONG height) {
        Device()->m_ulImageWidth = width;
        Device()->m_ulImageHeight = height;
    }
    // Feeds a transfer of n bytes whose bytes 12-15 hold `mark`.
    void Feed(ULONG n, ULONG mark = 0, USBD_STATUS usbd = USBD_STATUS_SUCCESS) {
        std::vector<UCHAR> data(std::max<ULONG>(n, 16), 0x5A);
        std::memcpy(&data[12], &mark, 4);
        AssembleTransfer(Device(), data.data(), n, usbd);
    }
    bool FrameReady() { return Device()->m_bFrameReady != 0; }
    bool Signalled() { return KeReadStateEvent(&m_event) != 0; }

    KEVENT m_event;
};

TEST_F(AssemblyTest, WholeFramesInTheirPieces) {
    struct Case {
        const char* name;
        ULONG width, height;
        std::vector<ULONG> pieces;
    };
    const Case cases[] = {
        {"640 x 480 in one transfer", 640, 480, {307264}},
        {"1600 x 1200 in three full and one short", 1600, 1200, {kChunk, kChunk, kChunk, 347200}},
        {"header, then the image", 640, 480, {64, 307200}},
    };
    for (const Case& c : cases) {
        Size(c.width, c.height);
        Device()->m_bFrameReady = FALSE;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            EXPECT_FALSE(FrameReady()) << c.name;
            Feed(c.pieces[i], i == 0 ? 0xA1B2C3D4 : 0);
        }
        EXPECT_TRUE(FrameReady()) << c.name;
        EXPECT_EQ(Device()->m_ulAssembledBytes, 0u) << c.name;
        EXPECT_EQ(Device()->m_ulFrameHeaderValue, 0xA1B2C3D4u) << c.name;
        EXPECT_FALSE(Signalled()) << c.name;
    }
}

TEST_F(AssemblyTest, PiecesThatDoNotEndAFrameExactlyAreThrownAway) {
    Size(640, 480);
    Feed(307263);  // one byte short
    EXPECT_FALSE(FrameReady());
    EXPECT_EQ(Device()->m_ulAssembledBytes, 0u);
    Feed(307264, 7);  // the next transfer starts a fresh frame
    EXPECT_TRUE(FrameReady());
    EXPECT_EQ(Device()->m_ulFrameHeaderValue, 7u);

    Device()->m_bFrameReady = FALSE;
    Feed(307200);  // W x H at the start of a frame does not add up to F
    EXPECT_FALSE(FrameReady());
    EXPECT_EQ(Device()->m_ulAssembledBytes, 0u);

    Feed(kChunk);  // more than a frame: abandoned, and the application is told
    EXPECT_EQ(Device()->m_ulAssembledBytes, 0u);
    EXPECT_TRUE(Signalled());
    EXPECT_FALSE(FrameReady());
}

TEST_F(AssemblyTest, ZeroLengthAndUsbdErrorsLeaveTheFrameAsItWas) {
    Size(1600, 1200);
    Feed(kChunk);
    Feed(kChunk, 0, USBD_STATUS_BUFFER_OVERRUN);  // ignored
    EXPECT_EQ(Device()->m_ulAssembledBytes, kChunk);
    EXPECT_FALSE(Signalled());
    Feed(0);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(Device()->m_ulAssembledBytes, kChunk);
}

TEST_F(AssemblyTest, AFrameCompletingWhileThePipelineHoldsTheBufferIsDropped) {
    Size(640, 480);
    std::memset(Device()->m_pFrameBuffer, 0x11, 64);
    Device()->m_bWorkItemPending = WORK_ITEM_PENDING;
    Feed(307264, 3);
    EXPECT_FALSE(FrameReady());
    EXPECT_EQ(Device()->m_pFrameBuffer[0], 0x11);
    EXPECT_EQ(Device()->m_ulAssembledBytes, 0u);
    Device()->m_bWorkItemPending = WORK_ITEM_IDLE;
}

class TransportTest : public DeviceTest {
  protected:
    void Open(uint16_t model) {
        sim::CameraConfig config;
        config.modelCode = model;
        Started(config);
        ASSERT_EQ(Session().OpenStream(Session().SensorWidth(),
                                       static_cast<int32_t>(Session().SensorHeight())),
                  STATUS_SUCCESS);
    }
};

TEST_F(TransportTest, FramesFromTheCameraReachTheFrameBuffer) {
    Open(0x1506);
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Runtime::Advance(kSecond / 10);
    ASSERT_EQ(Camera().FramesSent(), 3u);
    EXPECT_TRUE(Device()->m_bFrameReady);
    EXPECT_EQ(Device()->m_ulFrameHeaderValue, 3u);
    EXPECT_EQ(Camera().HeldTransfers(), TRANSFER_SLOT_COUNT);
    EXPECT_EQ(Device()->m_pTransport->m_lOutstanding, TRANSFER_SLOT_COUNT);
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Camera().HeldTransfers(), 0u);
    EXPECT_EQ(Device()->m_pTransport, nullptr);
}

TEST_F(TransportTest, HowTheCameraCutsItsFramesDecidesWhetherTheyArrive) {
    using Kind = sim::Piece::Kind;
    struct Case {
        const char* name;
        std::vector<sim::Piece> script;  // empty: the header-first split
        bool frames;
        bool signalled;
    };
    const Case cases[] = {
        {"header, then the image", {}, true, false},
        {"one byte short", {{Kind::Data, 307263}}, false, false},
        {"zero-length packet before the frame",
         {{Kind::ZeroLength}, {Kind::Data, 307264}},
         true,
         true},
        {"URB error before the frame", {{Kind::UsbdError}, {Kind::Data, 307264}}, true, false},
        {"one transfer longer than a frame", {{Kind::Data, kChunk}}, false, true},
    };
    for (const Case& c : cases) {
        Open(0x0906);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        Device()->m_pUserEvent0 = &event;
        if (c.script.empty())
            Camera().SetFrameSplit(sim::FrameSplit::HeaderFirst);
        else
            Camera().SetScript(c.script);
        ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
        Runtime::Advance(kSecond / 5);
        EXPECT_EQ(Device()->m_bFrameReady != 0, c.frames) << c.name;
        EXPECT_EQ(KeReadStateEvent(&event) != 0, c.signalled) << c.name;
        EXPECT_EQ(Device()->m_pTransport->m_lOutstanding, TRANSFER_SLOT_COUNT) << c.name;
        ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
        Device()->m_pUserEvent0 = nullptr;
        ReleaseObjects();
    }
}

TEST_F(TransportTest, FailedTransfersRetireUntilTheStreamRunsAgain) {
    Open(0x0906);
    Camera().SetScript(
        std::vector<sim::Piece>(TRANSFER_SLOT_COUNT, {sim::Piece::Kind::IrpFailure}));
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Runtime::Advance(kSecond / 2);
    EXPECT_EQ(Device()->m_pTransport->m_lOutstanding, 0);
    EXPECT_FALSE(Device()->m_bFrameReady);
    EXPECT_EQ(Camera().HeldTransfers(), 0u);

    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    Camera().SetFrameSplit(sim::FrameSplit::Standard);
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Runtime::Advance(kSecond / 10);
    EXPECT_TRUE(Device()->m_bFrameReady);
    EXPECT_EQ(Device()->m_pTransport->m_lOutstanding, TRANSFER_SLOT_COUNT);
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(TransportTest, StartsWithTheSlotsItCanGet) {
    Open(0x0906);
    // The ninth transfer buffer cannot be allocated: 23 transfers circulate.
    platform::Resources::FailNth(platform::Resource::Pool, 3 + 3 * 8);
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    platform::Resources::ClearFaults();
    EXPECT_EQ(Device()->m_pTransport->m_lOutstanding, TRANSFER_SLOT_COUNT - 1);
    EXPECT_EQ(Device()->m_pTransport->m_apSlots[8], nullptr);
    Runtime::Advance(kSecond / 10);
    EXPECT_TRUE(Device()->m_bFrameReady);
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);

    // Without the transport record the stream runs without frames.
    platform::Resources::FailTag(HalvexPoolTag("mmmm"), true);
    Device()->m_bFrameReady = FALSE;
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    platform::Resources::FailTag(HalvexPoolTag("mmmm"), false);
    EXPECT_EQ(Device()->m_pTransport, nullptr);
    Runtime::Advance(kSecond / 10);
    EXPECT_FALSE(Device()->m_bFrameReady);
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
}  // namespace halvex::test
