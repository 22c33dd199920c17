// halvex: the command-line tool over the client library.
//
//   halvex capture [--model CODE] [--format WxH] [--frames N] [--out DIR]
//   halvex convert IN OUT --size WxH --arrangement A --method M [--rotate OP]
//   halvex formats [--model CODE] [--arrangement CODE] [--log]
//   halvex props [--model CODE]
#include <cstdio>
#include <cstring>

#include "tools/commands.h"

namespace {

const char kUsage[] =
    "usage: halvex COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  capture   capture frames from a simulated camera through the driver into PNG files\n"
    "  convert   convert a raw frame from a file with the driver's conversion methods\n"
    "  formats   list the formats the driver publishes for each camera model\n"
    "  props     list the settings 'capture --set' takes, with ranges and defaults\n"
    "\n"
    "Run 'halvex COMMAND --help' for the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (strcmp(argv[1], "capture") == 0)
        return halvex::tools::CaptureCommand(argc - 2, argv + 2);
    if (strcmp(argv[1], "convert") == 0)
        return halvex::tools::ConvertCommand(argc - 2, argv + 2);
    if (strcmp(argv[1], "props") == 0)
        return halvex::tools::PropsCommand(argc - 2, argv + 2);
    if (strcmp(argv[1], "formats") == 0)
        return halvex::tools::FormatsCommand(argc - 2, argv + 2);
    fprintf(stderr, "halvex: unknown command '%s'\n\n%s", argv[1], kUsage);
    return 2;
}
