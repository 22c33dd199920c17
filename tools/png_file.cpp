#include "tools/png_file.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace halvex::tools {
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Chunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
    Put32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    Put32(out, static_cast<uint32_t>(
                   crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

}  // namespace

std::string WritePng(const std::string& path, uint32_t width, uint32_t height,
                     const std::vector<uint8_t>& rgb) {
    const size_t stride = static_cast<size_t>(width) * 3;
    if (rgb.size() < stride * height)
        return "image smaller than its size";
    // Each row starts with filter type 0 (none).
    std::vector<uint8_t> raw;
    raw.reserve((stride + 1) * height);
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + y * stride, rgb.begin() + (y + 1) * stride);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 1) !=
        Z_OK)
        return "compression failed";
    packed.resize(packedSize);

    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Put32(header, width);
    Put32(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
    Chunk(file, "IHDR", header);
    Chunk(file, "IDAT", packed);
    Chunk(file, "IEND", {});

    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return strerror(errno);
    const bool written = fwrite(file.data(), 1, file.size(), f) == file.size();
    const bool closed = fclose(f) == 0;
    return written && closed ? "" : "write failed";
}

std::vector<uint8_t> UprightRgb(const uint8_t* bgrBottomUp, uint32_t width, uint32_t height) {
    const size_t stride = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> rgb(stride * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = bgrBottomUp + (height - 1 - y) * stride;
        uint8_t* out = rgb.data() + y * stride;
        for (uint32_t x = 0; x < width; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
    }
    return rgb;
}

}  // namespace halvex::tools
