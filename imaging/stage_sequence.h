// The processing stages at the two fixed points of the frame path: the raw stages on the raw
// frame before rotation, the output stages on the converted image before monochrome widening.
#pragma once

#include "driver/device_context.h"

// Output format codes handed to the output stages.
#define OUTPUT_FORMAT_GREY 1
#define OUTPUT_FORMAT_RGB24 4
#define OUTPUT_FORMAT_RGB32 8

// Raw stages on the width x height raw image (arrangement code as stored by the camera).
VOID RunRawStages(DeviceContext* device, ULONG width, ULONG height, USHORT arrangement, PUCHAR raw);

// Output stages on the converted image of `pixels` pixels in output format `format`.
VOID RunOutputStages(DeviceContext* device, ULONG width, ULONG height, ULONG format, ULONG pixels,
                     PUCHAR image);
