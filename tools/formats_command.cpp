// halvex formats: the formats the driver publishes for each camera model.
#include <cstdio>
#include <string>
#include <vector>

#include "client/camera_session.h"
#include "platform/debug_log.h"
#include "platform/runtime.h"
#include "tools/commands.h"

namespace halvex::tools {
namespace {

const char kFormatsUsage[] =
    "usage: halvex formats [--model CODE] [--arrangement CODE] [--log]\n"
    "\n"
    "Starts a simulated camera of each model through the driver and lists the formats the driver\n"
    "publishes for it, one WIDTHxHEIGHT per line with the camera readout mode it programs.\n"
    "\n"
    "options:\n"
    "  --model CODE        only this camera model (default: every model the driver serves)\n"
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

// Starts one model and prints its formats; false on failure.
bool ListModel(const sim::CameraConfig& config) {
    client::CameraSession session(config);
    const NTSTATUS status = session.Start();
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "halvex: the driver did not start the camera (model code 0x%04X): %s\n",
                config.modelCode, client::StatusText(status).c_str());
        return false;
    }
    std::vector<client::VideoFormat> formats;
    const NTSTATUS infoStatus = session.Formats(&formats);
    printf("model 0x%04X  sensor %ux%u  arrangement %u (%s)\n", session.ModelCode(),
           session.SensorWidth(), session.SensorHeight(), session.Arrangement(),
           ArrangementName(session.Arrangement()));
    if (!NT_SUCCESS(infoStatus)) {
        fprintf(stderr, "halvex: stream information failed: %s\n",
                client::StatusText(infoStatus).c_str());
        return false;
    }
    for (const client::VideoFormat& f : formats) {
        printf("  %ux%d  readout 0x%02X\n", f.width, f.height, f.readoutMode);
    }
    return true;
}

}  // namespace

int FormatsCommand(int argc, char** argv) {
    sim::CameraConfig config;
    bool oneModel = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        unsigned long v = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kFormatsUsage, stdout);
            return 0;
        } else if ((arg == "--model" || arg == "--arrangement") && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0xFFFF, &v)) {
                fprintf(stderr, "halvex: %s takes a number from 0 to 0xFFFF, not '%s'\n",
                        arg.c_str(), argv[i]);
                return 2;
            }
            if (arg == "--model") {
                config.modelCode = static_cast<uint16_t>(v);
                oneModel = true;
            } else {
                config.arrangement = static_cast<uint16_t>(v);
            }
        } else if (arg == "--log") {
            platform::DebugLog::SetEcho(true);
        } else {
            fprintf(stderr, "halvex: unknown option '%s'\n\n%s", arg.c_str(), kFormatsUsage);
            return 2;
        }
    }

    platform::RuntimeScope runtime(platform::TimeMode::Real);
    bool ok = true;
    if (oneModel) {
        ok = ListModel(config);
    } else {
        for (uint16_t code : client::KnownModelCodes()) {
            config.modelCode = code;
            ok = ListModel(config) && ok;
        }
    }
    return CheckNoLeaks() && ok ? 0 : 1;
}

}  // namespace halvex::tools
