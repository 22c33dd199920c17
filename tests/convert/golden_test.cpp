// Golden checksums of every conversion method and every arrangement code it accepts, on a fixed
// pseudo-random frame of each sensor size. Any change to a method's output, for example by an
// optimisation, shows here. HALVEX_PRINT_GOLDEN=1 prints the table as the code now computes it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/convert/raw_image.h"

namespace halvex::test {
namespace {

struct Golden {
    ULONG width, height;
    UCHAR method;
    USHORT code;
    uint64_t checksum;
};

// FNV-1a over the destination bytes.
uint64_t Checksum(const std::vector<UCHAR>& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (UCHAR b : bytes) hash = (hash ^ b) * 1099511628211ull;
    return hash;
}

const Golden kGolden[] = {
#include "tests/convert/golden_checksums.inc"
};

std::vector<Golden> Combinations() {
    const ULONG sizes[][2] = {{640, 480}, {1024, 768}, {1280, 960}, {1360, 1024}, {1600, 1200}};
    std::vector<Golden> all;
    for (const auto& size : sizes) {
        auto add = [&](UCHAR method, USHORT code) {
            all.push_back({size[0], size[1], method, code, 0});
        };
        for (USHORT code = 1; code <= 5; ++code) add(0, code);
        for (UCHAR method : {1, 2, 3, 4, 6})
            for (USHORT code = 2; code <= 5; ++code) add(method, code);
        for (USHORT code = 1; code <= 5; ++code) add(5, code);
        add(7, 2);
        add(7, 10);
        add(3, 10);  // the packed source; every method from 1 to 6 gives the same
    }
    return all;
}

uint64_t Convert(const Golden& g) {
    // Code 10 reads two bytes per pixel.
    RawImage image(g.width * (g.code == 10 ? 2 : 1), g.height);
    image.FillPseudoRandom(g.width * 7919 + g.height);
    std::vector<UCHAR> out(static_cast<size_t>(g.width) * g.height * 3, 0);
    ULONG status = 0;
    EXPECT_EQ(
        ConvertRawFrame(&status, g.width, g.height, image.raw.data(), out.data(), g.method, g.code),
        1u);
    return Checksum(out);
}

TEST(GoldenChecksums, EveryMethodEveryCodeEverySensorSize) {
    const std::vector<Golden> all = Combinations();
    const bool print = std::getenv("HALVEX_PRINT_GOLDEN") != nullptr;
    ASSERT_TRUE(print || std::size(kGolden) == all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const Golden& g = all[i];
        const uint64_t got = Convert(g);
        if (print) {
            printf("    {%u, %u, %u, %u, 0x%016llxull},\n", g.width, g.height, g.method, g.code,
                   static_cast<unsigned long long>(got));
            continue;
        }
        const Golden& want = kGolden[i];
        ASSERT_TRUE(want.width == g.width && want.height == g.height && want.method == g.method &&
                    want.code == g.code);
        EXPECT_EQ(got, want.checksum)
            << g.width << "x" << g.height << " method " << int(g.method) << " code " << g.code;
    }
}

}  // namespace
}  // namespace halvex::test
