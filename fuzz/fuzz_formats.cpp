// Formats from the application: VerifyFormat, data intersection, stream open, and set and propose
// format, with KS records that start as published ones and are then cut, lengthened and changed
// byte by byte. Each record's buffer is as long as its FormatSize says, as the stream class
// guarantees; everything inside it is the input's.
#include <memory>
#include <vector>

#include "client/camera_session.h"
#include "driver/stream.h"
#include "fuzz/fuzz_support.h"
#include "platform/stream_class_host.h"

using halvex::client::CameraSession;
using halvex::fuzz::Input;

namespace {

constexpr LONGLONG kSecond = 10000000;

// The record changed by the input: a new length, then a few bytes changed; FormatSize follows
// the length (a record at least as long as KSDATAFORMAT, as KS passes it).
std::vector<uint8_t> Mutate(Input& in, std::vector<uint8_t> record) {
    const uint8_t lengthChoice = in.U8();
    if (lengthChoice < 32)
        record.resize(sizeof(KSDATAFORMAT) + in.Below(static_cast<uint32_t>(record.size())));
    else if (lengthChoice < 48)
        record.resize(record.size() + in.Below(64));
    const uint32_t edits = in.Below(9);
    for (uint32_t i = 0; i < edits && !record.empty(); ++i)
        record[in.Below(static_cast<uint32_t>(record.size()))] = in.U8();
    if (record.size() < sizeof(KSDATAFORMAT))
        record.resize(sizeof(KSDATAFORMAT));
    auto* header = reinterpret_cast<KSDATAFORMAT*>(record.data());
    if (in.U8() < 240)
        header->FormatSize = static_cast<ULONG>(record.size());
    else
        record.resize(std::max<size_t>(record.size(), header->FormatSize % 4096));
    return record;
}

struct Published {
    std::vector<std::vector<uint8_t>> ranges;
    std::vector<std::vector<uint8_t>> formats;
};

Published Publish(CameraSession& session) {
    Published published;
    std::vector<uint64_t> buffer;
    PHW_STREAM_DESCRIPTOR descriptor = nullptr;
    if (!NT_SUCCESS(session.StreamDescriptor(&buffer, &descriptor)))
        halvex::fuzz::Fail("no stream information");
    for (ULONG i = 0; i < descriptor->StreamInfo.NumberOfFormatArrayEntries; ++i) {
        const auto* range =
            reinterpret_cast<const uint8_t*>(descriptor->StreamInfo.StreamFormatsArray[i]);
        const ULONG size = descriptor->StreamInfo.StreamFormatsArray[i]->FormatSize;
        published.ranges.emplace_back(range, range + size);
        const auto* video = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
        std::vector<uint8_t> format;
        if (NT_SUCCESS(session.IntersectFormat(
                static_cast<uint32_t>(video->VideoInfoHeader.bmiHeader.biWidth),
                video->VideoInfoHeader.bmiHeader.biHeight, &format)))
            published.formats.push_back(format);
    }
    if (published.formats.empty())
        halvex::fuzz::Fail("no published format intersects");
    return published;
}

void Intersect(Input& in, CameraSession& session, const Published& published) {
    std::vector<uint8_t> range =
        Mutate(in, published.ranges[in.Below(static_cast<uint32_t>(published.ranges.size()))]);
    const uint32_t sizes[] = {sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 0, sizeof(KSDATAFORMAT),
                              sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) - 1, 4096};
    const uint32_t outputSize = in.Pick(sizes) % 8192;
    std::vector<uint8_t> output(outputSize + 1);
    STREAM_DATA_INTERSECT_INFO info{in.Below(3), reinterpret_cast<PKSDATARANGE>(range.data()),
                                    output.data(), outputSize};
    auto srb = session.Host().NewSrb(SRB_GET_DATA_INTERSECTION);
    (*srb)->CommandData.IntersectInfo = &info;
    const NTSTATUS status = session.Host().Call(*srb);
    if (NT_SUCCESS(status) && (*srb)->ActualBytesTransferred > outputSize)
        halvex::fuzz::Fail("the intersection reported more than its buffer holds");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    halvex::fuzz::Scope scope;
    {
        halvex::sim::CameraConfig config;
        const uint16_t models[] = {0x0906, 0x0109, 0x0209, 0x1506};
        config.modelCode = models[in.Below(4)];
        CameraSession session(config);
        if (session.Start() != STATUS_SUCCESS)
            halvex::fuzz::Fail("the device did not start");
        const Published published = Publish(session);
        auto pick = [&] {
            return Mutate(
                in, published.formats[in.Below(static_cast<uint32_t>(published.formats.size()))]);
        };
        for (int step = 0; step < 16 && !in.Empty(); ++step) {
            switch (in.U8() % 6) {
                case 0: {
                    const std::vector<uint8_t> format = pick();
                    VerifyFormat(reinterpret_cast<const KSDATAFORMAT*>(format.data()), in.Below(3));
                    break;
                }
                case 1:
                    Intersect(in, session, published);
                    break;
                case 2:
                    if (!session.StreamOpen())
                        session.OpenStream(pick());
                    break;
                case 3:
                    if (session.StreamOpen())
                        session.SetFormat(pick());
                    break;
                case 4:
                    if (session.StreamOpen())
                        session.ProposeFormat(pick());
                    break;
                default:
                    if (session.StreamOpen()) {
                        session.SetState(KSSTATE_RUN);
                        auto read = session.QueueRead(in.Below(1600 * 1200 * 3 + 1));
                        halvex::platform::Runtime::Advance(kSecond / 4);
                        session.SetState(KSSTATE_STOP);
                        if (!read->Done())
                            halvex::fuzz::Fail("a read was not completed by the stop");
                    }
                    break;
            }
        }
        if (session.StreamOpen())
            session.CloseStream();
        session.Stop();
    }
    return 0;
}
