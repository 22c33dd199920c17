// Conversion and rotation with any method, arrangement code, rotation and size: the raw and
// destination buffers are exactly as large as the size says, so any access outside them is
// caught. A refused conversion must leave the destination untouched.
#include <vector>

#include "convert/convert_raw_frame.h"
#include "convert/rotate_raw_frame.h"
#include "fuzz/fuzz_support.h"
#include "platform/runtime.h"

using halvex::fuzz::Fail;
using halvex::fuzz::Input;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const UCHAR method = in.U8();
    const USHORT codes[] = {1, 2, 3, 4, 5, 10, 0, 6, 9, 11};
    USHORT arrangement = in.Pick(codes);
    const UCHAR operation = in.U8() % 9;  // 8 is no operation at all
    const bool ring = in.Bool();
    // Sizes up to 70 x 70 reach every edge case of the methods; larger ones only repeat them.
    ULONG width = in.Below(71);
    ULONG height = in.Below(71);
    halvex::fuzz::Scope scope;  // rotation by a quarter allocates pool

    const size_t samples = static_cast<size_t>(width) * height *
                           (arrangement == ARRANGEMENT_PACKED_LUMA_CHROMA ? 2 : 1);
    std::vector<UCHAR> raw(samples);
    for (UCHAR& v : raw) v = in.U8();
    // Method 5 has an AVX2 routine besides the SSE2 one; either may be asked for.
    halvex::platform::HideProcessorFeature(PF_AVX2_INSTRUCTIONS_AVAILABLE, in.Bool());
    // A flip can instead be done by converting bottom-up; that must give the same bytes.
    std::vector<UCHAR> bottomUp(static_cast<size_t>(width) * height * 3, 0xEE);
    const ULONG convertedBottomUp =
        operation == ROTATE_FLIP ? ConvertFlippedRawFrame(width, height, raw.data(),
                                                          bottomUp.data(), method, arrangement)
                                 : 0;
    // The pipeline turns the frame before it converts it, whatever its arrangement.
    const ULONG pixels = width * height;
    if (operation != 8)
        RotateRawFrame(operation, &width, &height, &arrangement, raw.data());
    if (width * height != pixels)
        Fail("rotation changed the number of pixels");

    std::vector<UCHAR> out(static_cast<size_t>(width) * height * 3, 0xEE);
    if (ring)
        FillRingBilinear(width, height, raw.data(), out.data());
    const std::vector<UCHAR> before = out;
    ULONG status = 0;
    // The source holds W x H samples, or two bytes per pixel for the packed arrangement.
    if (arrangement == ARRANGEMENT_PACKED_LUMA_CHROMA &&
        samples < static_cast<size_t>(width) * height * 2)
        return 0;
    const ULONG converted =
        ConvertRawFrame(&status, width, height, raw.data(), out.data(), method, arrangement);
    if (converted == 0 && (status != CONVERT_STATUS_UNSUPPORTED || out != before))
        Fail("a refused conversion wrote to the destination or gave no status");
    if (converted != 0 && converted != 1)
        Fail("a conversion returned neither 0 nor 1");
    if (convertedBottomUp != 0 && (converted != 1 || bottomUp != out))
        Fail("the bottom-up conversion differs from flipping, then converting");
    // The fast bilinear routines against the plain one.
    if (converted == 1 && (method == 3 || method == 6) && arrangement >= ARRANGEMENT_RGGB &&
        arrangement <= ARRANGEMENT_BGGR) {
        std::vector<UCHAR> plain(out.size(), 0xEE);
        ConvertBilinearReference(arrangement, method == 6, width, height, raw.data(), plain.data());
        if (plain != out && !ring)
            Fail("the fast bilinear routine differs from the plain one");
    }
    // The one-pass adaptive routines against the two-pass one.
    if (converted == 1 && method == 5 && arrangement != ARRANGEMENT_PACKED_LUMA_CHROMA) {
        std::vector<UCHAR> plain = before;
        ConvertAdaptiveReference(width, height, raw.data(), plain.data());
        if (plain != out)
            Fail("the one-pass adaptive routine differs from the two-pass one");
    }
    return 0;
}
