// Frame assembly with any sequence of transfer lengths, URB statuses and IRP outcomes. The first
// byte picks the road: the assembly routine fed directly (with the frame pump holding or freeing
// the frame buffer between transfers), or the camera cutting its frames into a script of pieces
// that travel through the transport's real transfers while the stream runs and reads wait.
#include <memory>
#include <vector>

#include "client/camera_session.h"
#include "driver/device_context.h"
#include "driver/transport.h"
#include "fuzz/fuzz_session.h"

using halvex::fuzz::Input;

namespace {

constexpr LONGLONG kSecond = 10000000;

const USBD_STATUS kUsbdStatuses[] = {USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS,
                                     USBD_STATUS_STALL_PID, USBD_STATUS_DEV_NOT_RESPONDING,
                                     USBD_STATUS_DEVICE_GONE};

void Direct(Input& in, halvex::client::CameraSession& session) {
    DeviceContext* device = session.Device();
    const ULONG sizes[][2] = {{640, 480}, {1024, 768}, {1280, 960}, {1360, 1024}, {1600, 1200}};
    if (in.Bool()) {
        const auto& s = sizes[in.Below(5)];
        device->m_ulImageWidth = s[0];
        device->m_ulImageHeight = s[1];
    } else {
        device->m_ulImageWidth = in.U16();
        device->m_ulImageHeight = in.U16();
    }
    const ULONG pixels = device->m_ulImageWidth * device->m_ulImageHeight;
    std::vector<UCHAR> data(TRANSFER_BUFFER_SIZE, 0x5A);
    for (int i = 0; i < 64 && !in.Empty(); ++i) {
        const ULONG lengths[] = {FRAME_HEADER_SIZE,
                                 TRANSFER_BUFFER_SIZE,
                                 pixels,
                                 pixels + FRAME_HEADER_SIZE,
                                 (pixels + FRAME_HEADER_SIZE) % TRANSFER_BUFFER_SIZE,
                                 0,
                                 16,
                                 15};
        ULONG n = in.Pick(lengths);
        // The USB stack never reports more than the transfer buffer holds.
        if (n > TRANSFER_BUFFER_SIZE)
            n %= TRANSFER_BUFFER_SIZE + 1;
        for (int b = 12; b < 16; ++b) data[b] = in.U8();
        AssembleTransfer(device, data.data(), n, in.Pick(kUsbdStatuses));
        switch (in.U8() % 4) {
            case 0:  // the pump takes the frame and holds the buffer
                device->m_bFrameReady = FALSE;
                device->m_bWorkItemPending = WORK_ITEM_PENDING;
                break;
            case 1:  // the pump is done with it
                device->m_bWorkItemPending = WORK_ITEM_IDLE;
                break;
            default:
                break;
        }
    }
    device->m_bWorkItemPending = WORK_ITEM_IDLE;
}

void Streamed(Input& in, halvex::client::CameraSession& session) {
    using Kind = halvex::sim::Piece::Kind;
    std::vector<halvex::sim::Piece> script;
    const size_t count = 1 + in.Below(12);
    for (size_t i = 0; i < count; ++i) {
        halvex::sim::Piece piece;
        piece.kind = static_cast<Kind>(in.U8() % 4);
        const uint32_t lengths[] = {FRAME_HEADER_SIZE, TRANSFER_BUFFER_SIZE, 307200, 307264};
        piece.length = in.Pick(lengths) % (TRANSFER_BUFFER_SIZE + 1);
        script.push_back(piece);
    }
    session.Camera().SetScript(script);
    if (!NT_SUCCESS(session.OpenStream(640, 480)))
        return;
    session.SetState(KSSTATE_PAUSE);
    session.SetState(KSSTATE_RUN);
    std::vector<std::shared_ptr<halvex::client::PendingRead>> reads;
    for (int i = 0; i < 2; ++i) reads.push_back(session.QueueRead(640 * 480 * 3));
    halvex::platform::Runtime::Advance(kSecond / 4 + in.U8() * (kSecond / 1000));
    if (in.Bool()) {  // stop and run again: the transfers that failed go round once more
        session.SetState(KSSTATE_STOP);
        session.SetState(KSSTATE_RUN);
        halvex::platform::Runtime::Advance(kSecond / 4);
    }
    halvex::fuzz::EndStream(session, reads);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    halvex::fuzz::Scope scope;
    {
        halvex::client::CameraSession session;
        if (session.Start() != STATUS_SUCCESS)
            halvex::fuzz::Fail("the device did not start");
        if (in.Bool())
            Direct(in, session);
        else
            Streamed(in, session);
        session.Stop();
    }
    return 0;
}
