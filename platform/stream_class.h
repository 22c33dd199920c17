// Stream class minidriver records, request codes and services, laid out as on Windows x64.
#pragma once

#include "platform/ks.h"

struct _HW_STREAM_REQUEST_BLOCK;
struct _HW_STREAM_OBJECT;
typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;
typedef struct _HW_STREAM_OBJECT HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

typedef VOID (*PHW_RECEIVE_DEVICE_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID (*PHW_CANCEL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID (*PHW_REQUEST_TIMEOUT_HANDLER)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef BOOLEAN (*PHW_INTERRUPT)(PVOID DeviceExtension);
typedef VOID (*PHW_TIMER_ROUTINE)(PVOID Context);
typedef PHW_RECEIVE_DEVICE_SRB PHW_RECEIVE_STREAM_DATA_SRB;
typedef PHW_RECEIVE_DEVICE_SRB PHW_RECEIVE_STREAM_CONTROL_SRB;

typedef enum _SRB_COMMAND : int {
    SRB_READ_DATA = 1,
    SRB_WRITE_DATA,
    SRB_GET_STREAM_STATE,
    SRB_SET_STREAM_STATE,
    SRB_SET_STREAM_PROPERTY,
    SRB_GET_STREAM_PROPERTY,
    SRB_OPEN_MASTER_CLOCK,
    SRB_INDICATE_MASTER_CLOCK,
    SRB_UNKNOWN_STREAM_COMMAND,
    SRB_SET_STREAM_RATE,
    SRB_PROPOSE_DATA_FORMAT,
    SRB_CLOSE_MASTER_CLOCK,
    SRB_PROPOSE_STREAM_RATE,
    SRB_SET_DATA_FORMAT,
    SRB_GET_DATA_FORMAT,
    SRB_BEGIN_FLUSH,
    SRB_END_FLUSH,

    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM,
    SRB_CLOSE_STREAM,
    SRB_OPEN_DEVICE_INSTANCE,
    SRB_CLOSE_DEVICE_INSTANCE,
    SRB_GET_DEVICE_PROPERTY,
    SRB_SET_DEVICE_PROPERTY,
    SRB_INITIALIZE_DEVICE,
    SRB_CHANGE_POWER_STATE,
    SRB_UNINITIALIZE_DEVICE,
    SRB_UNKNOWN_DEVICE_COMMAND,
    SRB_PAGING_OUT_DRIVER,
    SRB_GET_DATA_INTERSECTION,
    SRB_INITIALIZATION_COMPLETE,
    SRB_SURPRISE_REMOVAL,
} SRB_COMMAND;
static_assert(SRB_SURPRISE_REMOVAL == 0x10E);

// ---------------------------------------------------------------------------------------------
// Records the stream class and the driver exchange
// ---------------------------------------------------------------------------------------------
typedef struct _HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    PHW_INTERRUPT HwInterrupt;
    PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
    PHW_CANCEL_SRB HwCancelPacket;
    PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
    ULONG DeviceExtensionSize;
    ULONG PerRequestExtensionSize;
    ULONG PerStreamExtensionSize;
    ULONG FilterInstanceExtensionSize;
    BOOLEAN BusMasterDMA;
    BOOLEAN Dma24BitAddresses;
    ULONG BufferAlignment;
    BOOLEAN TurnOffSynchronization;
    ULONG DmaBufferSize;
    ULONG NumNameExtensions;
    PWCHAR* NameExtensionArray;
    ULONG Reserved[2];
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;
static_assert(sizeof(HW_INITIALIZATION_DATA) == 96);

typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG SystemIoBusNumber;
    ULONG AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    ULONG InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PVOID AccessRanges;
    ULONG StreamDescriptorSize;
    PIRP Irp;
    PVOID InterruptObject;
    PVOID DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 120);

typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    const KSPROPERTY_SET* DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PVOID DeviceEventsArray;
    const KSTOPOLOGY* Topology;
    PVOID DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    PVOID DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;
static_assert(sizeof(HW_STREAM_HEADER) == 72);

typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    const KSDATAFORMAT* const* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    const KSPROPERTY_SET* StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PVOID StreamEventsArray;
    const GUID* Category;
    const GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;
static_assert(sizeof(HW_STREAM_INFORMATION) == 136);

typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;
    PVOID PropertyInfo;
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;
static_assert(sizeof(STREAM_PROPERTY_DESCRIPTOR) == 32);

typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;
static_assert(sizeof(STREAM_DATA_INTERSECT_INFO) == 32);

typedef enum : int {
    TIME_GET_STREAM_TIME = 0,
    TIME_READ_ONBOARD_CLOCK,
    TIME_SET_ONBOARD_CLOCK
} TIME_FUNCTION;

typedef struct _HW_TIME_CONTEXT {
    PVOID HwDeviceExtension;
    PHW_STREAM_OBJECT HwStreamObject;
    TIME_FUNCTION Function;
    ULONGLONG Time;
    ULONGLONG SystemTime;
} HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;
static_assert(sizeof(HW_TIME_CONTEXT) == 40);

typedef VOID (*PHW_CLOCK_FUNCTION)(PHW_TIME_CONTEXT HwTimeContext);

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
} HW_CLOCK_OBJECT;
static_assert(sizeof(HW_CLOCK_OBJECT) == 24);

struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PVOID HwEventRoutine;
    ULONG Reserved[2];
};

struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    PHW_STREAM_OBJECT StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;
    union {
        PKSSTREAM_HEADER DataBufferArray;
        PHW_STREAM_DESCRIPTOR StreamBuffer;
        KSSTATE StreamState;
        PVOID TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
        PKSDATAFORMAT OpenFormat;
        PPORT_CONFIGURATION_INFORMATION ConfigInfo;
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
        PVOID MethodInfo;
        LONG FilterTypeIndex;
        BOOLEAN Wakeup;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    PHW_STREAM_REQUEST_BLOCK NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };
    PVOID ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG_PTR Reserved[1];
};
static_assert(sizeof(HW_STREAM_REQUEST_BLOCK) == 128);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, CommandData) == 40);

// ---------------------------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------------------------
typedef enum : int {
    ReadyForNextDeviceRequest = 0,
    DeviceRequestComplete,
    SignalMultipleDeviceEvents,
    SignalDeviceEvent,
    DeleteDeviceEvent,
    SignalMultipleDeviceInstanceEvents,
    DeviceNotificationMaximum
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

typedef enum : int {
    ReadyForNextStreamDataRequest = 0,
    ReadyForNextStreamControlRequest,
    HardwareStarved,
    StreamRequestComplete,
    SignalMultipleStreamEvents,
    SignalStreamEvent,
    DeleteStreamEvent,
    StreamNotificationMaximum
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

NTSTATUS StreamClassRegisterMinidriver(PVOID Argument1, PVOID Argument2,
                                       PHW_INITIALIZATION_DATA HwInitializationData);
#define StreamClassRegisterAdapter StreamClassRegisterMinidriver

// Reports an adapter request complete: (DeviceRequestComplete, device extension, SRB).
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, ...);
// Reports a stream request complete: (StreamRequestComplete, stream object, SRB).
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, ...);
// Arms the stream's timer to call Routine(Context) once after the interval; 0 disarms it.
VOID StreamClassScheduleTimer(PHW_STREAM_OBJECT StreamObject, PVOID HwDeviceExtension,
                              ULONG NumberOfMicroseconds, PHW_TIMER_ROUTINE TimerRoutine,
                              PVOID Context);
VOID StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext);
