// Device start-up: frame buffers, USB configuration and bulk IN pipe, camera identification,
// sensor size and format list, camera settings, processing objects.
#pragma once

#include "driver/device_context.h"

// SRB_INITIALIZE_DEVICE. Returns the status that becomes the SRB's status; on failure nothing
// the start-up allocated is left behind.
NTSTATUS StartDevice(PHW_STREAM_REQUEST_BLOCK srb);

// Releases the configuration descriptor and both frame buffers, clearing their fields.
VOID ReleaseStartupResources(DeviceContext* device);
