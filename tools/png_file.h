// Writing 8-bit RGB images as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvex::tools {

// Writes width x height pixels of red, green, blue (rows top to bottom) as a PNG file; returns
// an empty string, or what went wrong.
std::string WritePng(const std::string& path, uint32_t width, uint32_t height,
                     const std::vector<uint8_t>& rgb);

// The rows of a bottom-up image of blue, green, red pixels (as the stream delivers them) turned
// into top-to-bottom red, green, blue.
std::vector<uint8_t> UprightRgb(const uint8_t* bgrBottomUp, uint32_t width, uint32_t height);

}  // namespace halvex::tools
