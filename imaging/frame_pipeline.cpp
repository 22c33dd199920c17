// The frame path: raw stages, rotation, conversion (or the monochrome copy), output stages and
// the widening of a grey image to three bytes per pixel.
#include "imaging/frame_pipeline.h"

#include "camera/command_protocol.h"
#include "convert/convert_raw_frame.h"
#include "convert/rotate_raw_frame.h"
#include "imaging/stage_sequence.h"

namespace {

// Offset of the image in a raw frame, after the camera's header.
constexpr ULONG kRawImageOffset = 64;

// The rotation operation of a rotation mode: 0 flips (which shows the first raw row at the top of
// the bottom-up output), 1 turns by half, 3 mirrors; anything else does not turn the frame.
UCHAR RotationOperation(USHORT mode) {
    switch (mode) {
        case 0:
            return ROTATE_FLIP;
        case 1:
            return ROTATE_HALF_TURN;
        case 3:
            return ROTATE_MIRROR;
        default:
            return ROTATE_NONE;
    }
}

// Widens `pixels` grey bytes at the start of image to three equal bytes each, from the last pixel
// to the first so that no grey byte is overwritten before it is read.
VOID WidenGrey(PUCHAR image, ULONG pixels) {
    for (ULONG i = pixels; i-- > 0;) {
        const UCHAR grey = image[i];
        PUCHAR pixel = image + 3 * static_cast<SIZE_T>(i);
        pixel[0] = grey;
        pixel[1] = grey;
        pixel[2] = grey;
    }
}

}  // namespace

VOID ProcessRawImage(DeviceContext* device, ULONG width, ULONG height, PUCHAR raw,
                     PUCHAR destination) {
    USHORT arrangement = ReadShadow16(device, device->m_CameraInfo, CAMERA_INFO_ARRANGEMENT);
    const BOOLEAN monochrome = arrangement == 1;

    RunRawStages(device, width, height, arrangement, raw);

    const UCHAR operation = RotationOperation(RotationMode(device));
    const UCHAR method = ConversionMethod(device);
    if (operation == ROTATE_FLIP && monochrome) {
        // The grey bytes go to the destination in reverse row order: the flip and the copy in
        // one pass.
        for (ULONG y = 0; y < height; y++)
            RtlCopyMemory(destination + static_cast<SIZE_T>(y) * width,
                          raw + static_cast<SIZE_T>(height - 1 - y) * width, width);
    } else if (operation == ROTATE_FLIP &&
               ConvertFlippedRawFrame(width, height, raw, destination, method, arrangement)) {
        // Converted as the flipped frame, reading the rows from the bottom up.
        arrangement = FlippedArrangement(arrangement);
    } else {
        if (operation != ROTATE_NONE)
            RotateRawFrame(operation, &width, &height, &arrangement, raw);
        if (monochrome) {
            // Only the W x H grey bytes are the image; the widening below fills the rest.
            RtlCopyMemory(destination, raw, static_cast<SIZE_T>(width) * height);
        } else {
            // Method 5 leaves the outer ring of the buffer as it was; the picture must not show
            // what the application's buffer held, so the ring gets method 3's values first.
            if (method == 5 && arrangement != ARRANGEMENT_PACKED_LUMA_CHROMA)
                FillRingBilinear(width, height, raw, destination);
            ULONG status = 0;
            ConvertRawFrame(&status, width, height, raw, destination, method, arrangement);
        }
    }
    const ULONG pixels = width * height;
    RunOutputStages(device, width, height,
                    arrangement == 1 ? OUTPUT_FORMAT_GREY : OUTPUT_FORMAT_RGB24, pixels,
                    destination);
    if (monochrome)
        WidenGrey(destination, pixels);
}

VOID ProcessFrame(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    auto* stream = static_cast<StreamContext*>(srb->StreamObject->HwStreamExtension);
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stream->m_FormatLock);
    const KS_BITMAPINFOHEADER& bmi = stream->m_pVideoInfoHeader->bmiHeader;
    ULONG width = static_cast<ULONG>(bmi.biWidth);
    ULONG height =
        bmi.biHeight < 0 ? 0u - static_cast<ULONG>(bmi.biHeight) : static_cast<ULONG>(bmi.biHeight);
    const ULONG imageSize = bmi.biSizeImage;
    KeReleaseSpinLock(&stream->m_FormatLock, irql);

    if (header->FrameExtent < imageSize)
        return;
    if (device->m_pFrameBuffer != nullptr)
        ProcessRawImage(device, width, height, device->m_pFrameBuffer + kRawImageOffset,
                        static_cast<PUCHAR>(header->Data));
    header->DataUsed = imageSize;
}
