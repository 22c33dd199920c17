// The scene the simulated camera looks at: a test chart of colour patches, a grey ramp and fine
// detail, sampled through a sensor's mosaic phase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvex::sim {

struct Rgb {
    uint8_t r, g, b;
};

// The chart's colour at column x, row y of a width x height picture; row 0 is the top.
Rgb ChartColour(uint32_t x, uint32_t y, uint32_t width, uint32_t height);

// The colour (0 red, 1 green, 2 blue) of the sample at (x, y) under mosaic code 2 to 5, or -1
// for any other code (the sensor then records grey).
int SiteColour(uint16_t arrangement, uint32_t x, uint32_t y);

// The raw image a sensor with this arrangement code records of the chart: one sample per pixel,
// the colour of its mosaic site (codes 2 to 5), or the grey of the chart for any other code.
std::vector<uint8_t> RenderRaw(uint32_t width, uint32_t height, uint16_t arrangement);

}  // namespace halvex::sim
