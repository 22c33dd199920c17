#include "platform/verifier.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace halvex::platform {
namespace {
std::mutex g_mutex;  // guards g_violations
std::vector<std::string> g_violations;
}  // namespace

void Verifier::Report(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "halvex verifier: %s\n", line);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_violations.emplace_back(line);
}

std::vector<std::string> Verifier::Violations() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_violations;
}

void Verifier::Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_violations.clear();
}

}  // namespace halvex::platform
