// halvex: the command-line tool over the client library.
//
//   halvex formats [--model CODE] [--arrangement CODE] [--log]
//       Starts a simulated camera of the given model through the driver and prints what the
//       driver found: model code, sensor size, pixel arrangement and the published formats.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/camera_session.h"
#include "platform/debug_log.h"
#include "platform/resources.h"
#include "platform/runtime.h"
#include "platform/verifier.h"

namespace {

using halvex::client::CameraSession;
using halvex::client::StatusText;
using halvex::client::VideoFormat;

const char kUsage[] =
    "usage: halvex formats [--model CODE] [--arrangement CODE] [--log]\n"
    "\n"
    "  formats   start a simulated camera through the driver and list what it publishes\n"
    "\n"
    "options:\n"
    "  --model CODE        camera model code (default 0x0906); known codes: 0x0109 0x0209\n"
    "                      0x0906 0x1006 0x1106 0x1206 0x1306 0x1406 0x1506 0x1606\n"
    "  --arrangement CODE  pixel arrangement the camera reports (default 2): 1 monochrome,\n"
    "                      2 to 5 the four mosaic phases, 10 packed luma/chroma\n"
    "  --log               show the driver's debug output\n";

const char* ArrangementName(uint16_t code) {
    switch (code) {
        case 1:
            return "monochrome";
        case 2:
        case 3:
        case 4:
        case 5:
            return "colour mosaic";
        case 10:
            return "packed luma/chroma";
        default:
            return "unknown";
    }
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || v > max)
        return false;
    *value = v;
    return true;
}

int Formats(int argc, char** argv) {
    halvex::sim::CameraConfig config;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        unsigned long v = 0;
        if ((arg == "--model" || arg == "--arrangement") && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0xFFFF, &v)) {
                fprintf(stderr, "halvex: %s takes a number from 0 to 0xFFFF, not '%s'\n",
                        arg.c_str(), argv[i]);
                return 2;
            }
            (arg == "--model" ? config.modelCode : config.arrangement) = static_cast<uint16_t>(v);
        } else if (arg == "--log") {
            halvex::platform::DebugLog::SetEcho(true);
        } else {
            fprintf(stderr, "halvex: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    halvex::platform::RuntimeScope runtime(halvex::platform::TimeMode::Real);
    int result = 0;
    {
        CameraSession session(config);
        const NTSTATUS status = session.Start();
        if (!NT_SUCCESS(status)) {
            fprintf(stderr, "halvex: the driver did not start the camera (model code 0x%04X): %s\n",
                    config.modelCode, StatusText(status).c_str());
            result = 1;
        } else {
            std::vector<VideoFormat> formats;
            const NTSTATUS infoStatus = session.Formats(&formats);
            printf("model code   0x%04X\n", session.ModelCode());
            printf("sensor       %u x %u\n", session.SensorWidth(), session.SensorHeight());
            printf("arrangement  %u (%s)\n", session.Arrangement(),
                   ArrangementName(session.Arrangement()));
            if (!NT_SUCCESS(infoStatus)) {
                fprintf(stderr, "halvex: stream information failed: %s\n",
                        StatusText(infoStatus).c_str());
                result = 1;
            } else {
                printf("formats      %zu (RGB24, bottom-up)\n", formats.size());
                for (size_t i = 0; i < formats.size(); ++i) {
                    const VideoFormat& f = formats[i];
                    printf("  %zu  %4u x %-4d  %9u bytes  %.1f frames/s default\n", i + 1, f.width,
                           f.height, f.imageSize, 1e7 / static_cast<double>(f.frameInterval));
                }
            }
        }
    }
    const std::string leaks = halvex::platform::Resources::LeakReport();
    if (!leaks.empty()) {
        fprintf(stderr, "halvex: still allocated after teardown:\n%s", leaks.c_str());
        result = 1;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (strcmp(argv[1], "formats") == 0)
        return Formats(argc - 2, argv + 2);
    fprintf(stderr, "halvex: unknown command '%s'\n\n%s", argv[1], kUsage);
    return 2;
}
