#include <vector>

#include "driver/stream.h"
#include "driver/stream_formats.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class FormatMatchTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();  // model 0x0906: the six 640-wide formats
    }

    // The published 640 x 480 range, as an application would pass it.
    KS_DATARANGE_VIDEO Range640() { return g_VideoRanges[24]; }

    NTSTATUS Intersect(const KS_DATARANGE_VIDEO& range, void* buffer, ULONG size,
                       ULONG* transferred, ULONG stream = 0) {
        STREAM_DATA_INTERSECT_INFO info{stream, const_cast<PKSDATARANGE>(&range.DataRange), buffer,
                                        size};
        auto srb = Host().NewSrb(SRB_GET_DATA_INTERSECTION);
        (*srb)->CommandData.IntersectInfo = &info;
        NTSTATUS status = Host().Call(*srb);
        *transferred = (*srb)->ActualBytesTransferred;
        return status;
    }

    static KS_DATAFORMAT_VIDEOINFOHEADER Format(LONG width, LONG height, ULONG image) {
        KS_DATAFORMAT_VIDEOINFOHEADER f{};
        f.DataFormat.FormatSize = sizeof f;
        f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
        f.DataFormat.SubFormat = MEDIASUBTYPE_RGB24;
        f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
        f.VideoInfoHeader.bmiHeader = {40, width, height, 1, 24, 0, image, 0, 0, 0, 0};
        return f;
    }
};

TEST_F(FormatMatchTest, IntersectionReturnsTheCallersFormatWithItsImageSize) {
    KS_DATAFORMAT_VIDEOINFOHEADER result{};
    ULONG transferred = 0;
    ASSERT_EQ(Intersect(Range640(), &result, sizeof result, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, sizeof(KSDATAFORMAT) + 88);
    EXPECT_EQ(result.DataFormat.FormatSize, sizeof(KSDATAFORMAT) + 88);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biWidth, 640);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biHeight, 480);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biSizeImage, 921600u);
    EXPECT_EQ(result.DataFormat.SampleSize, 921600u);
    EXPECT_EQ(result.VideoInfoHeader.AvgTimePerFrame, 500000);

    ULONG size = 0;
    ASSERT_EQ(Intersect(Range640(), &size, sizeof size, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(size, sizeof(KSDATAFORMAT) + 88);
    EXPECT_EQ(transferred, 4u);

    auto other = Range640();  // dimensions are not compared
    other.VideoInfoHeader.bmiHeader.biWidth = 1000;
    other.VideoInfoHeader.bmiHeader.biHeight = 100;
    ASSERT_EQ(Intersect(other, &result, sizeof result, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biSizeImage, 300000u);

    auto subWild = Range640();
    subWild.DataRange.SubFormat = KSDATAFORMAT_TYPE_WILDCARD;
    EXPECT_EQ(Intersect(subWild, &result, sizeof result, &transferred), STATUS_SUCCESS);
}

TEST_F(FormatMatchTest, IntersectionRefusals) {
    KS_DATAFORMAT_VIDEOINFOHEADER result{};
    ULONG transferred = 0;
    auto temporal = Range640();
    temporal.bTemporalCompression = FALSE;
    EXPECT_EQ(Intersect(temporal, &result, sizeof result, &transferred), STATUS_NO_MATCH);
    auto wildSpecifier = Range640();
    wildSpecifier.DataRange.Specifier = KSDATAFORMAT_TYPE_WILDCARD;
    EXPECT_EQ(Intersect(wildSpecifier, &result, sizeof result, &transferred), STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(Range640(), &result, sizeof result - 1, &transferred),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Intersect(Range640(), &result, sizeof result, &transferred, 1),
              STATUS_NOT_IMPLEMENTED);
    auto bigHeader = Range640();
    bigHeader.VideoInfoHeader.bmiHeader.biSize = 41;
    EXPECT_EQ(Intersect(bigHeader, &result, sizeof result, &transferred), STATUS_INVALID_PARAMETER);
    auto shortHeader = Range640();  // too short to hold biSizeImage
    shortHeader.VideoInfoHeader.bmiHeader.biSize = 12;
    EXPECT_EQ(Intersect(shortHeader, &result, sizeof result, &transferred),
              STATUS_INVALID_PARAMETER);
}

TEST_F(FormatMatchTest, VerifyFormatChecksTheImageAgainstItsDeclaredSize) {
    auto exact = Format(640, 480, 640 * 480 * 3);
    EXPECT_TRUE(VerifyFormat(&exact.DataFormat, 0));
    EXPECT_FALSE(VerifyFormat(&exact.DataFormat, 1));
    auto small = Format(640, 480, 640 * 480 * 3 - 1);
    EXPECT_FALSE(VerifyFormat(&small.DataFormat, 0));
    auto truncated = Format(640, 480, 640 * 480 * 3);
    truncated.DataFormat.FormatSize = sizeof truncated - 1;
    EXPECT_FALSE(VerifyFormat(&truncated.DataFormat, 0));
    auto wraps = Format(0x10000, 0x10000, 0xFFFFFFFF);
    EXPECT_FALSE(VerifyFormat(&wraps.DataFormat, 0));
    auto hugeHeader = Format(640, 480, 640 * 480 * 3);
    hugeHeader.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0;
    EXPECT_FALSE(VerifyFormat(&hugeHeader.DataFormat, 0));
    auto topDown = Format(640, -480, 640 * 480 * 3);  // heights are enforced at set format
    EXPECT_TRUE(VerifyFormat(&topDown.DataFormat, 0));
}

}  // namespace
}  // namespace halvex::test
