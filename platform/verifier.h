// Host side: misuse of kernel services detected by the platform (as a driver verifier would) is
// recorded here; tests fail when anything was recorded.
#pragma once

#include <string>
#include <vector>

namespace halvex::platform {

class Verifier {
  public:
    // Records one violation (printf-style) and echoes it to stderr.
    static void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static std::vector<std::string> Violations();
    static void Clear();
};

}  // namespace halvex::platform
