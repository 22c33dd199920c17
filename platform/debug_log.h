// Host side: the sink that DbgPrint writes to. Tests read it; the tool can echo it.
#pragma once

#include <string>
#include <vector>

namespace halvex::platform {

class DebugLog {
  public:
    static std::vector<std::string> Lines();
    static void Clear();
    // Also write every line to stderr as it arrives.
    static void SetEcho(bool echo);
    static void Append(const std::string& text);
};

}  // namespace halvex::platform
