// halvex props: the settings `capture --set` takes, with their ranges, defaults and the values a
// freshly started camera has.
#include <cstdio>
#include <string>

#include "client/camera_session.h"
#include "platform/runtime.h"
#include "tools/commands.h"
#include "tools/settings.h"

namespace halvex::tools {

namespace {
const char kPropsUsage[] =
    "usage: halvex props [--model CODE]\n"
    "\n"
    "Starts a simulated camera through the driver and lists every setting 'halvex capture --set'\n"
    "takes: its allowed values (the proc-amp ranges as the driver publishes them), its default,\n"
    "and its value on the started camera.\n"
    "\n"
    "options:\n"
    "  --model CODE   camera model code (default 0x1506)\n";
}  // namespace

int PropsCommand(int argc, char** argv) {
    sim::CameraConfig config;
    config.modelCode = 0x1506;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        unsigned long v = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kPropsUsage, stdout);
            return 0;
        } else if (arg == "--model" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0xFFFF, &v)) {
                fprintf(stderr, "halvex: --model takes a model code, one of %s; not '%s'\n",
                        KnownModelsText().c_str(), argv[i]);
                return 2;
            }
            config.modelCode = static_cast<uint16_t>(v);
        } else {
            fprintf(stderr, "halvex: unknown option '%s'\n\n%s", arg.c_str(), kPropsUsage);
            return 2;
        }
    }
    platform::RuntimeScope runtime(platform::TimeMode::Real);
    bool ok = true;
    {
        client::CameraSession session(config);
        const NTSTATUS status = session.Start();
        if (!NT_SUCCESS(status)) {
            fprintf(stderr, "halvex: the driver did not start model 0x%04X (%s); models: %s\n",
                    config.modelCode, client::StatusText(status).c_str(),
                    KnownModelsText().c_str());
            ok = false;
        } else {
            for (const std::string& line : DescribeSettings(session)) printf("%s\n", line.c_str());
        }
    }
    return CheckNoLeaks() && ok ? 0 : 1;
}

}  // namespace halvex::tools
