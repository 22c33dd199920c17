// A hostile camera: descriptors, information, settings and exposure blocks and register values
// that start as a real camera's and are then changed by the input (any model code, arrangement
// code, H and L, 0 included), requests that fail at chosen points, then start-up, a stream at
// the first published size, a few frames and the vendor reads that touch the camera.
#include <memory>
#include <vector>

#include "client/camera_session.h"
#include "fuzz/fuzz_session.h"

using halvex::client::CameraSession;
using halvex::fuzz::Input;

namespace {

constexpr LONGLONG kSecond = 10000000;

void Edit(Input& in, std::vector<uint8_t>* bytes) {
    const uint32_t edits = in.Below(8);
    for (uint32_t i = 0; i < edits && !bytes->empty(); ++i)
        (*bytes)[in.Below(static_cast<uint32_t>(bytes->size()))] = in.U8();
}

void MakeHostile(Input& in, halvex::sim::SimCamera& camera) {
    const uint8_t what = in.U8();
    if (what & 0x01) {  // the device or configuration descriptor
        const UCHAR type =
            in.Bool() ? USB_DEVICE_DESCRIPTOR_TYPE : USB_CONFIGURATION_DESCRIPTOR_TYPE;
        std::vector<uint8_t> descriptor(512);
        const auto got = camera.GetDescriptor(type, 0, 0, descriptor.data(), 512);
        descriptor.resize(got.transferred);
        if (in.U8() < 64)
            descriptor.resize(in.Below(static_cast<uint32_t>(descriptor.size()) + 16));
        Edit(in, &descriptor);
        camera.SetDescriptor(type, descriptor);
    }
    const uint8_t codes[] = {0x11, 0x12, 0x13, 0x21, 0x22, 0xF0, 0xF9};
    for (uint8_t code : codes) {
        if (!in.Bool())
            continue;
        std::vector<uint8_t> block = camera.Block(code);
        Edit(in, &block);
        camera.SetBlock(code, block);
    }
    const uint32_t registers = in.Below(4);
    for (uint32_t i = 0; i < registers; ++i)
        camera.SetRegister(static_cast<int>(in.Below(halvex::sim::SimCamera::kRegisterCount)),
                           in.U16());
    if (what & 0x02)
        camera.InjectFault(in.Bool() ? halvex::sim::Fault::Fail : halvex::sim::Fault::Stall,
                           in.Below(40), 1 + in.Below(3));
}

void Stream(Input& in, CameraSession& session) {
    std::vector<halvex::client::VideoFormat> formats;
    if (!NT_SUCCESS(session.Formats(&formats)) || formats.empty())
        return;
    const auto& format = formats[in.Below(static_cast<uint32_t>(formats.size()))];
    if (!NT_SUCCESS(session.OpenStream(format.width, format.height)))
        return;
    session.SetState(KSSTATE_PAUSE);
    session.SetState(KSSTATE_RUN);
    std::vector<std::shared_ptr<halvex::client::PendingRead>> reads;
    for (int i = 0; i < 2; ++i)
        reads.push_back(session.QueueRead(static_cast<size_t>(format.width) *
                                          static_cast<size_t>(std::abs(format.height)) * 3));
    halvex::platform::Runtime::Advance(kSecond / 4);
    // Vendor reads that go to the camera, with the stream running.
    for (uint32_t id : {135u, 137u, 138u, 143u}) {
        std::vector<uint8_t> data;
        session.GetVendor(id, 256, &data);
    }
    halvex::fuzz::EndStream(session, reads);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    halvex::fuzz::Scope scope;
    {
        halvex::sim::CameraConfig config;
        const uint16_t models[] = {0x0906, 0x0109, 0x0209, 0x1506};
        config.modelCode = in.Pick(models);
        const uint16_t arrangements[] = {1, 2, 3, 4, 5, 10};
        config.arrangement = in.Pick(arrangements);
        config.linesPerFrame = in.U8() < 200 ? 0 : in.U16();
        config.clocksPerLine = in.U8() < 200 ? 0 : in.U16();
        config.defaultGain = in.U16();
        config.frameRate = 30;
        CameraSession session(config);
        MakeHostile(in, session.Camera());
        if (NT_SUCCESS(session.Start())) {
            session.Camera().ClearFaults();
            Stream(in, session);
        }
        session.Stop();
    }
    return 0;
}
