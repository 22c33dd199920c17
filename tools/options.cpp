// Option parsing and checks shared by the halvex commands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "client/camera_session.h"
#include "platform/resources.h"
#include "tools/commands.h"

namespace halvex::tools {

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || v > max || text[0] == '-')
        return false;
    *value = v;
    return true;
}

std::string KnownModelsText() {
    std::string text;
    for (uint16_t code : client::KnownModelCodes()) {
        char one[8];
        snprintf(one, sizeof one, "0x%04X", code);
        text += text.empty() ? one : std::string(" ") + one;
    }
    return text;
}

bool CheckNoLeaks() {
    const std::string leaks = platform::Resources::LeakReport();
    if (leaks.empty())
        return true;
    fprintf(stderr, "halvex: still allocated after teardown:\n%s", leaks.c_str());
    return false;
}

}  // namespace halvex::tools
