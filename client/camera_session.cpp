#include "client/camera_session.h"

#include <cstdio>

#include "camera/command_protocol.h"
#include "driver/device_context.h"
#include "driver/registration.h"

namespace halvex::client {

CameraSession::CameraSession(const sim::CameraConfig& camera)
    : m_camera(std::make_unique<sim::SimCamera>(camera)),
      m_usb(std::make_unique<platform::UsbStack>(*m_camera)),
      m_driver(std::make_unique<platform::HostDriver>(DriverEntry)),
      m_device(std::make_unique<platform::HostDevice>(*m_driver, m_usb->LowerDevice())) {}

CameraSession::~CameraSession() {
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
        formats->push_back({static_cast<uint32_t>(bmi.biWidth), bmi.biHeight, bmi.biSizeImage,
                            range->VideoInfoHeader.AvgTimePerFrame});
    }
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
