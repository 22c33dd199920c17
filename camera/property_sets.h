// The device property sets: the published table, and the handlers the adapter routes property
// requests to. Each handler leaves its result in the SRB's Status.
#pragma once

#include "driver/device_context.h"

// The vendor property set {22A496AE-0A04-45FE-9524-58197662D090}.
HALVEX_GUID(PROPSETID_VENDOR_CAMERA, 0x22a496ae, 0x0a04, 0x45fe, 0x95, 0x24, 0x58, 0x19, 0x76, 0x62,
            0xd0, 0x90);
// A further published set that is refused like the crossbar and compression sets.
HALVEX_GUID(PROPSETID_REFUSED_F162C607, 0xf162c607, 0x7b35, 0x496f, 0xad, 0x7f, 0x2d, 0xca, 0x3b,
            0x46, 0xb7, 0x18);

#define DEVICE_PROPERTY_SET_COUNT 7

// The device property set table handed out with the stream header.
const KSPROPERTY_SET* DevicePropertySets(PULONG count);

VOID GetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID SetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID GetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID GetVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID GetVendorProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID SetVendorProperty(PHW_STREAM_REQUEST_BLOCK srb);
// Releases the references on the application events (at uninitialise).
VOID ReleaseUserEvents(DeviceContext* device);
