#include "client/camera_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "camera/command_protocol.h"
#include "camera/property_sets.h"
#include "driver/camera_models.h"
#include "driver/device_context.h"
#include "driver/registration.h"
#include "driver/stream_formats.h"

namespace halvex::client {

CameraSession::CameraSession(const sim::CameraConfig& camera)
    : m_camera(std::make_unique<sim::SimCamera>(camera)),
      m_usb(std::make_unique<platform::UsbStack>(*m_camera)),
      m_driver(std::make_unique<platform::HostDriver>(DriverEntry)),
      m_device(std::make_unique<platform::HostDevice>(*m_driver, m_usb->LowerDevice())) {}

CameraSession::~CameraSession() {
    if (m_stream != nullptr)
        CloseStream();
    if (m_started)
        Stop();
    m_camera->Unplug();
}

NTSTATUS CameraSession::Start(ULONG accessRanges) {
    NTSTATUS status = m_device->Initialize(accessRanges);
    m_started = NT_SUCCESS(status);
    return status;
}

NTSTATUS CameraSession::Stop() {
    m_started = false;
    return m_device->Call(SRB_UNINITIALIZE_DEVICE);
}

DeviceContext* CameraSession::Device() {
    return static_cast<DeviceContext*>(m_device->Extension());
}

NTSTATUS CameraSession::StreamDescriptor(std::vector<uint64_t>* buffer,
                                         PHW_STREAM_DESCRIPTOR* descriptor) {
    buffer->assign(
        (std::max<size_t>(m_device->StreamDescriptorSize(), sizeof(HW_STREAM_DESCRIPTOR)) + 7) / 8,
        0);
    auto srb = m_device->NewSrb(SRB_GET_STREAM_INFO);
    *descriptor = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(buffer->data());
    (*srb)->CommandData.StreamBuffer = *descriptor;
    return m_device->Call(*srb);
}

NTSTATUS CameraSession::Formats(std::vector<VideoFormat>* formats) {
    formats->clear();
    std::vector<uint64_t> buffer;
    PHW_STREAM_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = StreamDescriptor(&buffer, &descriptor);
    if (!NT_SUCCESS(status))
        return status;
    const HW_STREAM_INFORMATION& info = descriptor->StreamInfo;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        const KS_BITMAPINFOHEADER& bmi = range->VideoInfoHeader.bmiHeader;
        // The list runs in readout-mode order.
        formats->push_back({static_cast<uint32_t>(bmi.biWidth), bmi.biHeight, bmi.biSizeImage,
                            range->VideoInfoHeader.AvgTimePerFrame,
                            i < FORMATS_PER_WIDTH ? g_ReadoutModes[i] : uint8_t{0}});
    }
    return status;
}

PendingRead::PendingRead(platform::HostDevice& device, platform::HostStream& stream,
                         size_t bufferSize)
    : m_srb(device.NewSrb(SRB_READ_DATA, &stream)), m_data(bufferSize) {
    m_header.header.Size = sizeof m_header;
    m_header.header.FrameExtent = static_cast<ULONG>(bufferSize);
    m_header.header.Data = m_data.data();
    m_header.frameInfo.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    (*m_srb)->CommandData.DataBufferArray = &m_header.header;
    (*m_srb)->NumberOfBuffers = 1;
}

NTSTATUS CameraSession::IntersectFormat(uint32_t width, int32_t height,
                                        std::vector<uint8_t>* format) {
    // The published range of this size, from the stream information.
    std::vector<uint64_t> buffer;
    PHW_STREAM_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = StreamDescriptor(&buffer, &descriptor);
    if (!NT_SUCCESS(status))
        return status;
    const KS_DATARANGE_VIDEO* range = nullptr;
    for (ULONG i = 0; i < descriptor->StreamInfo.NumberOfFormatArrayEntries; ++i) {
        auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(
            descriptor->StreamInfo.StreamFormatsArray[i]);
        if (static_cast<uint32_t>(r->VideoInfoHeader.bmiHeader.biWidth) == width &&
            r->VideoInfoHeader.bmiHeader.biHeight == height)
            range = r;
    }
    if (range == nullptr)
        return STATUS_NO_MATCH;
    format->assign(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 0);
    STREAM_DATA_INTERSECT_INFO intersect{0, const_cast<PKSDATARANGE>(&range->DataRange),
                                         format->data(), static_cast<ULONG>(format->size())};
    auto srb = m_device->NewSrb(SRB_GET_DATA_INTERSECTION);
    (*srb)->CommandData.IntersectInfo = &intersect;
    status = m_device->Call(*srb);
    if (NT_SUCCESS(status))
        format->resize((*srb)->ActualBytesTransferred);
    return status;
}

NTSTATUS CameraSession::OpenStream(const std::vector<uint8_t>& format) {
    if (m_stream != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    std::vector<uint8_t> copy = format;  // the driver reads it during the call only
    auto stream = m_device->NewStream(0);
    auto srb = m_device->NewSrb(SRB_OPEN_STREAM, stream.get());
    (*srb)->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
    NTSTATUS status = m_device->Call(*srb);
    if (NT_SUCCESS(status))
        m_stream = std::move(stream);
    return status;
}

NTSTATUS CameraSession::OpenStream(uint32_t width, int32_t height) {
    std::vector<uint8_t> format;
    NTSTATUS status = IntersectFormat(width, height, &format);
    return NT_SUCCESS(status) ? OpenStream(format) : status;
}

NTSTATUS CameraSession::CloseStream() {
    if (m_stream == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    auto srb = m_device->NewSrb(SRB_CLOSE_STREAM, m_stream.get());
    NTSTATUS status = m_device->Call(*srb);
    m_stream.reset();
    return status;
}

NTSTATUS CameraSession::StreamControl(SRB_COMMAND command,
                                      const std::function<void(HW_STREAM_REQUEST_BLOCK*)>& fill,
                                      HW_STREAM_REQUEST_BLOCK* result) {
    if (m_stream == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    auto srb = m_device->NewSrb(command, m_stream.get());
    fill(srb->Get());
    m_device->SendControl(*m_stream, *srb);
    srb->Wait();
    if (result != nullptr)
        *result = *srb->Get();
    return srb->Status();
}

NTSTATUS CameraSession::SetFormat(const std::vector<uint8_t>& format) {
    std::vector<uint8_t> copy = format;
    return StreamControl(SRB_SET_DATA_FORMAT, [&](HW_STREAM_REQUEST_BLOCK* srb) {
        srb->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
    });
}

NTSTATUS CameraSession::ProposeFormat(const std::vector<uint8_t>& format) {
    std::vector<uint8_t> copy = format;
    return StreamControl(SRB_PROPOSE_DATA_FORMAT, [&](HW_STREAM_REQUEST_BLOCK* srb) {
        srb->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
    });
}

NTSTATUS CameraSession::SetState(KSSTATE state) {
    return StreamControl(SRB_SET_STREAM_STATE, [state](HW_STREAM_REQUEST_BLOCK* srb) {
        srb->CommandData.StreamState = state;
    });
}

NTSTATUS CameraSession::GetState(KSSTATE* state) {
    HW_STREAM_REQUEST_BLOCK result{};
    NTSTATUS status = StreamControl(
        SRB_GET_STREAM_STATE, [](HW_STREAM_REQUEST_BLOCK*) {}, &result);
    *state = result.CommandData.StreamState;
    return status;
}

NTSTATUS CameraSession::SetMasterClock(platform::HostClock* clock) {
    HANDLE handle = clock != nullptr ? clock->Handle() : nullptr;
    return StreamControl(SRB_INDICATE_MASTER_CLOCK, [handle](HW_STREAM_REQUEST_BLOCK* srb) {
        srb->CommandData.MasterClockHandle = handle;
    });
}

NTSTATUS CameraSession::StreamProperty(const GUID& set, ULONG id, void* output, ULONG size) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = &property;
    descriptor.PropertySetID = 0;
    descriptor.PropertyInputSize = sizeof property;
    descriptor.PropertyInfo = output;
    descriptor.PropertyOutputSize = size;
    return StreamControl(SRB_GET_STREAM_PROPERTY, [&](HW_STREAM_REQUEST_BLOCK* srb) {
        srb->CommandData.PropertyInfo = &descriptor;
    });
}

NTSTATUS CameraSession::GetAllocatorFraming(KSALLOCATOR_FRAMING* framing) {
    return StreamProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, framing,
                          sizeof *framing);
}

NTSTATUS CameraSession::GetDroppedFrames(KSPROPERTY_DROPPEDFRAMES_CURRENT_S* dropped) {
    return StreamProperty(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, dropped,
                          sizeof *dropped);
}

std::shared_ptr<PendingRead> CameraSession::QueueRead(size_t bufferSize) {
    if (m_stream == nullptr)
        return nullptr;
    auto read = std::make_shared<PendingRead>(*m_device, *m_stream, bufferSize);
    m_device->SendData(*m_stream, *read->m_srb);
    return read;
}

void CameraSession::CancelRead(PendingRead& read) {
    m_device->Cancel(*read.m_srb);
}

NTSTATUS CameraSession::DeviceProperty(bool set, const GUID& propertySet, ULONG id, void* property,
                                       ULONG propertySize, void* data, ULONG dataSize,
                                       uint32_t* transferred) {
    auto* header = static_cast<KSPROPERTY*>(property);
    header->Set = propertySet;
    header->Id = id;
    header->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = header;
    descriptor.PropertyInputSize = propertySize;
    descriptor.PropertyInfo = data;
    descriptor.PropertyOutputSize = dataSize;
    auto srb = m_device->NewSrb(set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY);
    (*srb)->CommandData.PropertyInfo = &descriptor;
    const NTSTATUS status = m_device->Call(*srb);
    if (transferred != nullptr)
        *transferred = (*srb)->ActualBytesTransferred;
    return status;
}

NTSTATUS CameraSession::GetProcAmp(uint32_t id, int32_t* value, uint32_t* flags) {
    KSPROPERTY_VIDEOPROCAMP_S record{};
    const NTSTATUS status = DeviceProperty(false, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &record,
                                           sizeof record, &record, sizeof record, nullptr);
    *value = record.Value;
    *flags = record.Flags;
    return status;
}

NTSTATUS CameraSession::SetProcAmp(uint32_t id, int32_t value, uint32_t flags) {
    KSPROPERTY_VIDEOPROCAMP_S record{};
    record.Value = value;
    record.Flags = flags;
    return DeviceProperty(true, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &record, sizeof record, &record,
                          sizeof record, nullptr);
}

NTSTATUS CameraSession::ProcAmpRanges(std::vector<ProcAmpRange>* ranges) {
    ranges->clear();
    std::vector<uint64_t> buffer;
    PHW_STREAM_DESCRIPTOR descriptor = nullptr;
    const NTSTATUS status = StreamDescriptor(&buffer, &descriptor);
    if (!NT_SUCCESS(status))
        return status;
    const HW_STREAM_HEADER& header = descriptor->StreamHeader;
    for (ULONG s = 0; s < header.NumDevPropArrayEntries; ++s) {
        const KSPROPERTY_SET& set = header.DevicePropertiesArray[s];
        if (!IsEqualGUID(*set.Set, PROPSETID_VIDCAP_VIDEOPROCAMP))
            continue;
        for (ULONG i = 0; i < set.PropertiesCount; ++i) {
            const KSPROPERTY_ITEM& item = set.PropertyItem[i];
            ProcAmpRange range{item.PropertyId, 0, 0, 0, 0};
            if (item.Values != nullptr) {
                for (ULONG m = 0; m < item.Values->MembersListCount; ++m) {
                    const KSPROPERTY_MEMBERSLIST& list = item.Values->MembersList[m];
                    if (list.MembersHeader.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES) {
                        const auto* step =
                            static_cast<const KSPROPERTY_STEPPING_LONG*>(list.Members);
                        range.minimum = step->Bounds.SignedMinimum;
                        range.maximum = step->Bounds.SignedMaximum;
                        range.step = step->SteppingDelta;
                    } else if (list.MembersHeader.MembersFlags == KSPROPERTY_MEMBER_VALUES) {
                        range.defaultValue = *static_cast<const LONG*>(list.Members);
                    }
                }
            }
            ranges->push_back(range);
        }
    }
    return status;
}

NTSTATUS CameraSession::GetVendor(uint32_t id, size_t size, std::vector<uint8_t>* data,
                                  uint32_t* transferred) {
    data->assign(size, 0);
    KSPROPERTY property{};
    // A zero-length request still passes a valid pointer.
    uint8_t empty = 0;
    return DeviceProperty(false, PROPSETID_VENDOR_CAMERA, id, &property, sizeof property,
                          size != 0 ? data->data() : &empty, static_cast<ULONG>(size), transferred);
}

NTSTATUS CameraSession::SetVendor(uint32_t id, const std::vector<uint8_t>& data,
                                  uint32_t* transferred) {
    std::vector<uint8_t> copy = data;
    uint8_t empty = 0;
    KSPROPERTY property{};
    return DeviceProperty(true, PROPSETID_VENDOR_CAMERA, id, &property, sizeof property,
                          copy.empty() ? &empty : copy.data(), static_cast<ULONG>(copy.size()),
                          transferred);
}

namespace {
// Gets a record of `size` bytes and decodes it.
template <class Record, class Decode>
NTSTATUS GetRecord(CameraSession& session, uint32_t id, size_t size, Record* record,
                   Decode decode) {
    std::vector<uint8_t> data;
    const NTSTATUS status = session.GetVendor(id, size, &data);
    if (NT_SUCCESS(status))
        *record = decode(data);
    return status;
}
}  // namespace

NTSTATUS CameraSession::GetSharpness(SharpnessRecord* record) {
    return GetRecord(*this, kVendorGetSharpness, 5, record, DecodeSharpness);
}
NTSTATUS CameraSession::SetSharpness(const SharpnessRecord& record) {
    return SetVendor(kVendorSetSharpness, Encode(record));
}
NTSTATUS CameraSession::GetToneTables(ToneTablesRecord* record) {
    return GetRecord(*this, kVendorGetLookupTables, 1296, record, DecodeToneTables);
}
NTSTATUS CameraSession::SetToneTables(const ToneTablesRecord& record) {
    return SetVendor(kVendorSetLookupTables, Encode(record));
}
NTSTATUS CameraSession::GetWhiteBalance(WhiteBalanceRecord* record) {
    return GetRecord(*this, kVendorGetWhiteBalance, 13, record, DecodeWhiteBalance);
}
NTSTATUS CameraSession::SetWhiteBalance(const WhiteBalanceRecord& record) {
    return SetVendor(kVendorSetWhiteBalance, Encode(record));
}
NTSTATUS CameraSession::GetConversion(ConversionRecord* record) {
    return GetRecord(*this, kVendorGetConversion, 2, record, DecodeConversion);
}
NTSTATUS CameraSession::SetConversion(const ConversionRecord& record) {
    return SetVendor(kVendorSetConversion, Encode(record));
}
NTSTATUS CameraSession::GetColorCorrection(ColorCorrectionRecord* record) {
    return GetRecord(*this, kVendorGetColorCorrection, 30, record, DecodeColorCorrection);
}
NTSTATUS CameraSession::SetColorCorrection(const ColorCorrectionRecord& record) {
    return SetVendor(kVendorSetColorCorrection, Encode(record));
}
NTSTATUS CameraSession::GetPreprocessing(uint32_t* mode) {
    std::vector<uint8_t> data;
    const NTSTATUS status = GetVendor(kVendorGetPreprocessing, 4, &data);
    std::memcpy(mode, data.data(), 4);
    return status;
}
NTSTATUS CameraSession::SetPreprocessing(uint32_t mode) {
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &mode, 4);
    return SetVendor(kVendorSetPreprocessing, data);
}
NTSTATUS CameraSession::GetFrameHeaderValue(uint32_t* value) {
    std::vector<uint8_t> data;
    const NTSTATUS status = GetVendor(134, 4, &data);
    std::memcpy(value, data.data(), 4);
    return status;
}
NTSTATUS CameraSession::ReadCameraBlock(uint32_t getId, size_t size, std::vector<uint8_t>* block) {
    return GetVendor(getId, size, block);
}
NTSTATUS CameraSession::WriteCameraBlock(uint32_t setId, const std::vector<uint8_t>& block) {
    return SetVendor(setId, block);
}

NTSTATUS CameraSession::RegisterEvent(uint32_t slot, HANDLE event) {
    std::vector<uint8_t> request(12, 0);
    const uint64_t handle = reinterpret_cast<uint64_t>(event);
    std::memcpy(request.data(), &slot, 4);
    std::memcpy(request.data() + 4, &handle, 8);
    return SetVendor(kVendorSetEvent, request);
}

NTSTATUS CameraSession::SaveSettings(const std::string& path, std::string* error) {
    const std::u16string name(path.begin(), path.end());
    std::vector<uint8_t> request((name.size() + 1) * 2, 0);
    std::memcpy(request.data(), name.data(), name.size() * 2);
    NTSTATUS status = SetVendor(kVendorSaveSettings, request);
    std::vector<uint8_t> record;
    if (NT_SUCCESS(status))
        status = GetVendor(kVendorGetSettings, kSettingsSnapshotSize, &record);
    if (!NT_SUCCESS(status)) {
        *error = "the driver did not collect its settings: " + StatusText(status);
        return status;
    }
    FILE* file = fopen(path.c_str(), "wb");
    const bool written =
        file != nullptr && fwrite(record.data(), 1, record.size(), file) == record.size();
    if (file != nullptr && fclose(file) != 0)
        *error = "cannot write " + path;
    if (!written) {
        *error = "cannot write " + path;
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS CameraSession::LoadSettings(const std::string& path, std::string* error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path;
        return STATUS_UNSUCCESSFUL;
    }
    std::vector<uint8_t> record(kSettingsSnapshotSize + 1);
    const size_t read = fread(record.data(), 1, record.size(), file);
    fclose(file);
    if (read != kSettingsSnapshotSize) {
        *error = path + " is not a settings file: it holds " + std::to_string(read) +
                 (read > kSettingsSnapshotSize ? "+" : "") + " bytes, a settings file " +
                 std::to_string(kSettingsSnapshotSize);
        return STATUS_INVALID_PARAMETER;
    }
    record.resize(kSettingsSnapshotSize);
    NTSTATUS status = SetVendor(kVendorPutSettings, record);
    if (NT_SUCCESS(status))
        status = SetVendor(kVendorLoadSettings, {0});
    if (!NT_SUCCESS(status))
        *error = "the driver did not apply the settings: " + StatusText(status);
    return status;
}

uint16_t CameraSession::ModelCode() {
    return ReadLe16(&Device()->m_CameraInfo[CAMERA_INFO_MODEL_CODE]);
}
uint16_t CameraSession::Arrangement() {
    return ReadLe16(&Device()->m_CameraInfo[CAMERA_INFO_ARRANGEMENT]);
}
uint32_t CameraSession::SensorWidth() {
    return Device()->m_ulImageWidth;
}
uint32_t CameraSession::SensorHeight() {
    return Device()->m_ulImageHeight;
}

std::vector<uint16_t> KnownModelCodes() {
    std::vector<uint16_t> codes;
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
        if (FindCameraModel(static_cast<USHORT>(code)) != nullptr)
            codes.push_back(static_cast<uint16_t>(code));
    }
    return codes;
}

std::string StatusText(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
        {STATUS_DEVICE_REMOVED, "STATUS_DEVICE_REMOVED"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
    };
    for (const Name& n : kNames) {
        if (n.status == status)
            return n.name;
    }
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace halvex::client
