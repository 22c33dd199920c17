// Shared pieces of the fuzz targets: a reader of the fuzzer's bytes, and the scope every input
// runs in (a fresh platform runtime in virtual time, with the verifier's findings and anything
// left live turned into a crash the fuzzer reports).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/debug_log.h"
#include "platform/platform.h"
#include "platform/resources.h"
#include "platform/runtime.h"
#include "platform/verifier.h"

namespace halvex::fuzz {

// Takes values from the input front to back; once it is used up every value is 0.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_used >= m_size; }
    uint8_t U8() { return m_used < m_size ? m_data[m_used++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    bool Bool() { return (U8() & 1) != 0; }
    // A value in [0, n) (n > 0).
    uint32_t Below(uint32_t n) { return (n <= 256 ? U8() : n <= 65536 ? U16() : U32()) % n; }
    // Up to `max` bytes, preceded by their count.
    std::vector<uint8_t> Bytes(size_t max) {
        const size_t n = Below(static_cast<uint32_t>(max) + 1);
        std::vector<uint8_t> bytes(n);
        for (uint8_t& b : bytes) b = U8();
        return bytes;
    }
    // A value from the list, or (one time in four) any 32-bit value.
    template <class T, size_t N>
    T Pick(const T (&values)[N]) {
        const uint8_t choice = U8();
        if ((choice & 3) == 3)
            return static_cast<T>(U32());
        return values[(choice >> 2) % N];
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_used = 0;
};

// One input's run: a fresh runtime and clean records before, the verifier's findings and the
// leak report after. Anything found aborts, which the fuzzer (or the replay) reports.
class Scope {
  public:
    Scope() {
        platform::Verifier::Clear();
        platform::DebugLog::Clear();
        platform::Resources::ClearFaults();
        platform::Resources::ResetCounts();
        platform::Runtime::Start(platform::TimeMode::Virtual);
    }
    ~Scope() {
        platform::Runtime::Stop();
        const std::vector<std::string> found = platform::Verifier::Violations();
        const std::string leaks = platform::Resources::LeakReport();
        if (found.empty() && leaks.empty())
            return;
        for (const std::string& line : found) fprintf(stderr, "verifier: %s\n", line.c_str());
        if (!leaks.empty())
            fprintf(stderr, "left at teardown:\n%s", leaks.c_str());
        abort();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

// Stops the run with a message: a result the driver must never give.
[[noreturn]] inline void Fail(const char* what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

}  // namespace halvex::fuzz
