// The application's view of one started device: a simulated camera of a chosen model behind the
// USB stack, the driver loaded through its DriverEntry, and the adapter requests an application
// causes (start, stop, stream information and formats).
#pragma once

#include <memory>
#include <string>
#include <vector>

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

    // SRB_GET_STREAM_INFO: the formats the stream publishes.
    NTSTATUS Formats(std::vector<VideoFormat>* formats);

    // What the driver found at start-up (read from its device record, for diagnostics).
    uint16_t ModelCode();
    uint16_t Arrangement();
    uint32_t SensorWidth();
    uint32_t SensorHeight();

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
    bool m_started = false;
};

// A status as text: its name where known, else its hexadecimal value.
std::string StatusText(NTSTATUS status);

}  // namespace halvex::client
