#include "driver/stream_formats.h"

#include "camera/property_sets.h"

namespace {

// One RGB24 range of W x H: bottom-up, 20 frames per second by default, 30 at most.
#define VIDEO_RANGE(W, H)                                                         \
    {                                                                             \
        {{sizeof(KS_DATARANGE_VIDEO), 0, (W) * (H)*3, 0, KSDATAFORMAT_TYPE_VIDEO, \
          MEDIASUBTYPE_RGB24, KSDATAFORMAT_SPECIFIER_VIDEOINFO}},                 \
            TRUE, TRUE, 0, 0,                                                     \
            {KSDATAFORMAT_SPECIFIER_VIDEOINFO,                                    \
             0x11,                                                                \
             {W, H},                                                              \
             {W, H},                                                              \
             {W, H},                                                              \
             1,                                                                   \
             1,                                                                   \
             1,                                                                   \
             1,                                                                   \
             {W, H},                                                              \
             {W, H},                                                              \
             W,                                                                   \
             H,                                                                   \
             0,                                                                   \
             0,                                                                   \
             0,                                                                   \
             0,                                                                   \
             333300,                                                              \
             10000000,                                                            \
             (W) * (H)*24 * 30,                                                   \
             (W) * (H)*24 * 30},                                                  \
        {                                                                         \
            {0, 0, 0, 0}, {0, 0, 0, 0}, (W) * (H)*90, 0, 500000, {                \
                40, W, H, 1, 24, KS_BI_RGB, (W) * (H)*3, 0, 0, 0, 0               \
            }                                                                     \
        }                                                                         \
    }

// Each width: full height, partial readouts 1 and 2, then the same three halved.
#define WIDTH_RANGES(W, H0, H1, H2)                                                       \
    VIDEO_RANGE(W, H0), VIDEO_RANGE(W, H1), VIDEO_RANGE(W, H2), VIDEO_RANGE(W, (H0) / 2), \
        VIDEO_RANGE(W, (H1) / 2), VIDEO_RANGE(W, (H2) / 2)

}  // namespace

const UCHAR g_ReadoutModes[FORMATS_PER_WIDTH] = {0x00, 0x01, 0x02, 0x20, 0x40, 0x80};

const KS_DATARANGE_VIDEO g_VideoRanges[VIDEO_RANGE_COUNT] = {
    WIDTH_RANGES(1600, 1200, 544, 208), WIDTH_RANGES(1360, 1024, 472, 176),
    WIDTH_RANGES(1280, 960, 440, 168),  WIDTH_RANGES(1024, 768, 344, 136),
    WIDTH_RANGES(640, 480, 224, 80),
};

namespace {

#define FORMAT_POINTERS(first)                                                            \
    {                                                                                     \
        &g_VideoRanges[(first)].DataRange, &g_VideoRanges[(first) + 1].DataRange,         \
            &g_VideoRanges[(first) + 2].DataRange, &g_VideoRanges[(first) + 3].DataRange, \
            &g_VideoRanges[(first) + 4].DataRange, &g_VideoRanges[(first) + 5].DataRange  \
    }

const KSDATAFORMAT* const kFormats1600[FORMATS_PER_WIDTH] = FORMAT_POINTERS(0);
const KSDATAFORMAT* const kFormats1360[FORMATS_PER_WIDTH] = FORMAT_POINTERS(6);
const KSDATAFORMAT* const kFormats1280[FORMATS_PER_WIDTH] = FORMAT_POINTERS(12);
const KSDATAFORMAT* const kFormats1024[FORMATS_PER_WIDTH] = FORMAT_POINTERS(18);
const KSDATAFORMAT* const kFormats640[FORMATS_PER_WIDTH] = FORMAT_POINTERS(24);

const FormatList kFormatLists[] = {
    {1600, kFormats1600}, {1360, kFormats1360}, {1280, kFormats1280},
    {1024, kFormats1024}, {640, kFormats640},
};

const GUID kCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};
const GUID kTopologyNodes[] = {KSCATEGORY_VIDEO};
const KSTOPOLOGY kTopology = {2, kCategories, 1, kTopologyNodes, 0, nullptr, nullptr, 0};

const KSPIN_MEDIUM kMediums[] = {{{{KSMEDIUMSETID_Standard, 0, 0}}}};

const KSPROPERTY_ITEM kConnectionItems[] = {
    {KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
     {.GetSupported = TRUE},
     sizeof(KSPROPERTY),
     sizeof(KSALLOCATOR_FRAMING),
     {.SetSupported = FALSE},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};
const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    {KSPROPERTY_DROPPEDFRAMES_CURRENT,
     {.GetSupported = TRUE},
     sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     {.SetSupported = FALSE},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};
const KSPROPERTY_SET kStreamPropertySets[] = {
    {&KSPROPSETID_Connection, 1, kConnectionItems, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr},
};

HW_STREAM_HEADER g_StreamHeader = {
    1, sizeof(HW_STREAM_INFORMATION), 0, nullptr, 0, nullptr, &kTopology, nullptr, 0, nullptr};

HW_STREAM_INFORMATION g_StreamInformation = {
    1,
    KSPIN_DATAFLOW_OUT,
    TRUE,
    0,
    nullptr,
    {nullptr, nullptr, nullptr, nullptr},
    2,
    kStreamPropertySets,
    0,
    nullptr,
    &PINNAME_VIDEO_CAPTURE,
    &PINNAME_VIDEO_CAPTURE,
    1,
    kMediums,
    FALSE,
    {0, 0},
};

}  // namespace

const FormatList* FindFormatList(ULONG width) {
    for (const FormatList& list : kFormatLists) {
        if (list.width == width)
            return &list;
    }
    return nullptr;
}

HW_STREAM_INFORMATION* StreamInformation() {
    return &g_StreamInformation;
}

VOID GetStreamInfo(PHW_STREAM_REQUEST_BLOCK srb) {
    PHW_STREAM_DESCRIPTOR descriptor = srb->CommandData.StreamBuffer;
    if (descriptor == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    g_StreamHeader.DevicePropertiesArray =
        DevicePropertySets(&g_StreamHeader.NumDevPropArrayEntries);
    RtlCopyMemory(&descriptor->StreamHeader, &g_StreamHeader, sizeof g_StreamHeader);
    RtlCopyMemory(&descriptor->StreamInfo, &g_StreamInformation, sizeof g_StreamInformation);
    descriptor->StreamHeader.Topology = &kTopology;
}
