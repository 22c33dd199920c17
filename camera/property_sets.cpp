// The property handlers are answered here until the standard and vendor sets are built: every
// request gets STATUS_NOT_IMPLEMENTED. The table lists the seven published sets with no items.
#include "camera/property_sets.h"

namespace {
const KSPROPERTY_SET kDevicePropertySets[DEVICE_PROPERTY_SET_COUNT] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 0, nullptr, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCONTROL, 0, nullptr, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEODECODER, 0, nullptr, 0, nullptr},
    {&PROPSETID_VIDCAP_CROSSBAR, 0, nullptr, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 0, nullptr, 0, nullptr},
    {&PROPSETID_REFUSED_F162C607, 0, nullptr, 0, nullptr},
    {&PROPSETID_VENDOR_CAMERA, 0, nullptr, 0, nullptr},
};
}  // namespace

const KSPROPERTY_SET* DevicePropertySets(PULONG count) {
    *count = DEVICE_PROPERTY_SET_COUNT;
    return kDevicePropertySets;
}

VOID GetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
VOID SetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
VOID GetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
VOID GetVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
VOID GetVendorProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
VOID SetVendorProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
