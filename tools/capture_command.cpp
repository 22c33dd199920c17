// halvex capture: frames from a simulated camera, through the driver, into PNG files.
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/camera_session.h"
#include "platform/debug_log.h"
#include "platform/runtime.h"
#include "platform/stream_class_host.h"
#include "tools/commands.h"
#include "tools/png_file.h"
#include "tools/settings.h"

namespace halvex::tools {
namespace {

const char kCaptureUsage[] =
    "usage: halvex capture [--model CODE] [--format WxH] [--frames N] [--out DIR]\n"
    "                      [--set NAME=VALUE]... [--load-settings FILE] [--save-settings FILE]\n"
    "                      [--log]\n"
    "\n"
    "Starts a simulated camera through the driver, opens its stream, runs it and writes each\n"
    "delivered frame as a PNG file, upright as an application shows the bottom-up RGB24 frame.\n"
    "\n"
    "options:\n"
    "  --model CODE   camera model code (default 0x1506)\n"
    "  --format WxH   one of the model's published formats (default the full sensor); see\n"
    "                 'halvex formats --model CODE'\n"
    "  --frames N     number of frames to capture, 1 to 100000 (default 10)\n"
    "  --out DIR      folder for the files frame_0001.png, ... (default ./frames; created)\n"
    "  --set NAME=VALUE  a camera or processing setting, applied after any --load-settings and\n"
    "                 before the stream starts; repeatable. Names: brightness, contrast, hue,\n"
    "                 saturation, sharpness, gamma, whitebalance, gain (each also =auto),\n"
    "                 method, rotation, preprocessing, exposure-mode, exposure-target; see\n"
    "                 'halvex props' for their ranges\n"
    "  --load-settings FILE  apply a settings file saved earlier before capturing\n"
    "  --save-settings FILE  save the settings as they stand after the capture\n"
    "  --log          show the driver's debug output\n";

// Reads kept waiting in the driver, so that a frame finds one while the previous is written.
constexpr size_t kReadsInFlight = 3;
// How long to wait for one frame before giving up.
constexpr int64_t kFrameTimeout = 5 * 10000000LL;

struct Options {
    std::vector<NamedSetting> settings;
    std::string loadSettings;
    std::string saveSettings;
    sim::CameraConfig camera;
    uint32_t width = 0;
    int32_t height = 0;
    unsigned long frames = 10;
    std::string out = "frames";
};

// Parses the options; returns -1 to go on, else the exit code.
int Parse(int argc, char** argv, Options* options) {
    options->camera.modelCode = 0x1506;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long v = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kCaptureUsage, stdout);
            return 0;
        } else if (arg == "--model" && hasValue) {
            if (!ParseNumber(argv[++i], 0xFFFF, &v)) {
                fprintf(stderr, "halvex: --model takes a model code, one of %s; not '%s'\n",
                        KnownModelsText().c_str(), argv[i]);
                return 2;
            }
            options->camera.modelCode = static_cast<uint16_t>(v);
        } else if (arg == "--format" && hasValue) {
            unsigned w = 0, h = 0;
            char tail = 0;
            if (sscanf(argv[++i], "%ux%u%c", &w, &h, &tail) != 2 || w == 0 || h == 0 ||
                h > 0x7FFFFFFF) {
                fprintf(stderr,
                        "halvex: --format takes WIDTHxHEIGHT, for example 1600x1200; not '%s'\n",
                        argv[i]);
                return 2;
            }
            options->width = w;
            options->height = static_cast<int32_t>(h);
        } else if (arg == "--frames" && hasValue) {
            if (!ParseNumber(argv[++i], 100000, &v) || v == 0) {
                fprintf(stderr, "halvex: --frames takes a number from 1 to 100000, not '%s'\n",
                        argv[i]);
                return 2;
            }
            options->frames = v;
        } else if (arg == "--out" && hasValue) {
            options->out = argv[++i];
        } else if (arg == "--set" && hasValue) {
            NamedSetting setting;
            std::string error;
            if (!ParseSetting(argv[++i], &setting, &error)) {
                fprintf(stderr, "halvex: %s\n", error.c_str());
                return 2;
            }
            options->settings.push_back(setting);
        } else if (arg == "--load-settings" && hasValue) {
            options->loadSettings = argv[++i];
        } else if (arg == "--save-settings" && hasValue) {
            options->saveSettings = argv[++i];
        } else if (arg == "--log") {
            platform::DebugLog::SetEcho(true);
        } else {
            fprintf(stderr, "halvex: unknown option or missing value '%s'\n\n%s", arg.c_str(),
                    kCaptureUsage);
            return 2;
        }
    }
    return -1;
}

// Picks the format to open; false (with a message) when the model does not publish it.
bool ChooseFormat(client::CameraSession& session, Options* options) {
    std::vector<client::VideoFormat> formats;
    const NTSTATUS status = session.Formats(&formats);
    if (!NT_SUCCESS(status) || formats.empty()) {
        fprintf(stderr, "halvex: no formats from the driver: %s\n",
                client::StatusText(status).c_str());
        return false;
    }
    if (options->width == 0) {
        options->width = formats[0].width;
        options->height = formats[0].height;
        return true;
    }
    std::string allowed;
    for (const client::VideoFormat& f : formats) {
        if (f.width == options->width && f.height == options->height)
            return true;
        allowed += " " + std::to_string(f.width) + "x" + std::to_string(f.height);
    }
    fprintf(stderr, "halvex: model 0x%04X does not offer %ux%d; its formats are:%s\n",
            options->camera.modelCode, options->width, options->height, allowed.c_str());
    return false;
}

struct Summary {
    unsigned long delivered = 0;
    int64_t lastPicture = 0;
    int64_t dropped = 0;
    int64_t firstTime = 0;
    int64_t lastTime = 0;
};

// Runs the stream until the frames are written; false on failure.
bool CaptureFrames(client::CameraSession& session, const Options& options, Summary* summary) {
    const size_t imageSize = static_cast<size_t>(options.width) * options.height * 3;
    std::deque<std::shared_ptr<client::PendingRead>> reads;
    auto queue = [&] {
        while (reads.size() < kReadsInFlight &&
               summary->delivered + reads.size() < options.frames) {
            reads.push_back(session.QueueRead(imageSize));
        }
    };
    queue();
    while (summary->delivered < options.frames) {
        std::shared_ptr<client::PendingRead> read = reads.front();
        if (!read->Wait(platform::Runtime::Now() + kFrameTimeout)) {
            fprintf(stderr, "\nhalvex: no frame within 5 seconds\n");
            return false;
        }
        reads.pop_front();
        if (!NT_SUCCESS(read->Status()) || read->Header().DataUsed != imageSize) {
            fprintf(stderr, "\nhalvex: read completed with %s and %u bytes\n",
                    client::StatusText(read->Status()).c_str(), read->Header().DataUsed);
            return false;
        }
        ++summary->delivered;
        summary->lastPicture = read->FrameInfo().PictureNumber;
        summary->dropped = read->FrameInfo().DropCount;
        summary->lastTime = read->Header().PresentationTime.Time;
        if (summary->delivered == 1)
            summary->firstTime = summary->lastTime;
        queue();

        char name[32];
        snprintf(name, sizeof name, "frame_%04lu.png", summary->delivered);
        const std::string path = (std::filesystem::path(options.out) / name).string();
        const std::string error = WritePng(
            path, options.width, static_cast<uint32_t>(options.height),
            UprightRgb(read->Data().data(), options.width, static_cast<uint32_t>(options.height)));
        if (!error.empty()) {
            fprintf(stderr, "\nhalvex: cannot write %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        fprintf(stderr, "\rframe %lu/%lu  picture %lld  dropped %lld  time %.3f s  %s",
                summary->delivered, options.frames, static_cast<long long>(summary->lastPicture),
                static_cast<long long>(summary->dropped), summary->lastTime / 1e7, path.c_str());
    }
    fprintf(stderr, "\n");
    return true;
}

}  // namespace

int CaptureCommand(int argc, char** argv) {
    Options options;
    const int parsed = Parse(argc, argv, &options);
    if (parsed >= 0)
        return parsed;
    std::error_code error;
    std::filesystem::create_directories(options.out, error);
    if (error) {
        fprintf(stderr, "halvex: cannot create %s: %s\n", options.out.c_str(),
                error.message().c_str());
        return 1;
    }

    platform::RuntimeScope runtime(platform::TimeMode::Real);
    bool ok = false;
    Summary summary;
    const auto started = std::chrono::steady_clock::now();
    {
        client::CameraSession session(options.camera);
        const NTSTATUS status = session.Start();
        if (!NT_SUCCESS(status)) {
            fprintf(stderr, "halvex: the driver did not start model 0x%04X (%s); models: %s\n",
                    options.camera.modelCode, client::StatusText(status).c_str(),
                    KnownModelsText().c_str());
        } else if (ChooseFormat(session, &options)) {
            platform::HostClock clock;
            bool configured = true;
            std::string error;
            if (!options.loadSettings.empty() &&
                !NT_SUCCESS(session.LoadSettings(options.loadSettings, &error))) {
                fprintf(stderr, "halvex: %s\n", error.c_str());
                configured = false;
            }
            for (const NamedSetting& setting : options.settings) {
                if (configured && !ApplySetting(session, setting, &error)) {
                    fprintf(stderr, "halvex: %s\n", error.c_str());
                    configured = false;
                }
            }
            NTSTATUS step = configured ? session.OpenStream(options.width, options.height)
                                       : STATUS_INVALID_PARAMETER;
            if (NT_SUCCESS(step))
                step = session.SetMasterClock(&clock);
            if (NT_SUCCESS(step))
                step = session.SetState(KSSTATE_PAUSE);
            if (NT_SUCCESS(step))
                step = session.SetState(KSSTATE_RUN);
            if (!configured) {
                // The message above says why.
            } else if (!NT_SUCCESS(step)) {
                fprintf(stderr, "halvex: the stream did not start: %s\n",
                        client::StatusText(step).c_str());
            } else {
                printf("capturing %lu frames of %ux%d from model 0x%04X into %s\n", options.frames,
                       options.width, options.height, options.camera.modelCode,
                       options.out.c_str());
                ok = CaptureFrames(session, options, &summary);
            }
            if (session.StreamOpen()) {
                session.SetState(KSSTATE_STOP);
                session.CloseStream();
            }
            if (ok && !options.saveSettings.empty()) {
                if (NT_SUCCESS(session.SaveSettings(options.saveSettings, &error))) {
                    printf("settings saved to %s\n", options.saveSettings.c_str());
                } else {
                    fprintf(stderr, "halvex: %s\n", error.c_str());
                    ok = false;
                }
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("delivered %lu frames, dropped %lld, last picture number %lld\n", summary.delivered,
           static_cast<long long>(summary.dropped), static_cast<long long>(summary.lastPicture));
    printf("presentation times %.3f s to %.3f s; %.2f s in all\n", summary.firstTime / 1e7,
           summary.lastTime / 1e7, seconds);
    return CheckNoLeaks() && ok ? 0 : 1;
}

}  // namespace halvex::tools
