// Throughput of the frame path: every conversion method for each arrangement code it accepts,
// every rotation, each processing stage on its own, the whole pipeline with its start-up settings
// and with every stage switched on, frame assembly, and a plain copy of the output size as the
// floor. Frames are the simulated camera's test chart at each sensor size. When OpenCV is built
// in, its single-threaded Bayer conversions run on the same frames and a table of ratios follows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/camera_session.h"
#include "convert/convert_raw_frame.h"
#include "convert/rotate_raw_frame.h"
#include "driver/transport.h"
#include "imaging/color_correction.h"
#include "imaging/frame_pipeline.h"
#include "imaging/grid_statistics.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/stage_sequence.h"
#include "imaging/white_balance.h"
#include "platform/runtime.h"
#include "sim/scene.h"
#include "tools/settings.h"

#ifdef HALVEX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using halvex::client::CameraSession;

struct Size {
    ULONG width, height;
};
const Size kSizes[] = {{640, 480}, {1024, 768}, {1280, 960}, {1360, 1024}, {1600, 1200}};

std::string SizeName(Size s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

// The chart as a sensor with this arrangement code records it (code 10: luma/chroma pairs).
std::vector<UCHAR> Chart(Size s, USHORT code) {
    if (code != ARRANGEMENT_PACKED_LUMA_CHROMA)
        return halvex::sim::RenderRaw(s.width, s.height, code);
    const std::vector<uint8_t> grey = halvex::sim::RenderRaw(s.width, s.height, 1);
    std::vector<UCHAR> packed(grey.size() * 2);
    for (size_t i = 0; i < grey.size(); ++i) {
        packed[2 * i] = grey[i];
        packed[2 * i + 1] = static_cast<UCHAR>(128 + (i % 32));
    }
    return packed;
}

void SetPixelRate(benchmark::State& state, Size s) {
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(s.width) * s.height * 1e-6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

// The platform runtime, in virtual time so that the camera writes of the automatic controls cost
// no waiting; it outlives every device.
halvex::platform::RuntimeScope& TheRuntime() {
    static halvex::platform::RuntimeScope runtime(halvex::platform::TimeMode::Virtual);
    return runtime;
}

// A started device on the simulated camera, for the stages and the pipeline.
class Device {
  public:
    Device() {
        TheRuntime();
        halvex::sim::CameraConfig config;
        config.modelCode = 0x1506;  // 1600 x 1200
        m_session = std::make_unique<CameraSession>(config);
        if (m_session->Start() != STATUS_SUCCESS) {
            fprintf(stderr, "halvex_bench: the simulated device did not start\n");
            std::exit(1);
        }
    }
    DeviceContext* Context() { return m_session->Device(); }
    // Applies NAME=VALUE settings; exits on a refused one.
    void Apply(const std::vector<std::string>& settings) {
        for (const std::string& text : settings) {
            halvex::tools::NamedSetting setting;
            std::string error;
            if (!halvex::tools::ParseSetting(text, &setting, &error) ||
                !halvex::tools::ApplySetting(*m_session, setting, &error)) {
                fprintf(stderr, "halvex_bench: %s\n", error.c_str());
                std::exit(1);
            }
        }
    }

  private:
    std::unique_ptr<CameraSession> m_session;
};

// A device left with its start-up settings.
Device& StartupDevice() {
    static Device device;
    return device;
}
// A device with every stage switched on.
Device& TunedDevice();

// Every stage switched on, beyond the start-up settings (flip, continuous white balance,
// statistics, method 3).
const std::vector<std::string> kEveryStage = {
    "preprocessing=clip", "exposure-mode=1", "gamma=150", "brightness=20",
    "contrast=120",       "sharpness=60",    "hue=1000",  "saturation=150",
};

Device& TunedDevice() {
    static Device device;
    static const bool tuned = [] {
        device.Apply(kEveryStage);
        // Raw tone tables for the four mosaic channels too.
        UCHAR entries[256];
        for (int i = 0; i < 256; i++) entries[i] = static_cast<UCHAR>(i + (255 - i) / 8);
        for (UCHAR t = 1; t < TONE_TABLE_COUNT; t++)
            SetTable(device.Context()->m_pLookupTables, t, TONE_MODE_SUPPLIED, 100, 0, 0, entries);
        return true;
    }();
    (void)tuned;
    return device;
}

// ---- conversion, rotation, copy ----

void Convert(benchmark::State& state, Size s, UCHAR method, USHORT code) {
    const std::vector<UCHAR> raw = Chart(s, code);
    std::vector<UCHAR> out(static_cast<size_t>(s.width) * s.height * 3);
    for (auto _ : state) {
        ULONG status = 0;
        if (ConvertRawFrame(&status, s.width, s.height, raw.data(), out.data(), method, code) != 1)
            state.SkipWithError("conversion refused");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetPixelRate(state, s);
}

void Rotate(benchmark::State& state, Size s, UCHAR operation) {
    std::vector<UCHAR> raw = Chart(s, ARRANGEMENT_RGGB);
    for (auto _ : state) {
        ULONG width = s.width, height = s.height;
        USHORT code = ARRANGEMENT_RGGB;
        RotateRawFrame(operation, &width, &height, &code, raw.data());
        benchmark::ClobberMemory();
    }
    SetPixelRate(state, s);
}

void Copy(benchmark::State& state, Size s) {
    const size_t bytes = static_cast<size_t>(s.width) * s.height * 3;
    std::vector<UCHAR> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    SetPixelRate(state, s);
}

#ifdef HALVEX_HAVE_OPENCV
// OpenCV's Bayer code for the chart of arrangement code 2 (red at the top left). OpenCV names a
// Bayer pattern by the second row's second and third samples, so red-green / green-blue is BG.
void OpenCvBayer(benchmark::State& state, Size s, int code) {
    std::vector<UCHAR> raw = Chart(s, ARRANGEMENT_RGGB);
    cv::Mat in(static_cast<int>(s.height), static_cast<int>(s.width), CV_8UC1, raw.data());
    cv::Mat out(static_cast<int>(s.height), static_cast<int>(s.width), CV_8UC3);
    for (auto _ : state) {
        cv::cvtColor(in, out, code);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    SetPixelRate(state, s);
}
#endif

// ---- stages on their own ----

enum class Stage {
    ClipDefects,
    SubtractReference,
    WhiteBalance,
    Statistics,
    RawTables,
    LuminanceCurve,
    Sharpen,
    ColorCorrection,
};

void RunStage(benchmark::State& state, Size s, Stage stage) {
    DeviceContext* device = TunedDevice().Context();
    const std::vector<UCHAR> chart = Chart(s, ARRANGEMENT_RGGB);
    std::vector<UCHAR> raw = chart;
    std::vector<UCHAR> image(chart.size() * 3);
    ULONG status = 0;
    ConvertRawFrame(&status, s.width, s.height, chart.data(), image.data(), 3, ARRANGEMENT_RGGB);
    const std::vector<UCHAR> converted = image;
    if (stage == Stage::SubtractReference)
        CaptureReference(device->m_pRawPreprocessor, s.width, s.height, ARRANGEMENT_RGGB,
                         raw.data());
    for (auto _ : state) {
        // Start from the same frame each time; the copy is timed apart and not counted.
        state.PauseTiming();
        raw = chart;
        image = converted;
        state.ResumeTiming();
        switch (stage) {
            case Stage::ClipDefects:
                CorrectDefects(device->m_pRawPreprocessor, s.width, s.height, 2, raw.data());
                break;
            case Stage::SubtractReference:
                SubtractReference(device->m_pRawPreprocessor, s.width, s.height, 2, raw.data());
                break;
            case Stage::WhiteBalance:
                ApplyWhiteBalance(device->m_pWhiteBalance, s.width, s.height, 2, raw.data());
                break;
            case Stage::Statistics:
                MeasureZones(device->m_pGridStatistics, s.width, s.height, 2, raw.data());
                break;
            case Stage::RawTables:
                ApplyRawTables(device->m_pLookupTables, s.width, s.height, 2, raw.data());
                break;
            case Stage::LuminanceCurve:
                ApplyLuminanceCurve(device->m_pLookupTables, s.width * s.height, 3, image.data());
                break;
            case Stage::Sharpen:
                SharpenFrame(device->m_pSharpnessFilter, s.width, s.height, OUTPUT_FORMAT_RGB24,
                             image.data());
                break;
            case Stage::ColorCorrection:
                ApplyColorCorrection(device->m_pColorCorrection, s.width, s.height,
                                     OUTPUT_FORMAT_RGB24, image.data());
                break;
        }
        benchmark::ClobberMemory();
    }
    if (stage == Stage::SubtractReference)
        SetPreprocessorMode(device->m_pRawPreprocessor, PREPROCESS_NONE);
    SetPixelRate(state, s);
}

// ---- the whole pipeline ----

void Pipeline(benchmark::State& state, Size s, bool everyStage) {
    Device& device = everyStage ? TunedDevice() : StartupDevice();
    const std::vector<UCHAR> chart = Chart(s, ARRANGEMENT_RGGB);
    std::vector<UCHAR> raw(chart.size());
    std::vector<UCHAR> image(chart.size() * 3);
    for (auto _ : state) {
        // The raw frame is processed in place; restoring it stands for the transport's copy
        // into the frame buffer, which every frame costs in the driver too, so it is counted.
        std::memcpy(raw.data(), chart.data(), chart.size());
        ProcessRawImage(device.Context(), s.width, s.height, raw.data(), image.data());
        benchmark::ClobberMemory();
    }
    SetPixelRate(state, s);
}

// ---- frame assembly ----

void Assembly(benchmark::State& state, Size s) {
    DeviceContext* device = StartupDevice().Context();
    device->m_ulImageWidth = s.width;
    device->m_ulImageHeight = s.height;
    const ULONG frameBytes = 64 + s.width * s.height;
    std::vector<UCHAR> data(TRANSFER_BUFFER_SIZE, 0x5A);
    for (auto _ : state) {
        for (ULONG sent = 0; sent < frameBytes; sent += TRANSFER_BUFFER_SIZE) {
            const ULONG n =
                frameBytes - sent < TRANSFER_BUFFER_SIZE ? frameBytes - sent : TRANSFER_BUFFER_SIZE;
            AssembleTransfer(device, data.data(), n, USBD_STATUS_SUCCESS);
        }
        device->m_bFrameReady = FALSE;
        benchmark::ClobberMemory();
    }
    SetPixelRate(state, s);
}

// ---- registration and the ratio table ----

void RegisterAll() {
    for (Size s : kSizes) {
        const std::string size = SizeName(s);
        benchmark::RegisterBenchmark(("Copy/" + size).c_str(), Copy, s);
        auto convert = [&](UCHAR method, USHORT code) {
            const std::string name = "Convert/method" + std::to_string(method) + "/code" +
                                     std::to_string(code) + "/" + size;
            benchmark::RegisterBenchmark(name.c_str(), Convert, s, method, code);
        };
        for (USHORT code = 1; code <= 5; ++code) convert(0, code);
        for (UCHAR method : {1, 2, 3, 4, 6})
            for (USHORT code = 2; code <= 5; ++code) convert(method, code);
        for (USHORT code = 1; code <= 5; ++code) convert(5, code);
        convert(7, 2);
        convert(7, 10);
        convert(3, 10);  // packed luma/chroma
#ifdef HALVEX_HAVE_OPENCV
        benchmark::RegisterBenchmark(("OpenCV/bilinear/" + size).c_str(), OpenCvBayer, s,
                                     int{cv::COLOR_BayerBG2BGR});
        benchmark::RegisterBenchmark(("OpenCV/VNG/" + size).c_str(), OpenCvBayer, s,
                                     int{cv::COLOR_BayerBG2BGR_VNG});
        benchmark::RegisterBenchmark(("OpenCV/edge-aware/" + size).c_str(), OpenCvBayer, s,
                                     int{cv::COLOR_BayerBG2BGR_EA});
#endif
        const char* rotations[] = {"",
                                   "mirror",
                                   "flip",
                                   "half-turn",
                                   "quarter-turn",
                                   "quarter-back",
                                   "anti-transpose",
                                   "transpose"};
        for (UCHAR op = ROTATE_MIRROR; op <= ROTATE_TRANSPOSE; ++op)
            benchmark::RegisterBenchmark(
                ("Rotate/" + std::string(rotations[op]) + "/" + size).c_str(), Rotate, s, op);
        const std::pair<const char*, Stage> stages[] = {
            {"clip-defects", Stage::ClipDefects},
            {"subtract-reference", Stage::SubtractReference},
            {"white-balance", Stage::WhiteBalance},
            {"statistics", Stage::Statistics},
            {"raw-tables", Stage::RawTables},
            {"luminance-curve", Stage::LuminanceCurve},
            {"sharpen", Stage::Sharpen},
            {"color-correction", Stage::ColorCorrection},
        };
        for (const auto& [name, stage] : stages)
            benchmark::RegisterBenchmark(("Stage/" + std::string(name) + "/" + size).c_str(),
                                         RunStage, s, stage);
        benchmark::RegisterBenchmark(("Pipeline/start-up/" + size).c_str(), Pipeline, s, false);
        benchmark::RegisterBenchmark(("Pipeline/every-stage/" + size).c_str(), Pipeline, s, true);
        benchmark::RegisterBenchmark(("Assembly/" + size).c_str(), Assembly, s);
    }
}

// Prints as usual and keeps each benchmark's time per frame for the ratio table: the median of
// the repetitions when there are several (--benchmark_repetitions), else the one run's time.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_times[name] = run.GetAdjustedRealTime();
                m_median.insert(name);
            } else if (run.run_type == Run::RT_Iteration && m_median.count(name) == 0) {
                m_times[name] = run.GetAdjustedRealTime();
            }
        }
    }
    // For the largest size: each Halvex conversion and pipeline against OpenCV's three codes.
    void PrintRatios() const {
        const std::string size = "/" + SizeName(kSizes[4]);
        const char* references[] = {"OpenCV/bilinear", "OpenCV/VNG", "OpenCV/edge-aware"};
        double reference[3];
        for (int i = 0; i < 3; ++i) {
            auto it = m_times.find(references[i] + size);
            if (it == m_times.end())
                return;
            reference[i] = it->second;
        }
        printf("\nTime as a ratio to OpenCV's single-threaded Bayer conversions at %s\n",
               size.c_str() + 1);
        printf("%-40s %12s %10s %10s %10s\n", "benchmark", "time (ms)", "/bilinear", "/VNG",
               "/edge");
        for (const auto& [name, time] : m_times) {
            if (name.size() < size.size() ||
                name.compare(name.size() - size.size(), size.size(), size) != 0)
                continue;
            if (name.rfind("Convert/", 0) != 0 && name.rfind("Pipeline/", 0) != 0 &&
                name.rfind("Copy/", 0) != 0)
                continue;
            printf("%-40s %12.3f %10.2f %10.3f %10.2f\n", name.c_str(), time / 1e6,
                   time / reference[0], time / reference[1], time / reference[2]);
        }
    }

  private:
    std::map<std::string, double> m_times;  // nanoseconds per frame
    std::set<std::string> m_median;         // names whose time is a median
};

}  // namespace

int main(int argc, char** argv) {
#ifdef HALVEX_HAVE_OPENCV
    cv::setNumThreads(1);  // every comparison is on one core
#endif
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
