// Conversion methods 0, 1, 2, 4, 5, 6, 7 and the packed luma/chroma source, bit-exact against
// worked cases, and the dispatcher's selection and size refusals.
#include <gtest/gtest.h>

#include <vector>

#include "tests/convert/raw_image.h"

namespace halvex::test {
namespace {

using Image = RawImage;
using Px = std::vector<int>;

// ---------------------------------------------------------------------------------------------
// Method 6
// ---------------------------------------------------------------------------------------------
TEST(FourNeighbourBilinear, GreenAtInnerRedAndBlueSitesComesFromFourNeighbours) {
    Image image(8, 6);
    image.S(3, 2) = 128;  // a green site of arrangement 2
    ULONG status = 0;
    ASSERT_EQ(image.Convert(6, 2, &status), 1u);
    for (ULONG y = 0; y < 6; ++y) {
        for (ULONG x = 0; x < 8; ++x) {
            int green = 0;
            if (x == 3 && y == 2)
                green = 128;
            else if ((y == 2 && (x == 2 || x == 4)) || (x == 3 && (y == 1 || y == 3)))
                green = 32;
            EXPECT_EQ(image.Px(x, y), (Px{0, green, 0})) << x << "," << y;
        }
    }
}

TEST(FourNeighbourBilinear, RoundingEdgesAndTinyFrames) {
    Image image(8, 6);
    image.S(1, 2) = 1;  // around the inner red site (2, 2): left 1, right 2, above 1, below 4
    image.S(3, 2) = 2;
    image.S(2, 1) = 1;
    image.S(2, 3) = 4;
    image.S(1, 4) = 9;  // column 0, row 4 is a red site: green from column 1 alone
    image.S(0, 3) = 200;
    image.S(0, 5) = 100;
    ULONG status = 0;
    ASSERT_EQ(image.Convert(6, 2, &status), 1u);
    EXPECT_EQ(image.Px(2, 2)[1], 1);
    EXPECT_EQ(image.Px(0, 4)[1], 9);

    Image tiny(2, 2);
    tiny.raw = {10, 20, 30, 40};  // R G / G B
    ASSERT_EQ(tiny.Convert(6, 2, &status), 1u);
    EXPECT_EQ(tiny.Px(0, 0), (Px{40, 20, 10}));
    EXPECT_EQ(tiny.Px(1, 0), (Px{40, 20, 10}));
    EXPECT_EQ(tiny.Px(0, 1), (Px{40, 30, 10}));
    EXPECT_EQ(tiny.Px(1, 1), (Px{40, 30, 10}));
}

TEST(FourNeighbourBilinear, EdgesMatchMethodThreeExceptCodeThreesColumns) {
    for (USHORT code = 2; code <= 5; ++code) {
        Image six(16, 12), three(16, 12);
        six.FillPseudoRandom(code);
        three.raw = six.raw;
        ULONG status = 0;
        ASSERT_EQ(six.Convert(6, code, &status), 1u);
        ASSERT_EQ(three.Convert(3, code, &status), 1u);
        for (ULONG y = 0; y < 12; ++y) {
            for (ULONG x = 0; x < 16; ++x) {
                const bool edgeRow = y == 0 || y == 11;
                const bool edgeColumn = x == 0 || x == 15;
                if (!edgeRow && !edgeColumn)
                    continue;
                if (code == 3 && edgeColumn && !edgeRow) {
                    // Method 6 has no exception: the cross colour is the mean of above and
                    // below, like every other code.
                    continue;
                }
                EXPECT_EQ(six.Px(x, y), three.Px(x, y)) << code << ": " << x << "," << y;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Method 4
// ---------------------------------------------------------------------------------------------
TEST(FourTap, EstimatesRoundAndClampEachTable) {
    struct Case {
        int near1, near2, far1, far2, expected;
    };
    const Case cases[] = {{200, 200, 0, 0, 250},     {255, 255, 0, 0, 255}, {0, 0, 255, 255, 0},
                          {100, 100, 100, 100, 100}, {10, 11, 0, 0, 13},    {0, 1, 2, 2, 0}};
    for (const Case& c : cases) {
        Image image(8, 8);
        image.S(3, 0) = static_cast<UCHAR>(c.near1);
        image.S(5, 0) = static_cast<UCHAR>(c.near2);
        image.S(1, 0) = static_cast<UCHAR>(c.far1);
        image.S(7, 0) = static_cast<UCHAR>(c.far2);
        ULONG status = 0;
        ASSERT_EQ(image.Convert(4, 2, &status), 1u);
        EXPECT_EQ(image.Px(4, 0)[1], c.expected)
            << c.near1 << " " << c.near2 << " / " << c.far1 << " " << c.far2;
    }
}

TEST(FourTap, ColumnsAndEdges) {
    Image image(8, 8);
    image.S(5, 3) = 200;  // blue samples above and below the green site (5, 4)
    image.S(5, 5) = 200;
    image.S(1, 0) = 40;  // green around the red sites of row 0
    image.S(3, 0) = 60;
    ULONG status = 0;
    ASSERT_EQ(image.Convert(4, 2, &status), 1u);
    EXPECT_EQ(image.Px(5, 4)[0], 250);
    EXPECT_EQ(image.Px(2, 0)[1], 50);  // no sample at x = -1: the mean of two
    EXPECT_EQ(image.Px(0, 0)[1], 40);  // the one neighbour
}

// ---------------------------------------------------------------------------------------------
// Method 5
// ---------------------------------------------------------------------------------------------
TEST(Adaptive, EstimateTakesTheOutstandingCandidateOrTheMean) {
    for (int v : {0, 1, 100, 255}) {
        const UCHAR u = static_cast<UCHAR>(v);
        EXPECT_EQ(AdaptiveEstimate(u, u, u, u), v);
    }
    // The lone 200 stands out: the mean of the other three wins.
    EXPECT_EQ(AdaptiveEstimate(10, 200, 10, 10), 10);
    // An even neighbourhood whose candidates sit a little below their references gives the mean
    // of the four (a wrap-around difference would count them as 254 and pick 10).
    EXPECT_EQ(AdaptiveEstimate(8, 10, 12, 14), 11);
}

TEST(Adaptive, ReadsEveryCodeAsTheFirstPhaseAndLeavesTheRing) {
    Image reference(12, 10);
    reference.FillPseudoRandom(5);
    ULONG status = 0;
    ASSERT_EQ(reference.Convert(5, 2, &status), 1u);
    for (USHORT code : {1, 3, 4, 5}) {
        Image other(12, 10);
        other.raw = reference.raw;
        ASSERT_EQ(other.Convert(5, code, &status), 1u);
        EXPECT_EQ(other.out, reference.out) << code;
    }
    for (ULONG y = 0; y < 10; ++y) {
        for (ULONG x = 0; x < 12; ++x) {
            if (x == 0 || x == 11 || y == 0 || y == 9) {
                EXPECT_EQ(reference.Px(x, y), (Px{0xEE, 0xEE, 0xEE})) << x << "," << y;
            }
        }
    }
    for (auto size : {std::pair<ULONG, ULONG>{2, 8}, {8, 2}}) {
        Image tiny(size.first, size.second, 9);
        ASSERT_EQ(tiny.Convert(5, 2, &status), 1u);
        for (UCHAR v : tiny.out) ASSERT_EQ(v, 0xEE);
    }
}

TEST(Adaptive, TheRingFillIsMethodThreesRing) {
    Image image(12, 10), three(12, 10);
    image.FillPseudoRandom(9);
    three.raw = image.raw;
    ULONG status = 0;
    ASSERT_EQ(three.Convert(3, 2, &status), 1u);
    FillRingBilinear(12, 10, image.raw.data(), image.out.data());
    for (ULONG y = 0; y < 10; ++y) {
        for (ULONG x = 0; x < 12; ++x) {
            if (x == 0 || x == 11 || y == 0 || y == 9)
                EXPECT_EQ(image.Px(x, y), three.Px(x, y)) << x << "," << y;
            else
                EXPECT_EQ(image.Px(x, y), (Px{0xEE, 0xEE, 0xEE}));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Methods 0, 1, 2 and 7
// ---------------------------------------------------------------------------------------------
TEST(DirectViews, GreyOwnColourAndCellReplication) {
    Image grey(2, 1);
    grey.raw = {1, 2};
    ULONG status = 0;
    ASSERT_EQ(grey.Convert(0, 1, &status), 1u);
    EXPECT_EQ(grey.out, (std::vector<UCHAR>{1, 1, 1, 2, 2, 2}));

    Image own(2, 2);
    own.raw = {10, 20, 30, 40};
    ASSERT_EQ(own.Convert(1, 2, &status), 1u);
    EXPECT_EQ(own.Px(0, 0), (Px{0, 0, 10}));
    EXPECT_EQ(own.Px(1, 0), (Px{0, 20, 0}));
    EXPECT_EQ(own.Px(1, 1), (Px{40, 0, 0}));

    Image cell(2, 2);
    cell.raw = {10, 20, 30, 40};
    ASSERT_EQ(cell.Convert(2, 2, &status), 1u);
    EXPECT_EQ(cell.Px(0, 0), (Px{40, 20, 10}));
    EXPECT_EQ(cell.Px(1, 0), (Px{40, 20, 10}));
    EXPECT_EQ(cell.Px(0, 1), (Px{40, 30, 10}));
    EXPECT_EQ(cell.Px(1, 1), (Px{40, 30, 10}));
    ASSERT_EQ(cell.Convert(2, 3, &status), 1u);  // G R / B G
    EXPECT_EQ(cell.Px(0, 0), (Px{30, 10, 20}));
    EXPECT_EQ(cell.Px(1, 0), (Px{30, 10, 20}));
    EXPECT_EQ(cell.Px(0, 1)[1], 40);
    EXPECT_EQ(cell.Px(1, 1)[1], 40);
}

TEST(DirectViews, PlaneSplitSortsTheCellPositionsForAnyCode) {
    for (USHORT code : {1, 2, 6, 10, 999}) {
        Image image(4, 2);
        image.raw = {1, 2, 3, 4, 5, 6, 7, 8};
        ULONG status = 0;
        ASSERT_EQ(image.Convert(7, code, &status), 1u);
        const int expected[8] = {1, 3, 2, 4, 5, 7, 6, 8};
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(image.Px(i % 4, i / 4), (Px{expected[i], expected[i], expected[i]}));
    }
}

// ---------------------------------------------------------------------------------------------
// Packed luma/chroma
// ---------------------------------------------------------------------------------------------
TEST(PackedLumaChroma, ChromaOffsetsAndClamping) {
    struct Case {
        UCHAR y0, u, y1, v;
        Px first, second;
    };
    const Case cases[] = {
        {100, 128, 200, 128, {100, 100, 100}, {200, 200, 200}},
        {100, 255, 100, 128, {255, 0, 100}, {255, 0, 100}},
        {50, 0, 50, 255, {0, 51, 177}, {0, 51, 177}},
        {0, 0, 0, 0, {0, 255, 0}, {0, 255, 0}},
    };
    for (const Case& c : cases) {
        // Two pixels of code 10 are four source bytes; methods 1 to 6 all run the same routine.
        for (UCHAR method : {1, 2, 3, 4, 5, 6, 9, 255}) {
            Image image(2, 1);
            image.raw = {c.y0, c.u, c.y1, c.v};
            ULONG status = 0;
            ASSERT_EQ(image.Convert(method, 10, &status), 1u) << int(method);
            EXPECT_EQ(image.Px(0, 0), c.first);
            EXPECT_EQ(image.Px(1, 0), c.second);
        }
    }
    Image odd(3, 1);  // an odd pixel count: the last pixel is not written
    odd.raw = {100, 128, 100, 128, 0, 0};
    ULONG status = 0;
    ASSERT_EQ(odd.Convert(3, 10, &status), 1u);
    EXPECT_EQ(odd.Px(2, 0), (Px{0xEE, 0xEE, 0xEE}));
}

// ---------------------------------------------------------------------------------------------
// Selection
// ---------------------------------------------------------------------------------------------
TEST(Selection, ConstantFramesStayConstantForEveryInterpolatingMethod) {
    for (UCHAR method : {2, 3, 4, 5, 6}) {
        for (USHORT code = 2; code <= 5; ++code) {
            Image image(12, 10, 131);
            // Method 5 leaves the ring, and reads it next to it: it is filled first, as the
            // frame pipeline does.
            if (method == 5)
                FillRingBilinear(12, 10, image.raw.data(), image.out.data());
            ULONG status = 0;
            ASSERT_EQ(image.Convert(method, code, &status), 1u);
            for (ULONG y = 0; y < 10; ++y) {
                for (ULONG x = 0; x < 12; ++x) {
                    ASSERT_EQ(image.Px(x, y), (Px{131, 131, 131}))
                        << int(method) << "/" << code << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(Selection, RefusalsReportSixAndLeaveTheDestination) {
    struct Case {
        UCHAR method;
        USHORT code;
        ULONG width, height;
    };
    const Case refused[] = {
        {1, 1, 8, 8}, {1, 6, 8, 8}, {2, 1, 8, 8}, {2, 6, 8, 8}, {4, 1, 8, 8},
        {4, 6, 8, 8}, {6, 1, 8, 8}, {6, 6, 8, 8}, {0, 6, 8, 8}, {0, 10, 8, 8},
        {8, 2, 8, 8}, {3, 2, 7, 8}, {3, 2, 8, 7}, {3, 2, 8, 2}, {4, 2, 4, 8},
        {4, 2, 8, 4}, {6, 2, 0, 8}, {5, 2, 9, 9}, {7, 2, 3, 2}, {1, 2, 1, 1},
    };
    for (const Case& c : refused) {
        Image image(c.width, c.height, 50);
        ULONG status = 0;
        EXPECT_EQ(image.Convert(c.method, c.code, &status), 0u)
            << int(c.method) << "/" << c.code << " " << c.width << "x" << c.height;
        EXPECT_EQ(status, 6u);
        for (UCHAR v : image.out) ASSERT_EQ(v, 0xEE);
    }
}

}  // namespace
}  // namespace halvex::test
