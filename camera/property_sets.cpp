// The device property set table handed out with the stream header: the standard video sets with
// their items, sizes and proc-amp value records, and the vendor set.
#include "camera/property_sets.h"

namespace {

// One item: get and set support, the least property and data sizes, the values record.
constexpr KSPROPERTY_ITEM Item(ULONG id, BOOLEAN get, BOOLEAN set, ULONG minProperty, ULONG minData,
                               const KSPROPERTY_VALUES* values = nullptr,
                               ULONG serializedSize = 0) {
    KSPROPERTY_ITEM item{};
    item.PropertyId = id;
    item.GetSupported = get;
    item.MinProperty = minProperty;
    item.MinData = minData;
    item.SetSupported = set;
    item.Values = values;
    item.SerializedSize = serializedSize;
    return item;
}

// Proc-amp value records: a stepped range and a default per item.
#define PROC_AMP_RANGE(name, step, minimum, maximum, def)                                          \
    const KSPROPERTY_STEPPING_LONG name##Range = {(step), 0, {{(minimum), (maximum)}}};            \
    const LONG name##Default = (def);                                                              \
    const KSPROPERTY_MEMBERSLIST name##Members[2] = {                                              \
        {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &name##Range}, \
        {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},              \
         &name##Default},                                                                          \
    };                                                                                             \
    const KSPROPERTY_VALUES name##Values = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, name##Members};

PROC_AMP_RANGE(kBrightness, 40, -10000, 10000, -1)
PROC_AMP_RANGE(kContrast, 80, 0, 10000, -1)
PROC_AMP_RANGE(kHue, 1000, -180000, 180000, -1)
PROC_AMP_RANGE(kSaturation, 50, 0, 10000, -1)
PROC_AMP_RANGE(kSharpness, 1, 0, 100, -1)
PROC_AMP_RANGE(kGamma, 1, 1, 500, -1)
PROC_AMP_RANGE(kWhiteBalance, 1, 0, 0, -1)
PROC_AMP_RANGE(kGain, 1, 0, 255, 128)

constexpr ULONG kProcAmpSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);

const KSPROPERTY_ITEM kCrossbarItems[] = {
    Item(0, TRUE, FALSE, 32, 32),  // CAPS
    Item(2, TRUE, FALSE, 40, 40),  // CAN_ROUTE
    Item(3, TRUE, TRUE, 40, 40),   // ROUTE
    Item(1, TRUE, FALSE, 64, 64),  // PININFO
};

const KSPROPERTY_ITEM kProcAmpItems[] = {
    Item(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, TRUE, TRUE, kProcAmpSize, kProcAmpSize,
         &kBrightnessValues, 4),
    Item(KSPROPERTY_VIDEOPROCAMP_CONTRAST, TRUE, TRUE, kProcAmpSize, kProcAmpSize, &kContrastValues,
         4),
    Item(KSPROPERTY_VIDEOPROCAMP_HUE, TRUE, TRUE, kProcAmpSize, kProcAmpSize, &kHueValues, 4),
    Item(KSPROPERTY_VIDEOPROCAMP_SATURATION, TRUE, TRUE, kProcAmpSize, kProcAmpSize,
         &kSaturationValues, 4),
    Item(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, TRUE, TRUE, kProcAmpSize, kProcAmpSize,
         &kSharpnessValues, 4),
    Item(KSPROPERTY_VIDEOPROCAMP_GAMMA, TRUE, TRUE, kProcAmpSize, kProcAmpSize, &kGammaValues, 4),
    Item(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, TRUE, TRUE, kProcAmpSize, kProcAmpSize,
         &kWhiteBalanceValues, 4),
    Item(KSPROPERTY_VIDEOPROCAMP_GAIN, TRUE, TRUE, kProcAmpSize, kProcAmpSize, &kGainValues, 4),
};

const KSPROPERTY_ITEM kVideoControlItems[] = {
    Item(KSPROPERTY_VIDEOCONTROL_CAPS, TRUE, FALSE, 32, 32),
    Item(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, TRUE, FALSE, 56, 56),
    Item(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, TRUE, FALSE, 24, 8),
    Item(KSPROPERTY_VIDEOCONTROL_MODE, TRUE, TRUE, 32, 32),
};

const KSPROPERTY_ITEM kVideoDecoderItems[] = {
    Item(KSPROPERTY_VIDEODECODER_CAPS, TRUE, FALSE, 40, 40),
    Item(KSPROPERTY_VIDEODECODER_STANDARD, TRUE, TRUE, 32, 32),
    Item(KSPROPERTY_VIDEODECODER_STATUS, TRUE, FALSE, 32, 32),
    Item(KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, TRUE, TRUE, 32, 32),
    Item(KSPROPERTY_VIDEODECODER_VCR_TIMING, TRUE, TRUE, 32, 32),
};

const KSPROPERTY_ITEM kVideoCompressionItems[] = {
    Item(0, TRUE, FALSE, 48, 48),  // GETINFO
    Item(1, TRUE, TRUE, 32, 32),   // KEYFRAME_RATE
    Item(2, TRUE, TRUE, 32, 32),   // PFRAMES_PER_KEYFRAME
    Item(3, TRUE, TRUE, 32, 32),   // QUALITY
};

const KSPROPERTY_ITEM kRefusedItems[] = {
    Item(1, TRUE, TRUE, 32, 32),
};

// The vendor items, in their published order: ids 1 to 17, 20, 22 to 48, 180, 129 to 144,
// 146 to 177, 181; each a bare KSPROPERTY and at least one byte of data, get and set.
#define VENDOR_ITEM(id) Item((id), TRUE, TRUE, sizeof(KSPROPERTY), 1)
#define VENDOR_RUN2(a) VENDOR_ITEM(a), VENDOR_ITEM((a) + 1)
#define VENDOR_RUN4(a) VENDOR_RUN2(a), VENDOR_RUN2((a) + 2)
#define VENDOR_RUN8(a) VENDOR_RUN4(a), VENDOR_RUN4((a) + 4)
#define VENDOR_RUN16(a) VENDOR_RUN8(a), VENDOR_RUN8((a) + 8)

const KSPROPERTY_ITEM kVendorItems[] = {
    VENDOR_RUN16(1),   VENDOR_ITEM(17),   VENDOR_ITEM(20),   VENDOR_RUN16(22),
    VENDOR_RUN8(38),   VENDOR_RUN2(46),   VENDOR_ITEM(48),   VENDOR_ITEM(180),
    VENDOR_RUN16(129), VENDOR_RUN16(146), VENDOR_RUN16(162), VENDOR_ITEM(181),
};
static_assert(sizeof(kVendorItems) / sizeof(kVendorItems[0]) == 95);

#define SET(guid, items) \
    { &(guid), sizeof(items) / sizeof((items)[0]), (items), 0, nullptr }

const KSPROPERTY_SET kDevicePropertySets[DEVICE_PROPERTY_SET_COUNT] = {
    SET(PROPSETID_VIDCAP_CROSSBAR, kCrossbarItems),
    SET(PROPSETID_VIDCAP_VIDEOPROCAMP, kProcAmpItems),
    SET(PROPSETID_VIDCAP_VIDEOCONTROL, kVideoControlItems),
    SET(PROPSETID_VIDCAP_VIDEODECODER, kVideoDecoderItems),
    SET(PROPSETID_VIDCAP_VIDEOCOMPRESSION, kVideoCompressionItems),
    SET(PROPSETID_REFUSED_F162C607, kRefusedItems),
    SET(PROPSETID_VENDOR_CAMERA, kVendorItems),
};

}  // namespace

const KSPROPERTY_SET* DevicePropertySets(PULONG count) {
    *count = DEVICE_PROPERTY_SET_COUNT;
    return kDevicePropertySets;
}
