// Raw pre-processing against worked cases.
#include <vector>

#include "imaging/raw_preprocessor.h"
#include "tests/imaging/records.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class PreprocessorTest : public PlatformTest {
  protected:
    Record<RawPreprocessor> pre = MakeRecord<RawPreprocessor>();
    void ReleaseObjects() override { pre.reset(); }
};

TEST_F(PreprocessorTest, ClipToMedian) {
    struct Case {
        std::vector<UCHAR> values;
        int expected;
    };
    const Case cases[] = {{{255, 40, 40, 40, 40}, 40},
                          {{0, 40, 40, 40, 40}, 0},
                          {{200, 100}, 150},
                          {{100, 200}, 100},
                          {{50, 60, 70}, 50}};
    for (Case c : cases)
        EXPECT_EQ(ClipToMedian(c.values.data(), static_cast<ULONG>(c.values.size())), c.expected);
}

TEST_F(PreprocessorTest, DefectClipping) {
    std::vector<UCHAR> raw(8 * 6, 40);
    raw[2 * 8 + 2] = 255;  // a red sample of code 2
    raw[2 * 8 + 4] = 0;    // a dark one stays dark
    raw[0 * 8 + 7] = 200;  // corner (W-1, 0): only (W-2, 1) is a diagonal neighbour
    raw[1 * 8 + 6] = 100;
    ASSERT_EQ(CorrectDefects(pre.get(), 8, 6, 2, raw.data()), 1u);
    EXPECT_EQ(raw[2 * 8 + 2], 40);
    EXPECT_EQ(raw[2 * 8 + 4], 0);
    EXPECT_EQ(raw[0 * 8 + 7], 150);
    std::vector<UCHAR> other(8 * 6, 40);
    other[2 * 8 + 2] = 255;
    for (USHORT code : {3, 4}) {
        EXPECT_EQ(CorrectDefects(pre.get(), 8, 6, code, other.data()), 0u);
        EXPECT_EQ(other[2 * 8 + 2], 255);
    }
}

TEST_F(PreprocessorTest, ReferenceCaptureAndSubtraction) {
    std::vector<UCHAR> frame = {10, 20, 11, 21, 12, 22,  // 6 x 4, positions 0 and 1
                                30, 40, 31, 41, 32, 42,  // positions 2 and 3
                                13, 23, 10, 20, 14, 24,  //
                                33, 43, 30, 40, 34, 44};
    const std::vector<UCHAR> passed = frame;
    ASSERT_EQ(CaptureReference(pre.get(), 6, 4, 2, frame.data()), 1u);
    EXPECT_EQ(frame, passed);
    EXPECT_EQ(pre->m_ulReferenceValid, REFERENCE_VALID);
    const std::vector<UCHAR> reference(pre->m_pReference, pre->m_pReference + 24);
    EXPECT_THAT(reference, ::testing::ElementsAre(0, 0, 1, 1, 2, 2, 0, 0, 1, 1, 2, 2, 3, 3, 0, 0, 4,
                                                  4, 3, 3, 0, 0, 4, 4));
    // Another size: nothing happens.
    std::vector<UCHAR> big(8 * 4, 50);
    EXPECT_EQ(SubtractReference(pre.get(), 8, 4, 2, big.data()), 0u);
    EXPECT_THAT(big, ::testing::Each(50));
    // Code 5: subtracted, not repaired.
    ASSERT_EQ(CaptureReference(pre.get(), 6, 4, 5, frame.data()), 1u);
    std::vector<UCHAR> same = passed;
    EXPECT_EQ(SubtractReference(pre.get(), 6, 4, 5, same.data()), 0u);
    EXPECT_EQ(same[2], 11 - 1);
}

TEST_F(PreprocessorTest, SaturatedSamplesAreRepaired) {
    for (int neighbours : {250, 200}) {
        // A 9 x 9 reference of 10 at (4, 4), 0 elsewhere; a frame of 255 at (4, 4).
        std::vector<UCHAR> reference(9 * 9, 0);
        reference[4 * 9 + 4] = 10;
        std::vector<UCHAR> capture = reference;
        ASSERT_EQ(CaptureReference(pre.get(), 9, 9, 2, capture.data()), 1u);
        pre->m_pReference[4 * 9 + 4] = 10;  // keep the value: the minima are 0 anyway
        std::vector<UCHAR> frame(9 * 9, static_cast<UCHAR>(neighbours));
        frame[4 * 9 + 4] = 255;
        ASSERT_EQ(SubtractReference(pre.get(), 9, 9, 2, frame.data()), 1u);
        EXPECT_EQ(frame[4 * 9 + 4], neighbours == 250 ? 250 : 245) << neighbours;
    }
}

}  // namespace
}  // namespace halvex::test
