// The application's view of one started device: a simulated camera of a chosen model behind the
// USB stack, the driver loaded through its DriverEntry, and the adapter requests an application
// causes (start, stop, stream information and formats).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/vendor_records.h"
#include "platform/stream_class_host.h"
#include "platform/usb_stack.h"
#include "sim/sim_camera.h"

struct DeviceContext;

namespace halvex::client {

// One published video format.
struct VideoFormat {
    uint32_t width;
    int32_t height;
    uint32_t imageSize;
    int64_t frameInterval;  // 100 ns units
    uint8_t readoutMode;    // the camera readout mode the driver programs for it
};

// A published proc-amp property: its range, step and default.
struct ProcAmpRange {
    uint32_t id;
    int32_t minimum;
    int32_t maximum;
    uint32_t step;
    int32_t defaultValue;
};

// Vendor property ids the client names.
enum VendorId : uint32_t {
    kVendorSetSharpness = 1,
    kVendorSetLookupTables = 2,
    kVendorSetWhiteBalance = 3,
    kVendorSetConversion = 4,
    kVendorSetColorCorrection = 5,
    kVendorSetEvent = 6,
    kVendorSetExposure = 10,
    kVendorLoadSettings = 16,
    kVendorSaveSettings = 17,
    kVendorSetPreprocessing = 20,
    kVendorPutSettings = 180,
    kVendorGetSharpness = 129,
    kVendorGetLookupTables = 130,
    kVendorGetWhiteBalance = 131,
    kVendorGetConversion = 132,
    kVendorGetColorCorrection = 133,
    kVendorGetExposure = 140,
    kVendorGetPreprocessing = 146,
    kVendorGetSettings = 181,
};
constexpr size_t kSettingsSnapshotSize = 1557;

// The camera model codes the driver serves.
std::vector<uint16_t> KnownModelCodes();

// A read request queued on the stream, with its buffer and stream header.
class PendingRead {
  public:
    PendingRead(platform::HostDevice& device, platform::HostStream& stream, size_t bufferSize);
    PendingRead(const PendingRead&) = delete;
    PendingRead& operator=(const PendingRead&) = delete;

    bool Done() const { return m_srb->Done(); }
    // Waits for completion until the absolute deadline (-1: none); true when completed.
    bool Wait(int64_t deadline = -1) { return m_srb->Wait(deadline); }
    NTSTATUS Status() { return m_srb->Status(); }
    platform::HostSrb& Srb() { return *m_srb; }

    // The stream header and frame information as the driver left them.
    const KSSTREAM_HEADER& Header() const { return m_header.header; }
    const KS_FRAME_INFO& FrameInfo() const { return m_header.frameInfo; }
    const std::vector<uint8_t>& Data() const { return m_data; }

  private:
    friend class CameraSession;
    struct StreamHeader {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO frameInfo;
    };
    std::unique_ptr<platform::HostSrb> m_srb;
    StreamHeader m_header{};
    std::vector<uint8_t> m_data;
};

class CameraSession {
  public:
    // Loads the driver and creates the device on a new simulated camera. A platform runtime must
    // be running for the session's whole life.
    explicit CameraSession(const sim::CameraConfig& camera = {});
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // SRB_INITIALIZE_DEVICE / SRB_UNINITIALIZE_DEVICE.
    NTSTATUS Start(ULONG accessRanges = 0);
    NTSTATUS Stop();
    bool Started() const { return m_started; }

    // SRB_GET_STREAM_INFO into a buffer it sizes; the descriptor lives in *buffer.
    NTSTATUS StreamDescriptor(std::vector<uint64_t>* buffer, PHW_STREAM_DESCRIPTOR* descriptor);
    // SRB_GET_STREAM_INFO: the formats the stream publishes.
    NTSTATUS Formats(std::vector<VideoFormat>* formats);

    // What the driver found at start-up (read from its device record, for diagnostics).
    uint16_t ModelCode();
    uint16_t Arrangement();
    uint32_t SensorWidth();
    uint32_t SensorHeight();

    // The capture stream. A format is a KS_DATAFORMAT_VIDEOINFOHEADER with its bitmap header, as
    // the intersection returns it.
    // SRB_GET_DATA_INTERSECTION with the published range of this size.
    NTSTATUS IntersectFormat(uint32_t width, int32_t height, std::vector<uint8_t>* format);
    NTSTATUS OpenStream(const std::vector<uint8_t>& format);
    // Intersects, then opens with the result.
    NTSTATUS OpenStream(uint32_t width, int32_t height);
    NTSTATUS CloseStream();
    bool StreamOpen() const { return m_stream != nullptr; }
    NTSTATUS SetFormat(const std::vector<uint8_t>& format);
    NTSTATUS ProposeFormat(const std::vector<uint8_t>& format);
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state);
    // SRB_INDICATE_MASTER_CLOCK with the clock's handle, or null to remove it.
    NTSTATUS SetMasterClock(platform::HostClock* clock);
    NTSTATUS GetAllocatorFraming(KSALLOCATOR_FRAMING* framing);
    NTSTATUS GetDroppedFrames(KSPROPERTY_DROPPEDFRAMES_CURRENT_S* dropped);
    // Queues a read of a buffer of this size; it completes when a frame is delivered into it,
    // or when it is cancelled or refused.
    std::shared_ptr<PendingRead> QueueRead(size_t bufferSize);
    // Asks the driver to cancel a queued read.
    void CancelRead(PendingRead& read);
    platform::HostStream* Stream() { return m_stream.get(); }

    // Device properties. Proc-amp values and flags as the standard set carries them.
    NTSTATUS GetProcAmp(uint32_t id, int32_t* value, uint32_t* flags);
    NTSTATUS SetProcAmp(uint32_t id, int32_t value, uint32_t flags);
    // The proc-amp items the driver publishes, from its property set table.
    NTSTATUS ProcAmpRanges(std::vector<ProcAmpRange>* ranges);
    // A vendor id's payload: get fills `size` bytes, set sends the bytes given. `transferred`
    // receives what the driver reports (the size it needs, on a short buffer).
    NTSTATUS GetVendor(uint32_t id, size_t size, std::vector<uint8_t>* data,
                       uint32_t* transferred = nullptr);
    NTSTATUS SetVendor(uint32_t id, const std::vector<uint8_t>& data,
                       uint32_t* transferred = nullptr);
    // Any device property: SRB_GET_DEVICE_PROPERTY or SRB_SET_DEVICE_PROPERTY with the property
    // record given (its set, id and flags are filled in here) and the data buffer.
    NTSTATUS DeviceProperty(bool set, const GUID& propertySet, ULONG id, void* property,
                            ULONG propertySize, void* data, ULONG dataSize,
                            uint32_t* transferred = nullptr);
    // Typed vendor records (each get and set id of the stage records).
    NTSTATUS GetSharpness(SharpnessRecord* record);
    NTSTATUS SetSharpness(const SharpnessRecord& record);
    NTSTATUS GetToneTables(ToneTablesRecord* record);
    NTSTATUS SetToneTables(const ToneTablesRecord& record);
    NTSTATUS GetWhiteBalance(WhiteBalanceRecord* record);
    NTSTATUS SetWhiteBalance(const WhiteBalanceRecord& record);
    NTSTATUS GetConversion(ConversionRecord* record);
    NTSTATUS SetConversion(const ConversionRecord& record);
    NTSTATUS GetColorCorrection(ColorCorrectionRecord* record);
    NTSTATUS SetColorCorrection(const ColorCorrectionRecord& record);
    NTSTATUS GetPreprocessing(uint32_t* mode);
    NTSTATUS SetPreprocessing(uint32_t mode);
    NTSTATUS GetFrameHeaderValue(uint32_t* value);
    // Camera blocks and registers passed through: the vendor id picks the block or register; the
    // payload is the block, or the 108-entry register image.
    NTSTATUS ReadCameraBlock(uint32_t getId, size_t size, std::vector<uint8_t>* block);
    NTSTATUS WriteCameraBlock(uint32_t setId, const std::vector<uint8_t>& block);
    // Registers an application event in slot 0 or 1.
    NTSTATUS RegisterEvent(uint32_t slot, HANDLE event);
    // The settings snapshot to and from a file: save collects (id 17) and fetches (id 181);
    // load puts the record back (id 180) and applies it (id 16).
    NTSTATUS SaveSettings(const std::string& path, std::string* error);
    NTSTATUS LoadSettings(const std::string& path, std::string* error);

    sim::SimCamera& Camera() { return *m_camera; }
    platform::UsbStack& Usb() { return *m_usb; }
    platform::HostDriver& Driver() { return *m_driver; }
    platform::HostDevice& Host() { return *m_device; }
    DeviceContext* Device();

  private:
    std::unique_ptr<sim::SimCamera> m_camera;
    std::unique_ptr<platform::UsbStack> m_usb;
    std::unique_ptr<platform::HostDriver> m_driver;
    std::unique_ptr<platform::HostDevice> m_device;
    std::unique_ptr<platform::HostStream> m_stream;
    bool m_started = false;

    NTSTATUS StreamControl(SRB_COMMAND command,
                           const std::function<void(HW_STREAM_REQUEST_BLOCK*)>& fill,
                           HW_STREAM_REQUEST_BLOCK* result = nullptr);
    NTSTATUS StreamProperty(const GUID& set, ULONG id, void* output, ULONG size);
};

// A status as text: its name where known, else its hexadecimal value.
std::string StatusText(NTSTATUS status);

}  // namespace halvex::client
