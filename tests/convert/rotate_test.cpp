// Rotation and mirroring of the raw frame, with the arrangement code following.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/rotate_raw_frame.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

struct Turned {
    ULONG width, height;
    USHORT arrangement;
    std::string image;
    ULONG result;
};

Turned Turn(UCHAR operation, ULONG width, ULONG height, USHORT arrangement, std::string image) {
    ULONG w = width, h = height;
    USHORT a = arrangement;
    const ULONG result =
        RotateRawFrame(operation, &w, &h, &a, reinterpret_cast<UCHAR*>(image.data()));
    return {w, h, a, image, result};
}

class RotateTest : public PlatformTest {};

TEST_F(RotateTest, QuarterTurnsAndTranspositionsOfASmallFrame) {
    struct Case {
        UCHAR operation;
        const char* expected;
    };
    // a b c / d e f, 3 wide and 2 high, becomes 2 wide and 3 high.
    const Case cases[] = {{7, "adbecf"}, {4, "daebfc"}, {5, "cfbead"}, {6, "fcebda"}};
    for (const Case& c : cases) {
        const Turned t = Turn(c.operation, 3, 2, 2, "abcdef");
        EXPECT_EQ(t.result, 1u);
        EXPECT_EQ(t.image, c.expected) << "operation " << int(c.operation);
        EXPECT_EQ(t.width, 2u);
        EXPECT_EQ(t.height, 3u);
    }
}

TEST_F(RotateTest, InPlaceOperations) {
    EXPECT_EQ(Turn(1, 5, 2, 2, "12345abcde").image, "54321edcba");
    EXPECT_EQ(Turn(2, 7, 3, 2, "abcdefg1234567ABCDEFG").image, "ABCDEFG1234567abcdefg");
    EXPECT_EQ(Turn(3, 5, 1, 2, "12345").image, "54321");
    for (UCHAR none : {0, 8, 9, 255}) {
        const Turned t = Turn(none, 3, 2, 2, "abcdef");
        EXPECT_EQ(t.image, "abcdef");
        EXPECT_EQ(t.arrangement, 2);
        EXPECT_EQ(t.result, 1u);
    }
}

TEST_F(RotateTest, ArrangementCodeFollowsTheTurn) {
    const USHORT table[7][4] = {{3, 2, 5, 4}, {4, 5, 2, 3}, {5, 4, 3, 2}, {3, 5, 2, 4},
                                {4, 2, 5, 3}, {5, 3, 4, 2}, {2, 4, 3, 5}};
    for (UCHAR op = 1; op <= 7; ++op) {
        for (USHORT code = 2; code <= 5; ++code) {
            EXPECT_EQ(Turn(op, 6, 4, code, std::string(24, 'x')).arrangement,
                      table[op - 1][code - 2]);
        }
        EXPECT_EQ(Turn(op, 6, 4, 1, std::string(24, 'x')).arrangement, 1);
        EXPECT_EQ(Turn(op, 6, 4, 10, std::string(24, 'x')).arrangement, 10);
    }
    const Turned quarter = Turn(4, 6, 4, 2, std::string(24, 'x'));
    EXPECT_EQ(quarter.width, 4u);
    EXPECT_EQ(quarter.height, 6u);
    EXPECT_EQ(quarter.arrangement, 3);
}

TEST_F(RotateTest, QuarterTurnWithoutItsBufferChangesNothing) {
    platform::Resources::FailTag(HalvexPoolTag("DkSy"), true);
    const Turned t = Turn(4, 3, 2, 2, "abcdef");
    platform::Resources::FailTag(HalvexPoolTag("DkSy"), false);
    EXPECT_EQ(t.result, 0u);
    EXPECT_EQ(t.image, "abcdef");
    EXPECT_EQ(t.width, 3u);
    EXPECT_EQ(t.height, 2u);
    EXPECT_EQ(t.arrangement, 2);
}

}  // namespace
}  // namespace halvex::test
