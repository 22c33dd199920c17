// The simulated camera: a USB device model with the camera's descriptors, its vendor command set
// (blocks and the 108-register file), checked as the real device checks each setup packet, a
// log of every setup packet, and fault injection.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
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
    // Frames per second sent on the bulk pipe while transfers are posted.
    double frameRate = 30.0;
    // Seed of the sensor's noise, hot pixels and dark pattern.
    uint32_t seed = 1;
};

// What the simulated sensor adds to the scene; all of it off by default.
struct SensorEffects {
    double redCast = 1.0;     // red and blue response relative to green, on top of the sensor's
    double blueCast = 1.0;    // own response
    uint32_t hotPixels = 0;   // samples stuck at 255, at fixed places
    uint8_t darkPattern = 0;  // a fixed pattern of up to this many levels added to every frame
    uint8_t noise = 0;        // random noise of up to +/- this many levels, new in every frame
    bool capped = false;      // the lens is covered: the scene is black
};

// One bulk transfer's worth of a frame as the camera sends it.
struct Piece {
    enum class Kind {
        Data,        // `length` bytes of the frame stream (zeros past its end)
        ZeroLength,  // a zero-length packet
        UsbdError,   // the IRP succeeds but the URB carries a USBD error, no data
        IrpFailure,  // the transfer fails (the IRP completes with an error)
    };
    Kind kind = Kind::Data;
    uint32_t length = 0;
};

// How each frame (64-byte header, then the image) is cut into bulk transfers.
enum class FrameSplit {
    Standard,     // whole 512 KiB transfers, then one final short transfer
    HeaderFirst,  // a 64-byte header transfer, then the image as in Standard
    Script,       // the pieces given to SetScript, for every frame
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
    // The device (type 1) or configuration (type 2) descriptor is these bytes from now on, as a
    // faulty or hostile device might send them.
    void SetDescriptor(UCHAR type, const std::vector<uint8_t>& bytes);
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

    // Frames on the bulk pipe. While transfers are posted, the camera produces a frame every
    // 1/frameRate seconds (bytes 12-15 of its header count the frames from 1) in the readout mode
    // of its settings block and sends it through the waiting transfers in order. A frame that
    // finds more than two frames still waiting to be sent is not produced.
    void SetFrameSplit(FrameSplit split);
    void SetScript(const std::vector<Piece>& pieces);
    void SetFrameRate(double framesPerSecond);
    void SetSensorEffects(const SensorEffects& effects);
    // The image (without header) the camera sends for its next frame, as it stands now: the
    // chart through the sensor's colour response, exposure, gain and effects (noise aside).
    std::vector<uint8_t> SensorImage();
    // Frame size of the current readout mode.
    uint32_t FrameWidth();
    uint32_t FrameHeight();
    // Frames produced so far (the counter of the last frame's header).
    uint32_t FramesSent();
    // Transfers posted and not yet finished.
    size_t HeldTransfers();

  private:
    struct BlockSpec;
    static const BlockSpec* FindBlock(uint8_t code);
    std::vector<uint8_t>* Storage(uint8_t code);
    // Consumes one injected fault, if one is due. Caller holds m_mutex.
    bool TakeFault(USBD_STATUS* status);
    std::vector<uint8_t> ConfigurationDescriptor() const;

    struct Outgoing {
        std::shared_ptr<const std::vector<uint8_t>> frame;
        size_t offset;
        Piece piece;
    };
    struct Pairing {
        platform::UsbTransfer* transfer;
        Outgoing piece;
    };
    // Lets a queued frame tick find out whether the camera still exists.
    struct Liveness {
        std::mutex mutex;
        SimCamera* camera;
    };
    void FrameTick();
    // Caller holds m_mutex.
    void QueueFrameLocked();
    // Caller holds m_mutex.
    const std::vector<uint8_t>& SensorImageLocked(uint32_t width, uint32_t height);
    std::vector<Pairing> PairLocked();
    void ScheduleTickLocked(int64_t due);
    static void Send(const Pairing& pairing);

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
    std::vector<uint8_t> m_descriptorOverride[2];
    bool m_descriptorOverridden[2] = {false, false};
    bool m_unplugged = false;
    std::deque<platform::UsbTransfer*> m_transfers;
    // Streaming.
    FrameSplit m_split = FrameSplit::Standard;
    std::vector<Piece> m_script;
    double m_frameRate;
    bool m_producing = false;
    int64_t m_nextFrameTime = 0;
    uint32_t m_frameCounter = 0;
    std::deque<Outgoing> m_outgoing;
    std::vector<uint8_t> m_raw;  // the chart through the sensor's response, current size
    uint32_t m_rawWidth = 0, m_rawHeight = 0;
    SensorEffects m_effects;
    std::vector<uint8_t> m_image;  // m_raw with exposure, gain and effects applied
    double m_imageFactor = -1;     // the brightness factor m_image was made with
    bool m_imageStale = true;
    uint32_t m_noiseState;
    double m_nominalExposure = 0;
    std::vector<size_t> m_hot;  // positions of the hot pixels in the current size
    std::shared_ptr<Liveness> m_liveness;
};

}  // namespace halvex::sim
