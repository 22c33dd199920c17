#include "platform/resources.h"

#include <array>
#include <mutex>
#include <set>

namespace halvex::platform {
namespace detail {
size_t ArmedStreamTimers();
}
namespace {
std::mutex g_faultMutex;  // guards everything below
std::array<uint64_t, 3> g_attempts{};
std::array<uint64_t, 3> g_failAt{};  // attempt number that fails; 0 = none
std::set<ULONG> g_failTags;
}  // namespace

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

bool Resources::ShouldFail(Resource kind, ULONG tag) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    const auto k = static_cast<size_t>(kind);
    const uint64_t attempt = ++g_attempts[k];
    if (g_failAt[k] != 0 && attempt == g_failAt[k]) {
        g_failAt[k] = 0;
        return true;
    }
    return kind == Resource::Pool && g_failTags.count(tag) != 0;
}

uint64_t Resources::Attempts(Resource kind) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_attempts[static_cast<size_t>(kind)];
}

void Resources::ResetCounts() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_attempts.fill(0);
}

void Resources::FailNth(Resource kind, uint64_t n) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    const auto k = static_cast<size_t>(kind);
    g_failAt[k] = n == 0 ? 0 : g_attempts[k] + n;
}

void Resources::FailTag(ULONG tag, bool fail) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    if (fail) {
        g_failTags.insert(tag);
    } else {
        g_failTags.erase(tag);
    }
}

void Resources::ClearFaults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_failAt.fill(0);
    g_failTags.clear();
}

std::string Resources::LeakReport() {
    std::string report;
    for (const TagUsage& u : PoolUsage()) {
        report += "pool tag '" + TagName(u.tag) + "': " + std::to_string(u.count) +
                  " allocation(s), " + std::to_string(u.bytes) + " bytes\n";
    }
    if (size_t n = LiveIrps())
        report += std::to_string(n) + " IRP(s)\n";
    if (size_t n = LiveWorkItems())
        report += std::to_string(n) + " work item(s)\n";
    if (size_t n = LiveReferences())
        report += std::to_string(n) + " object reference(s)\n";
    if (size_t n = detail::ArmedStreamTimers())
        report += std::to_string(n) + " armed stream timer(s)\n";
    return report;
}

}  // namespace halvex::platform
