// The simulated camera: a USB device model with the camera's descriptors, its vendor command set
// (blocks and the 108-register file), checked as the real device checks each setup packet, a
// log of every setup packet, and fault injection.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/usb_stack.h"

namespace halvex::sim {

struct CameraConfig {
    uint16_t modelCode = 0x0906;
    uint16_t arrangement = 2;
    // H (lines per full-frame shutter), L (clock units per line); 0 chooses from the sensor.
    uint16_t linesPerFrame = 0;
    uint16_t clocksPerLine = 0;
    uint16_t defaultGain = 0x20;
    // Extra pipes and interfaces for configuration tests.
    bool secondBulkIn = false;     // a second bulk IN endpoint (0x83) on interface 0
    bool bulkOut = false;          // a bulk OUT endpoint (0x02) on interface 0
    bool interruptIn = false;      // an interrupt IN endpoint (0x84) on interface 0
    bool secondInterface = false;  // interface 1 with one interrupt IN endpoint (0x85)
};

// Sensor size the camera reports for a model code (640 x 480 for codes it does not know).
struct SensorSize {
    uint32_t width;
    uint32_t height;
};
SensorSize SensorSizeOf(uint16_t modelCode);

enum class Fault { Fail, Stall };

// One control request as the camera saw it.
struct SetupRecord {
    platform::UsbSetupPacket setup;
    std::vector<uint8_t> data;  // the data stage: sent (OUT) or returned (IN)
    USBD_STATUS status;
};

class SimCamera final : public platform::UsbDeviceModel {
  public:
    static constexpr int kRegisterCount = 108;

    explicit SimCamera(const CameraConfig& config = {});
    ~SimCamera() override;

    const CameraConfig& Config() const { return m_config; }

    // The camera's own blocks and registers.
    std::array<uint8_t, 64> InfoBlock();
    std::array<uint8_t, 64> SettingsBlock();
    std::array<uint8_t, 64> ExposureBlock();
    std::vector<uint8_t> Block(uint8_t code);
    void SetBlock(uint8_t code, const std::vector<uint8_t>& bytes);
    uint16_t Register(int number);
    void SetRegister(int number, uint16_t value);

    // The log of control requests (descriptor reads are not logged).
    std::vector<SetupRecord> Log();
    void ClearLog();
    // Configuration value set by the host (0: unconfigured).
    uint8_t Configuration();

    // Faults: after `skip` more requests (descriptor reads, configuration and control requests),
    // the next `count` fail or stall.
    void InjectFault(Fault kind, int skip = 0, int count = 1);
    // Every control request with this code fails while set.
    void FailRequestCode(uint8_t code, bool fail);
    // Descriptor reads fail while set.
    void FailDescriptors(bool fail);
    void ClearFaults();

    // UsbDeviceModel
    platform::UsbResult GetDescriptor(UCHAR type, UCHAR index, USHORT language, UCHAR* buffer,
                                      ULONG length) override;
    USBD_STATUS SetConfiguration(UCHAR value) override;
    platform::UsbResult ControlTransfer(const platform::UsbSetupPacket& setup,
                                        UCHAR* data) override;
    void SubmitTransfer(platform::UsbTransfer* transfer) override;
    void CancelTransfer(platform::UsbTransfer* transfer) override;

    // Finishes every transfer still held (the device went away).
    void Unplug();

  private:
    struct BlockSpec;
    static const BlockSpec* FindBlock(uint8_t code);
    std::vector<uint8_t>* Storage(uint8_t code);
    // Consumes one injected fault, if one is due. Caller holds m_mutex.
    bool TakeFault(USBD_STATUS* status);
    std::vector<uint8_t> ConfigurationDescriptor() const;

    const CameraConfig m_config;
    std::mutex m_mutex;  // guards everything below
    std::vector<uint8_t> m_info, m_settings, m_block13, m_exposure, m_block22, m_blockF0, m_blockF9;
    std::array<uint16_t, kRegisterCount> m_registers{};
    std::vector<SetupRecord> m_log;
    uint8_t m_configuration = 0;
    int m_faultSkip = 0;
    int m_faultCount = 0;
    Fault m_faultKind = Fault::Fail;
    std::vector<uint8_t> m_failCodes;
    bool m_failDescriptors = false;
    bool m_unplugged = false;
    std::deque<platform::UsbTransfer*> m_transfers;
};

}  // namespace halvex::sim
