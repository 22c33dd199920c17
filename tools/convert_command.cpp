// halvex convert: a raw frame from a file, turned and converted by the driver's own routines,
// into a PNG image or into the exact destination bytes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert/convert_raw_frame.h"
#include "convert/rotate_raw_frame.h"
#include "tools/commands.h"
#include "tools/png_file.h"

namespace halvex::tools {
namespace {

const char kConvertUsage[] =
    "usage: halvex convert IN OUT --size WxH --arrangement A --method M [--rotate OP]\n"
    "       halvex convert IN OUT.png --size WxH --arrangement A --all-methods [--rotate OP]\n"
    "\n"
    "Converts one raw frame with the driver's conversion routines.\n"
    "\n"
    "  IN               W x H bytes of samples, row after row (2 x W x H bytes for arrangement\n"
    "                   10), or a binary PGM (P5) file whose size is taken from its header\n"
    "  OUT              a PNG image (rows as converted, row 0 at the top), or, for a name ending\n"
    "                   in .bgr, the exact destination bytes: rows as converted, three bytes per\n"
    "                   pixel, blue first, starting from a zero-filled destination\n"
    "  --size WxH       the frame size (needed for raw input; must match a PGM header)\n"
    "  --arrangement A  1 monochrome, 2 to 5 the mosaic phases (2: red, green / green, blue;\n"
    "                   3: green, red / blue, green; 4: green, blue / red, green; 5: blue, green "
    "/\n"
    "                   green, red), 10 packed luma/chroma\n"
    "  --method M       conversion method 0 to 7: 0 grey, 1 own colour only, 2 cell replication,\n"
    "                   3 bilinear (the default of the driver), 4 four-tap, 5 adaptive,\n"
    "                   6 bilinear with four-neighbour green, 7 cell positions as quadrants\n"
    "  --rotate OP      turn the raw frame first: 1 mirror, 2 flip, 3 half turn, 4 and 5 quarter\n"
    "                   turns, 6 and 7 transpositions (not for arrangement 10)\n"
    "  --all-methods    one PNG with the eight methods side by side, 0 to 7 from the left (a\n"
    "                   method that cannot convert the arrangement leaves its panel black)\n";

struct Options {
    std::string in, out;
    unsigned width = 0, height = 0;
    long arrangement = -1;
    long method = -1;
    long rotate = 0;
    bool allMethods = false;
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Reads a binary PGM; false when the file is not one.
bool ParsePgm(const std::vector<uint8_t>& file, unsigned* width, unsigned* height,
              std::vector<uint8_t>* samples) {
    if (file.size() < 2 || file[0] != 'P' || file[1] != '5')
        return false;
    size_t at = 2;
    unsigned values[3] = {};
    for (unsigned& value : values) {
        // Whitespace and comments, then a decimal number.
        for (;;) {
            while (at < file.size() && isspace(file[at])) ++at;
            if (at < file.size() && file[at] == '#') {
                while (at < file.size() && file[at] != '\n') ++at;
                continue;
            }
            break;
        }
        if (at >= file.size() || !isdigit(file[at]))
            return false;
        unsigned long v = 0;
        while (at < file.size() && isdigit(file[at]) && v < 100000000)
            v = v * 10 + (file[at++] - '0');
        value = static_cast<unsigned>(v);
    }
    if (at >= file.size() || !isspace(file[at]) || values[2] == 0 || values[2] > 255)
        return false;
    ++at;  // the one whitespace byte before the samples
    *width = values[0];
    *height = values[1];
    samples->assign(file.begin() + static_cast<long>(at), file.end());
    return true;
}

// Parses the options; returns -1 to go on, else the exit code.
int Parse(int argc, char** argv, Options* o) {
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long v = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kConvertUsage, stdout);
            return 0;
        } else if (arg == "--size" && hasValue) {
            char tail = 0;
            if (sscanf(argv[++i], "%ux%u%c", &o->width, &o->height, &tail) != 2 || o->width == 0 ||
                o->height == 0 || o->width > 16384 || o->height > 16384) {
                fprintf(stderr, "halvex: --size takes WIDTHxHEIGHT up to 16384x16384, not '%s'\n",
                        argv[i]);
                return 2;
            }
        } else if (arg == "--arrangement" && hasValue) {
            if (!ParseNumber(argv[++i], 0xFFFF, &v)) {
                fprintf(stderr, "halvex: --arrangement takes 1, 2, 3, 4, 5 or 10, not '%s'\n",
                        argv[i]);
                return 2;
            }
            o->arrangement = static_cast<long>(v);
        } else if (arg == "--method" && hasValue) {
            if (!ParseNumber(argv[++i], 255, &v)) {
                fprintf(stderr, "halvex: --method takes a number from 0 to 7, not '%s'\n", argv[i]);
                return 2;
            }
            o->method = static_cast<long>(v);
        } else if (arg == "--rotate" && hasValue) {
            if (!ParseNumber(argv[++i], 7, &v)) {
                fprintf(stderr, "halvex: --rotate takes an operation from 0 to 7, not '%s'\n",
                        argv[i]);
                return 2;
            }
            o->rotate = static_cast<long>(v);
        } else if (arg == "--all-methods") {
            o->allMethods = true;
        } else if (!arg.empty() && arg[0] == '-') {
            fprintf(stderr, "halvex: unknown option or missing value '%s'\n\n%s", arg.c_str(),
                    kConvertUsage);
            return 2;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        fprintf(stderr, "halvex: convert takes an input and an output file\n\n%s", kConvertUsage);
        return 2;
    }
    o->in = positional[0];
    o->out = positional[1];
    if (o->arrangement < 0 || (o->method < 0 && !o->allMethods)) {
        fprintf(stderr, "halvex: convert needs --arrangement and --method (or --all-methods)\n");
        return 2;
    }
    if (o->allMethods && EndsWith(o->out, ".bgr")) {
        fprintf(stderr, "halvex: --all-methods writes a PNG image, not .bgr bytes\n");
        return 2;
    }
    if (o->rotate != 0 && o->arrangement == 10) {
        fprintf(
            stderr,
            "halvex: --rotate turns one-byte samples; arrangement 10 has two bytes per pixel\n");
        return 2;
    }
    return -1;
}

// Reads the input frame; false (with a message) on failure.
bool ReadFrame(Options* o, std::vector<uint8_t>* samples) {
    std::ifstream file(o->in, std::ios::binary);
    if (!file) {
        fprintf(stderr, "halvex: cannot read %s\n", o->in.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    unsigned pgmWidth = 0, pgmHeight = 0;
    if (ParsePgm(bytes, &pgmWidth, &pgmHeight, samples)) {
        if (o->width != 0 && (o->width != pgmWidth || o->height != pgmHeight)) {
            fprintf(stderr, "halvex: --size %ux%u differs from the PGM header's %ux%u\n", o->width,
                    o->height, pgmWidth, pgmHeight);
            return false;
        }
        o->width = pgmWidth;
        o->height = pgmHeight;
    } else {
        *samples = std::move(bytes);
    }
    if (o->width == 0) {
        fprintf(stderr, "halvex: %s is not a PGM file; give its size with --size WxH\n",
                o->in.c_str());
        return false;
    }
    const size_t expected =
        static_cast<size_t>(o->width) * o->height * (o->arrangement == 10 ? 2 : 1);
    if (samples->size() != expected) {
        fprintf(stderr,
                "halvex: %s holds %zu bytes of samples; %ux%u with arrangement %ld needs %zu\n",
                o->in.c_str(), samples->size(), o->width, o->height, o->arrangement, expected);
        return false;
    }
    return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && written;
}

// Destination rows as converted, blue first, into top-to-bottom red, green, blue.
std::vector<uint8_t> Rgb(const std::vector<uint8_t>& bgr) {
    std::vector<uint8_t> rgb(bgr.size());
    for (size_t i = 0; i + 2 < bgr.size(); i += 3) {
        rgb[i] = bgr[i + 2];
        rgb[i + 1] = bgr[i + 1];
        rgb[i + 2] = bgr[i];
    }
    return rgb;
}

}  // namespace

int ConvertCommand(int argc, char** argv) {
    Options o;
    const int parsed = Parse(argc, argv, &o);
    if (parsed >= 0)
        return parsed;
    std::vector<uint8_t> samples;
    if (!ReadFrame(&o, &samples))
        return 1;

    ULONG width = o.width, height = o.height;
    USHORT arrangement = static_cast<USHORT>(o.arrangement);
    if (o.rotate != 0 && !RotateRawFrame(static_cast<UCHAR>(o.rotate), &width, &height,
                                         &arrangement, samples.data())) {
        fprintf(stderr, "halvex: rotation %ld could not get its buffer\n", o.rotate);
        return 1;
    }
    const size_t size = static_cast<size_t>(width) * height * 3;
    if (!o.allMethods) {
        std::vector<uint8_t> destination(size, 0);
        ULONG status = 0;
        if (!ConvertRawFrame(&status, width, height, samples.data(), destination.data(),
                             static_cast<UCHAR>(o.method), arrangement)) {
            fprintf(stderr,
                    "halvex: method %ld cannot convert arrangement %u at %ux%u (status %u); sizes "
                    "must be even and at least the method's minimum\n",
                    o.method, arrangement, width, height, status);
            return 1;
        }
        const bool ok = EndsWith(o.out, ".bgr")
                            ? WriteFile(o.out, destination)
                            : WritePng(o.out, width, height, Rgb(destination)).empty();
        if (!ok) {
            fprintf(stderr, "halvex: cannot write %s\n", o.out.c_str());
            return 1;
        }
        return CheckNoLeaks() ? 0 : 1;
    }

    // Eight panels side by side.
    constexpr ULONG kMethods = 8;
    const size_t row = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> sheet(size * kMethods, 0);
    for (ULONG method = 0; method < kMethods; ++method) {
        std::vector<uint8_t> destination(size, 0);
        ULONG status = 0;
        const ULONG done =
            ConvertRawFrame(&status, width, height, samples.data(), destination.data(),
                            static_cast<UCHAR>(method), arrangement);
        fprintf(stderr, "method %u: %s\n", method,
                done ? "converted" : "cannot convert (status 6)");
        if (!done)
            continue;
        const std::vector<uint8_t> rgb = Rgb(destination);
        for (ULONG y = 0; y < height; ++y) {
            std::copy(rgb.begin() + static_cast<long>(y * row),
                      rgb.begin() + static_cast<long>((y + 1) * row),
                      sheet.begin() + static_cast<long>(y * row * kMethods + method * row));
        }
    }
    const std::string error = WritePng(o.out, width * kMethods, height, sheet);
    if (!error.empty()) {
        fprintf(stderr, "halvex: cannot write %s: %s\n", o.out.c_str(), error.c_str());
        return 1;
    }
    return CheckNoLeaks() ? 0 : 1;
}

}  // namespace halvex::tools
