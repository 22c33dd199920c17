// The stream's requests: open and close, format changes with the readout mode they program,
// proposals, state reads and the stream properties.
#include <cstring>
#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class StreamTest : public DeviceTest {
  protected:
    void Start(uint16_t model) {
        sim::CameraConfig config;
        config.modelCode = model;
        Started(config);
    }
    std::vector<uint8_t> Format(uint32_t width, int32_t height) {
        std::vector<uint8_t> format;
        EXPECT_EQ(Session().IntersectFormat(width, height, &format), STATUS_SUCCESS);
        return format;
    }
    static KS_VIDEOINFOHEADER& Header(std::vector<uint8_t>& format) {
        return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader;
    }
    uint8_t ReadoutMode() { return Camera().SettingsBlock()[22]; }
};

TEST_F(StreamTest, EachHeightProgramsItsReadoutMode) {
    Start(0x1506);
    ASSERT_EQ(Session().OpenStream(1600, 1200), STATUS_SUCCESS);
    EXPECT_EQ(ReadoutMode(), 0x00);
    const struct {
        int32_t height;
        uint8_t mode;
    } cases[] = {{544, 0x01}, {208, 0x02}, {600, 0x20}, {272, 0x40}, {104, 0x80}, {1200, 0x00}};
    for (const auto& c : cases) {
        ASSERT_EQ(Session().SetFormat(Format(1600, c.height)), STATUS_SUCCESS) << c.height;
        const auto settings = Camera().SettingsBlock();
        EXPECT_EQ(settings[22], c.mode) << c.height;
        EXPECT_EQ(settings[23], 0) << c.height;
        EXPECT_EQ(Device()->m_ulImageWidth, 1600u);
        EXPECT_EQ(Device()->m_ulImageHeight, static_cast<ULONG>(c.height));
        EXPECT_EQ(Camera().FrameHeight(), static_cast<uint32_t>(c.height));
    }
}

TEST_F(StreamTest, FormatsTheModelDoesNotOfferAreRefusedAndChangeNothing) {
    Start(0x1606);  // three formats: the halved heights are not offered
    ASSERT_EQ(Session().OpenStream(1600, 544), STATUS_SUCCESS);
    ASSERT_EQ(ReadoutMode(), 0x01);

    auto halved = Format(1600, 1200);
    Header(halved).bmiHeader.biHeight = 600;
    Header(halved).bmiHeader.biSizeImage = 1600 * 600 * 3;
    auto topDown = Format(1600, 1200);
    Header(topDown).bmiHeader.biHeight = -1200;
    auto narrow = Format(1600, 1200);  // the raw frame is always sensor width
    Header(narrow).bmiHeader.biWidth = 800;
    Header(narrow).bmiHeader.biSizeImage = 800 * 1200 * 3;
    auto eightBit = Format(1600, 1200);  // an image the pipeline would overrun
    Header(eightBit).bmiHeader.biBitCount = 8;
    Header(eightBit).bmiHeader.biSizeImage = 1600 * 1200;
    for (auto* format : {&halved, &topDown, &narrow, &eightBit}) {
        EXPECT_EQ(Session().SetFormat(*format), STATUS_NO_MATCH);
        EXPECT_EQ(ReadoutMode(), 0x01);
        EXPECT_EQ(Device()->m_ulImageHeight, 544u);
    }
    KSALLOCATOR_FRAMING framing{};
    ASSERT_EQ(Session().GetAllocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FrameSize, 1600u * 544 * 3);
    EXPECT_EQ(Session().ProposeFormat(Format(1600, 544)), STATUS_NO_MATCH);
}

TEST_F(StreamTest, AZeroIntervalKeepsThePreviousOne) {
    Start(0x0906);
    ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    auto format = Format(640, 224);
    Header(format).AvgTimePerFrame = 0;
    ASSERT_EQ(Session().SetFormat(format), STATUS_SUCCESS);
    auto* stream = static_cast<StreamContext*>(Session().Stream()->Extension());
    EXPECT_EQ(stream->m_AvgTimePerFrame, 500000);
    EXPECT_EQ(stream->m_ulFrameSize, 640u * 224 * 3);
}

TEST_F(StreamTest, OpenRefusals) {
    Start(0x0906);
    auto format = Format(640, 480);
    // Stream 1 does not exist.
    auto other = Host().NewStream(1);
    auto srb = Host().NewSrb(SRB_OPEN_STREAM, other.get());
    (*srb)->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.data());
    EXPECT_EQ(Host().Call(*srb), STATUS_INVALID_PARAMETER);
    // One instance of stream 0.
    ASSERT_EQ(Session().OpenStream(format), STATUS_SUCCESS);
    auto second = Host().NewStream(0);
    auto again = Host().NewSrb(SRB_OPEN_STREAM, second.get());
    (*again)->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.data());
    EXPECT_EQ(Host().Call(*again), STATUS_INVALID_PARAMETER);
    // A memory shortage for the format copy fails the open with nothing left behind.
    ASSERT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    platform::Resources::FailTag(HalvexPoolTag("kkkk"), true);
    EXPECT_EQ(Session().OpenStream(format), STATUS_INSUFFICIENT_RESOURCES);
    platform::Resources::FailTag(HalvexPoolTag("kkkk"), false);
    EXPECT_FALSE(Session().StreamOpen());
    EXPECT_EQ(Device()->m_ulStreamOpenCount[0], 0u);
}

TEST_F(StreamTest, StatePropertiesAndUnsupportedRequests) {
    Start(0x0906);
    ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    KSALLOCATOR_FRAMING framing{};
    ASSERT_EQ(Session().GetAllocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.Frames, 2u);
    EXPECT_EQ(framing.FrameSize, 921600u);
    EXPECT_EQ(framing.RequirementsFlags, 0x80000003u);
    EXPECT_EQ(framing.PoolType, PagedPool);

    KSSTATE state{};
    EXPECT_EQ(Session().GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    ASSERT_EQ(Session().SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Session().GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_ACQUIRE);
    // Any other value an application sends is stored as it is and does nothing more.
    const auto unknown = static_cast<KSSTATE>(0x5CE5A156);
    ASSERT_EQ(Session().SetState(unknown), STATUS_SUCCESS);
    EXPECT_EQ(Session().GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, unknown);
    ASSERT_EQ(Session().SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);

    for (SRB_COMMAND command : {SRB_SET_STREAM_PROPERTY, SRB_OPEN_MASTER_CLOCK,
                                SRB_CLOSE_MASTER_CLOCK, SRB_SET_STREAM_RATE}) {
        auto srb = Host().NewSrb(command, Session().Stream());
        Host().SendControl(*Session().Stream(), *srb);
        EXPECT_TRUE(srb->Done());
        EXPECT_EQ(srb->Status(), STATUS_NOT_IMPLEMENTED);
    }
    auto write = Host().NewSrb(SRB_WRITE_DATA, Session().Stream());
    Host().SendData(*Session().Stream(), *write);
    EXPECT_EQ(write->Status(), STATUS_NOT_IMPLEMENTED);

    // A property of another set, and a framing request with too small an output.
    KSPROPERTY property{};
    property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = &property;
    descriptor.PropertyInputSize = sizeof property;
    KSALLOCATOR_FRAMING out{};
    descriptor.PropertyInfo = &out;
    descriptor.PropertyOutputSize = sizeof out;
    auto get = Host().NewSrb(SRB_GET_STREAM_PROPERTY, Session().Stream());
    (*get)->CommandData.PropertyInfo = &descriptor;
    Host().SendControl(*Session().Stream(), *get);
    EXPECT_EQ(get->Status(), STATUS_NOT_IMPLEMENTED);
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
    descriptor.PropertyOutputSize = sizeof out - 1;
    auto small = Host().NewSrb(SRB_GET_STREAM_PROPERTY, Session().Stream());
    (*small)->CommandData.PropertyInfo = &descriptor;
    Host().SendControl(*Session().Stream(), *small);
    EXPECT_EQ(small->Status(), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(StreamTest, MalformedReadsAreRefusedBeforeTheyWait) {
    Start(0x0906);
    ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    ASSERT_EQ(Session().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    auto noHeader = Host().NewSrb(SRB_READ_DATA, Session().Stream());
    Host().SendData(*Session().Stream(), *noHeader);
    EXPECT_EQ(noHeader->Status(), STATUS_INVALID_PARAMETER);

    auto shortHeader = Session().QueueRead(0);  // fine: an empty buffer waits
    EXPECT_FALSE(shortHeader->Done());
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;  // no room for the frame information
    auto noInfo = Host().NewSrb(SRB_READ_DATA, Session().Stream());
    (*noInfo)->CommandData.DataBufferArray = &header;
    Host().SendData(*Session().Stream(), *noInfo);
    EXPECT_EQ(noInfo->Status(), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(shortHeader->Status(), STATUS_CANCELLED);
}

}  // namespace
}  // namespace halvex::test
