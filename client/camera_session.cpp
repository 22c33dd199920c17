#include "client/camera_session.h"

#include <algorithm>
#include <cstdio>

#include "camera/command_protocol.h"
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

NTSTATUS CameraSession::Formats(std::vector<VideoFormat>* formats) {
    formats->clear();
    std::vector<uint64_t> buffer((m_device->StreamDescriptorSize() + 7) / 8 + 1);
    if (m_device->StreamDescriptorSize() < sizeof(HW_STREAM_DESCRIPTOR)) {
        buffer.resize(sizeof(HW_STREAM_DESCRIPTOR) / 8 + 1);
    }
    auto srb = m_device->NewSrb(SRB_GET_STREAM_INFO);
    auto* descriptor = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(buffer.data());
    (*srb)->CommandData.StreamBuffer = descriptor;
    NTSTATUS status = m_device->Call(*srb);
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
    std::vector<uint64_t> buffer(
        (std::max<size_t>(m_device->StreamDescriptorSize(), sizeof(HW_STREAM_DESCRIPTOR)) + 7) / 8);
    auto info = m_device->NewSrb(SRB_GET_STREAM_INFO);
    auto* descriptor = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(buffer.data());
    (*info)->CommandData.StreamBuffer = descriptor;
    NTSTATUS status = m_device->Call(*info);
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
