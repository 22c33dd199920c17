// Kernel streaming records and identifiers exchanged between applications, the stream class and
// the driver, laid out as on Windows x64.
#pragma once

#include "platform/nt_io.h"

// ---------------------------------------------------------------------------------------------
// Identifiers
// ---------------------------------------------------------------------------------------------
#define HALVEX_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

HALVEX_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
HALVEX_GUID(KSDATAFORMAT_TYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
HALVEX_GUID(KSDATAFORMAT_TYPE_VIDEO, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38,
            0x9b, 0x71);
HALVEX_GUID(MEDIASUBTYPE_RGB24, 0xe436eb7d, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b,
            0xa7, 0x70);
HALVEX_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO, 0x05589f80, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa,
            0x00, 0x55, 0x59, 0x5a);
HALVEX_GUID(KSCATEGORY_VIDEO, 0x6994ad05, 0x93ef, 0x11d0, 0xa3, 0xcc, 0x00, 0xa0, 0xc9, 0x22, 0x31,
            0x96);
HALVEX_GUID(KSCATEGORY_CAPTURE, 0x65e8773d, 0x8f56, 0x11d0, 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22,
            0x31, 0x96);
HALVEX_GUID(PINNAME_VIDEO_CAPTURE, 0xfb6c4281, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc,
            0x16, 0xba);
HALVEX_GUID(KSMEDIUMSETID_Standard, 0x4747b320, 0x62ce, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1,
            0x00, 0x00);
HALVEX_GUID(KSPROPSETID_Connection, 0x1d58c920, 0xac9b, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1,
            0x00, 0x00);
HALVEX_GUID(PROPSETID_VIDCAP_VIDEOPROCAMP, 0xc6e13360, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9,
            0x11, 0x89, 0x56);
HALVEX_GUID(PROPSETID_VIDCAP_VIDEODECODER, 0xc6e13350, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9,
            0x11, 0x89, 0x56);
HALVEX_GUID(PROPSETID_VIDCAP_VIDEOCONTROL, 0x6a2e0670, 0x28e4, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9,
            0x11, 0x89, 0x56);
HALVEX_GUID(PROPSETID_VIDCAP_CROSSBAR, 0x6a2e0640, 0x28e4, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9,
            0x11, 0x89, 0x56);
HALVEX_GUID(PROPSETID_VIDCAP_VIDEOCOMPRESSION, 0xc6e13343, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0,
            0xc9, 0x11, 0x89, 0x56);
HALVEX_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES, 0xc6e13344, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0,
            0xc9, 0x11, 0x89, 0x56);

// ---------------------------------------------------------------------------------------------
// Property requests
// ---------------------------------------------------------------------------------------------
typedef struct {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;
static_assert(sizeof(KSPROPERTY) == 24 && alignof(KSPROPERTY) == 8);

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002

// ---------------------------------------------------------------------------------------------
// Data formats and ranges
// ---------------------------------------------------------------------------------------------
typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8);

typedef enum : int { KSSTATE_STOP = 0, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;
typedef enum : int { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION;

typedef struct {
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG TopologyNodesCount;
    const GUID* TopologyNodes;
    ULONG TopologyConnectionsCount;
    const KSTOPOLOGY_CONNECTION* TopologyConnections;
    const GUID* TopologyNodesNames;
    ULONG Reserved;
} KSTOPOLOGY, *PKSTOPOLOGY;
static_assert(sizeof(KSTOPOLOGY) == 64);

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME;
static_assert(sizeof(KSTIME) == 16);

typedef struct {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(KSSTREAM_HEADER) == 56);

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100

typedef struct {
    ULONG ExtendedHeaderSize;
    DWORD dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    union {
        LONG lSurfacePitch;
        DWORD Reserved1;
    };
    DWORD Reserved2;
    DWORD Reserved3;
    DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(sizeof(KS_FRAME_INFO) == 72);

// ---------------------------------------------------------------------------------------------
// Video formats
// ---------------------------------------------------------------------------------------------
typedef struct {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

#define KS_BI_RGB 0L

typedef struct {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);

typedef struct {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);

typedef struct {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);

typedef struct {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

#define KS_AnalogVideo_NTSC_M 0x00000001

// ---------------------------------------------------------------------------------------------
// Video property records
// ---------------------------------------------------------------------------------------------
typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG VideoControlCaps;
} KSPROPERTY_VIDEOCONTROL_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32);

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    LONG Mode;
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32);

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
    LONGLONG CurrentActualFrameRate;
    LONGLONG CurrentMaxAvailableFrameRate;
} KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56);

typedef struct {
    KSPROPERTY Property;
    ULONG StandardsSupported;
    ULONG Capabilities;
    ULONG SettlingTime;
    ULONG HSyncPerVSync;
} KSPROPERTY_VIDEODECODER_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40);

typedef struct {
    KSPROPERTY Property;
    ULONG Value;
} KSPROPERTY_VIDEODECODER_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32);

typedef struct {
    KSPROPERTY Property;
    ULONG NumberOfLines;
    ULONG SignalLocked;
} KSPROPERTY_VIDEODECODER_STATUS_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32);

#define KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS 0
#define KSPROPERTY_VIDEOPROCAMP_CONTRAST 1
#define KSPROPERTY_VIDEOPROCAMP_HUE 2
#define KSPROPERTY_VIDEOPROCAMP_SATURATION 3
#define KSPROPERTY_VIDEOPROCAMP_SHARPNESS 4
#define KSPROPERTY_VIDEOPROCAMP_GAMMA 5
#define KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE 7
#define KSPROPERTY_VIDEOPROCAMP_GAIN 9
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002

#define KSPROPERTY_VIDEODECODER_CAPS 0
#define KSPROPERTY_VIDEODECODER_STANDARD 1
#define KSPROPERTY_VIDEODECODER_STATUS 2
#define KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE 3
#define KSPROPERTY_VIDEODECODER_VCR_TIMING 4

#define KSPROPERTY_VIDEOCONTROL_CAPS 0
#define KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE 1
#define KSPROPERTY_VIDEOCONTROL_FRAME_RATES 2
#define KSPROPERTY_VIDEOCONTROL_MODE 3

// ---------------------------------------------------------------------------------------------
// Stream properties
// ---------------------------------------------------------------------------------------------
typedef struct {
    union {
        ULONG OptionsFlags;
        ULONG RequirementsFlags;
    };
    ULONG PoolType;
    ULONG Frames;
    ULONG FrameSize;
    union {
        ULONG FileAlignment;
        LONG FramePitch;
    };
    ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000
#define KSPROPERTY_CONNECTION_ALLOCATORFRAMING 3

typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);

#define KSPROPERTY_DROPPEDFRAMES_CURRENT 0

// ---------------------------------------------------------------------------------------------
// Property tables handed to the stream class
// ---------------------------------------------------------------------------------------------
typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

HALVEX_GUID(KSPROPTYPESETID_General, 0x97e99ba0, 0xbdea, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1,
            0x00, 0x00);
#define VT_I4 3

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001

typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    union {
        struct {
            LONG SignedMinimum;
            LONG SignedMaximum;
        };
        struct {
            ULONG UnsignedMinimum;
            ULONG UnsignedMaximum;
        };
    } Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

typedef struct KSPROPERTY_MEMBERSLIST_ {
    KSPROPERTY_MEMBERSHEADER MembersHeader;
    const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;
static_assert(sizeof(KSPROPERTY_MEMBERSLIST) == 24);

typedef struct {
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    const struct KSPROPERTY_MEMBERSLIST_* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;
static_assert(sizeof(KSPROPERTY_ITEM) == 72);

typedef struct {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const PVOID FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;
static_assert(sizeof(KSPROPERTY_SET) == 40);
