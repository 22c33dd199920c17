#include "sim/scene.h"

namespace halvex::sim {
namespace {

// Six by four patches in the manner of a colour rendition chart: natural colours, primaries and
// secondaries, and a row of greys.
// Six by four patches in the manner of a colour rendition chart: natural colours, primaries and
// secondaries, and a row of greys. The colours are balanced so that their mean is grey, as the
// whole chart's is: an automatic white balance that equalises the channel averages leaves it as
// it is.
constexpr Rgb kPatches[24] = {
    {103, 82, 77},   {174, 150, 147}, {88, 122, 178}, {78, 108, 76},   {119, 128, 200},
    {92, 189, 192},  {192, 126, 50},  {72, 91, 188},  {173, 90, 112},  {84, 60, 122},
    {141, 188, 72},  {201, 163, 52},  {50, 61, 170},  {63, 148, 83},   {157, 54, 68},
    {207, 198, 35},  {168, 86, 169},  {7, 133, 182},  {243, 243, 243}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 122}, {85, 85, 85},   {52, 52, 52},
};

constexpr Rgb kBackground = {40, 40, 40};

uint8_t Grey(const Rgb& c) {
    return static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 8);
}

}  // namespace

Rgb ChartColour(uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
    // Top 60 %: the patches with a dark border around each.
    const uint32_t patchesBottom = height * 6 / 10;
    if (y < patchesBottom) {
        const uint32_t column = x * 6 / width;
        const uint32_t row = y * 4 / patchesBottom;
        const uint32_t cellX = x - column * width / 6;
        const uint32_t cellY = y - row * patchesBottom / 4;
        const uint32_t margin = width / 96 + 1;
        if (cellX < margin || cellY < margin)
            return kBackground;
        return kPatches[row * 6 + column];
    }
    // Next 20 %: a grey ramp from black on the left to white on the right.
    const uint32_t rampBottom = height * 8 / 10;
    if (y < rampBottom) {
        const uint8_t v = static_cast<uint8_t>(width > 1 ? x * 255 / (width - 1) : 0);
        return {v, v, v};
    }
    // Bottom 20 %: fine detail, black and white bars whose period shrinks from 32 to 2 pixels
    // across the width, vertical in the upper half and horizontal in the lower half.
    const uint32_t band = x * 5 / width;  // periods 32, 16, 8, 4, 2
    const uint32_t period = 32u >> band;
    const bool vertical = y < (rampBottom + height) / 2;
    const uint32_t phase = vertical ? x : y;
    const uint8_t v = (phase % period) < period / 2 ? 230 : 25;
    return {v, v, v};
}

int SiteColour(uint16_t arrangement, uint32_t x, uint32_t y) {
    // Colour of each 2x2 site (even/odd x, even/odd y) per code.
    static constexpr int kSites[4][4] = {
        {0, 1, 1, 2},  // 2: R G / G B
        {1, 0, 2, 1},  // 3: G R / B G
        {1, 2, 0, 1},  // 4: G B / R G
        {2, 1, 1, 0},  // 5: B G / G R
    };
    if (arrangement < 2 || arrangement > 5)
        return -1;
    return kSites[arrangement - 2][(x & 1) + 2 * (y & 1)];
}

std::vector<uint8_t> RenderRaw(uint32_t width, uint32_t height, uint16_t arrangement) {
    std::vector<uint8_t> raw(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const Rgb c = ChartColour(x, y, width, height);
            const int site = SiteColour(arrangement, x, y);
            const uint8_t v = site < 0 ? Grey(c) : site == 0 ? c.r : site == 1 ? c.g : c.b;
            raw[static_cast<size_t>(y) * width + x] = v;
        }
    }
    return raw;
}

}  // namespace halvex::sim
