// The life of the device's processing objects: created at the end of start-up, released at
// uninitialise and when a later start-up step fails.
#pragma once

#include "driver/device_context.h"

// Creates the seven processing objects with their start values, in order: sharpness filter, tone
// tables, white balance, automatic exposure (then the camera settings are read once more), raw
// pre-processor, zone statistics, colour correction. STATUS_NO_SUCH_DEVICE when one cannot be
// allocated (the caller releases what was created).
NTSTATUS CreateProcessingObjects(DeviceContext* device);
// Releases every processing object present, in creation order, and clears its slot.
VOID ReleaseProcessingObjects(DeviceContext* device);
