// Method 3 and the dispatcher's refusals, bit-exact against worked cases.
#include <gtest/gtest.h>

#include <vector>

#include "convert/convert_raw_frame.h"
#include "tests/convert/raw_image.h"

namespace halvex::test {
namespace {

using Image = RawImage;

TEST(BilinearHorizontal, ConstantFrameGivesTheConstantEverywhereForEveryPhase) {
    for (USHORT code = 2; code <= 5; ++code) {
        Image image(8, 6, 77);
        ULONG status = 0;
        ASSERT_EQ(image.Convert(3, code, &status), 1u) << code;
        EXPECT_EQ(status, 0u);
        for (UCHAR v : image.out) ASSERT_EQ(v, 77) << "arrangement " << code;
    }
}

TEST(BilinearHorizontal, SingleBlueSampleSpreadsToItsNeighbours) {
    Image image(8, 6);
    image.S(3, 3) = 128;
    ULONG status = 0;
    ASSERT_EQ(image.Convert(3, 2, &status), 1u);
    for (ULONG y = 0; y < 6; ++y) {
        for (ULONG x = 0; x < 8; ++x) {
            int blue = 0;
            if (x == 3 && y == 3)
                blue = 128;
            else if ((x == 3 && (y == 2 || y == 4)) || (y == 3 && (x == 2 || x == 4)))
                blue = 64;
            else if ((x == 2 || x == 4) && (y == 2 || y == 4))
                blue = 32;
            EXPECT_EQ(image.Px(x, y), (std::vector<int>{blue, 0, 0})) << x << "," << y;
        }
    }
}

TEST(BilinearHorizontal, EdgesAndTheCodeThreeEdgeColumns) {
    Image image(8, 6);
    for (ULONG i = 0; i < image.raw.size(); ++i) image.raw[i] = static_cast<UCHAR>(i * 37 + 11);
    const Image source = image;
    auto S = [&](ULONG x, ULONG y) { return static_cast<int>(source.raw[y * 8 + x]); };
    ULONG status = 0;

    ASSERT_EQ(image.Convert(3, 2, &status), 1u);
    // (0, 0) red site: red itself, green from the right, blue from the lower diagonal.
    EXPECT_EQ(image.Px(0, 0), (std::vector<int>{S(1, 1), S(1, 0), S(0, 0)}));
    // (W-1, H-1) blue site.
    EXPECT_EQ(image.Px(7, 5), (std::vector<int>{S(7, 5), S(6, 5), S(6, 4)}));
    // (W-1, 1) blue site in the last column: red is the mean of the two left diagonals.
    EXPECT_EQ(image.Px(7, 1)[2], (S(6, 0) + S(6, 2)) >> 1);

    Image three = source;
    ASSERT_EQ(three.Convert(3, 3, &status), 1u);
    // (0, 1) blue site: red from its lower inner diagonal alone.
    EXPECT_EQ(three.Px(0, 1), (std::vector<int>{S(0, 1), S(1, 1), S(1, 2)}));
    // (0, 0) green site of code 3: blue is the sample below alone; in the last row, the row
    // above.
    EXPECT_EQ(three.Px(0, 0)[0], S(0, 1));
    // (7, 2) red site in the last column: blue is the row-3 value there, a green site's
    // horizontal neighbour.
    EXPECT_EQ(three.Px(7, 2)[0], S(6, 3));
    EXPECT_EQ(three.Px(0, 5)[2], S(1, 4));  // last row, column 0 (blue site): red from above
}

TEST(BilinearHorizontal, MeansRoundDownAtEachStep) {
    // Arrangement 2: pixel (2, 2) is red; its blue comes from the diagonals.
    Image image(8, 6);
    image.S(1, 2) = 1;
    image.S(3, 2) = 2;  // green at (2, 2): mean of 1 and 2 -> 1
    image.S(1, 1) = 1;
    image.S(3, 1) = 2;  // upper diagonals -> 1
    image.S(1, 3) = 1;
    image.S(3, 3) = 4;  // lower diagonals -> 2
    ULONG status = 0;
    ASSERT_EQ(image.Convert(3, 2, &status), 1u);
    EXPECT_EQ(image.Px(2, 2)[1], 1);
    EXPECT_EQ(image.Px(2, 2)[0], 1);  // mean of 1 and 2, not the plain mean of four (2)
}

TEST(BilinearHorizontal, TwoColumnsUseTheOneNeighbour) {
    Image image(2, 4);
    for (ULONG i = 0; i < 8; ++i) image.raw[i] = static_cast<UCHAR>(10 * (i + 1));
    auto S = [&](ULONG x, ULONG y) { return static_cast<int>(image.raw[y * 2 + x]); };
    ULONG status = 0;
    ASSERT_EQ(image.Convert(3, 2, &status), 1u);
    for (ULONG y = 0; y < 4; y += 2) {
        EXPECT_EQ(image.Px(0, y)[1], S(1, y));          // green at red: the right neighbour
        EXPECT_EQ(image.Px(1, y)[2], S(0, y));          // red at green: the left neighbour
        EXPECT_EQ(image.Px(0, y + 1)[0], S(1, y + 1));  // blue at green
        EXPECT_EQ(image.Px(1, y + 1)[1], S(0, y + 1));  // green at blue
    }
}

TEST(ConvertRawFrame, RefusedCombinationsLeaveTheDestinationAndReportSix) {
    struct Case {
        UCHAR method;
        USHORT arrangement;
    };
    const Case refused[] = {{3, 1}, {3, 6}, {0, 10}, {8, 2}, {255, 3}};
    for (const Case& c : refused) {
        Image image(8, 6, 5);
        ULONG status = 0;
        EXPECT_EQ(image.Convert(c.method, c.arrangement, &status), 0u);
        EXPECT_EQ(status, 6u);
        for (UCHAR v : image.out) ASSERT_EQ(v, 0xEE);
    }
}

}  // namespace
}  // namespace halvex::test
