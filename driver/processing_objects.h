// The life of the device's processing objects: created at the end of start-up, released at
// uninitialise and when a later start-up step fails.
#pragma once

#include "driver/device_context.h"

// Creates the processing objects with their start values. Until the processing stages exist this
// creates nothing and succeeds.
NTSTATUS CreateProcessingObjects(DeviceContext* device);
// Releases every processing object present and clears its field.
VOID ReleaseProcessingObjects(DeviceContext* device);
