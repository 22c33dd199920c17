#include "sim/sim_camera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/runtime.h"
#include "sim/scene.h"

namespace halvex::sim {
namespace {

constexpr uint8_t kRequestTypeIn = 0xC0;   // device-to-host, vendor, device
constexpr uint8_t kRequestTypeOut = 0x40;  // host-to-device, vendor, device
constexpr uint8_t kRegisterRequest = 0x80;
constexpr uint16_t kRegisterReadBase = 0x0080;
constexpr uint16_t kRegisterWriteBase = 0x8000;
constexpr uint16_t kRegisterPlainWrite = 80;  // the one register written without the write bit

struct ModelSensor {
    uint16_t code;
    SensorSize size;
};
// The sensor each model carries; the camera reports only the code.
constexpr ModelSensor kModels[] = {
    {0x0109, {1280, 960}},  {0x0209, {1280, 960}},  {0x0906, {640, 480}},   {0x1006, {640, 480}},
    {0x1106, {1024, 768}},  {0x1206, {1024, 768}},  {0x1306, {1360, 1024}}, {0x1406, {1360, 1024}},
    {0x1506, {1600, 1200}}, {0x1606, {1600, 1200}},
};

constexpr size_t kFrameHeaderSize = 64;
constexpr size_t kTransferSize = 0x80000;

// Partial readout heights of each sensor width: full, partial 1, partial 2. Readout modes 0x20,
// 0x40 and 0x80 give the same three halved.
struct Readouts {
    uint32_t width;
    uint32_t heights[3];
};
constexpr Readouts kReadouts[] = {
    {1600, {1200, 544, 208}}, {1360, {1024, 472, 176}}, {1280, {960, 440, 168}},
    {1024, {768, 344, 136}},  {640, {480, 224, 80}},
};

uint32_t ReadoutHeight(const SensorSize& sensor, uint8_t mode) {
    static constexpr struct {
        uint8_t mode;
        int index;
        bool halved;
    } kModes[] = {{0x00, 0, false}, {0x01, 1, false}, {0x02, 2, false},
                  {0x20, 0, true},  {0x40, 1, true},  {0x80, 2, true}};
    for (const Readouts& r : kReadouts) {
        if (r.width != sensor.width)
            continue;
        for (const auto& m : kModes) {
            if (m.mode == mode)
                return m.halved ? r.heights[m.index] / 2 : r.heights[m.index];
        }
    }
    return sensor.height;  // an unknown mode reads the full sensor
}

uint16_t Get16(const std::vector<uint8_t>& b, size_t offset) {
    return static_cast<uint16_t>(b[offset] | b[offset + 1] << 8);
}

void Put16(std::vector<uint8_t>& b, size_t offset, uint16_t v) {
    b[offset] = static_cast<uint8_t>(v & 0xFF);
    b[offset + 1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

// A block the camera exchanges whole: its code, length, and the wValue and wIndex it expects.
struct SimCamera::BlockSpec {
    uint8_t code;
    uint16_t length;
    bool readable;
    bool writable;
    uint16_t value;
    uint16_t index;
};

const SimCamera::BlockSpec* SimCamera::FindBlock(uint8_t code) {
    static constexpr BlockSpec kBlocks[] = {
        {0x11, 64, true, false, 0, 0},
        {0x12, 64, true, true, 0, 0},
        {0x13, 6, true, true, 0, 0},
        {0x20, 0, false, true, 0, 0},
        {0x21, 64, true, true, 0, 0},
        {0x22, 10, true, true, 0, 0},
        {0x30, 0, false, true, 0, 0},
        {0xF0, 64, true, true, 0, 0},
        {0xF9, 256, true, true, 0x6F00, 0x0151},
    };
    for (const BlockSpec& spec : kBlocks) {
        if (spec.code == code)
            return &spec;
    }
    return nullptr;
}

SensorSize SensorSizeOf(uint16_t modelCode) {
    for (const ModelSensor& m : kModels) {
        if (m.code == modelCode)
            return m.size;
    }
    return {640, 480};
}

SimCamera::SimCamera(const CameraConfig& config)
    : m_config(config),
      m_info(64),
      m_settings(64),
      m_block13(6),
      m_exposure(64),
      m_block22(10),
      m_blockF0(64),
      m_blockF9(256),
      m_frameRate(config.frameRate > 0 ? config.frameRate : 30.0),
      m_liveness(std::make_shared<Liveness>()) {
    m_liveness->camera = this;
    const SensorSize sensor = SensorSizeOf(config.modelCode);
    const uint16_t lines = config.linesPerFrame != 0 ? config.linesPerFrame
                                                     : static_cast<uint16_t>(sensor.height + 24);
    const uint16_t clocks = config.clocksPerLine != 0 ? config.clocksPerLine : 1500;

    m_info[0] = 0x01;  // firmware revision
    m_info[1] = 0x02;
    Put16(m_info, 4, config.modelCode);
    Put16(m_info, 10, config.arrangement);
    const char serial[] = "SIM0000001";
    std::memcpy(&m_info[12], serial, sizeof serial);

    m_settings[0] = 0x40;
    m_settings[1] = 0x12;
    Put16(m_settings, 26, lines);
    Put16(m_settings, 28, clocks);
    Put16(m_settings, 32, config.defaultGain);

    m_exposure[0] = 0x40;
    m_exposure[1] = 0x21;
    // Shutter 0 lines 0 clocks: a full frame, as the driver's automatic exposure assumes at
    // start. The picture has the chart's own brightness there.
    Put16(m_exposure, 6, config.defaultGain);
    m_nominalExposure = static_cast<double>(lines) * clocks;
    m_noiseState = config.seed;

    m_block22[0] = 6;
    m_block22[1] = 0x22;
    for (int i = 0; i < kRegisterCount; ++i) m_registers[i] = static_cast<uint16_t>(0x100 + i);
}

SimCamera::~SimCamera() {
    {
        std::lock_guard<std::mutex> lock(m_liveness->mutex);
        m_liveness->camera = nullptr;
    }
    Unplug();
}

std::vector<uint8_t>* SimCamera::Storage(uint8_t code) {
    switch (code) {
        case 0x11:
            return &m_info;
        case 0x12:
            return &m_settings;
        case 0x13:
            return &m_block13;
        case 0x21:
            return &m_exposure;
        case 0x22:
            return &m_block22;
        case 0xF0:
            return &m_blockF0;
        case 0xF9:
            return &m_blockF9;
        default:
            return nullptr;
    }
}

std::array<uint8_t, 64> SimCamera::InfoBlock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::array<uint8_t, 64> a;
    std::copy(m_info.begin(), m_info.end(), a.begin());
    return a;
}

std::array<uint8_t, 64> SimCamera::SettingsBlock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::array<uint8_t, 64> a;
    std::copy(m_settings.begin(), m_settings.end(), a.begin());
    return a;
}

std::array<uint8_t, 64> SimCamera::ExposureBlock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::array<uint8_t, 64> a;
    std::copy(m_exposure.begin(), m_exposure.end(), a.begin());
    return a;
}

std::vector<uint8_t> SimCamera::Block(uint8_t code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t>* storage = Storage(code);
    return storage != nullptr ? *storage : std::vector<uint8_t>{};
}

void SimCamera::SetBlock(uint8_t code, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t>* storage = Storage(code);
    if (storage == nullptr)
        return;
    std::copy_n(bytes.begin(), std::min(bytes.size(), storage->size()), storage->begin());
}

uint16_t SimCamera::Register(int number) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return (number >= 0 && number < kRegisterCount) ? m_registers[number] : 0;
}

void SimCamera::SetRegister(int number, uint16_t value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (number >= 0 && number < kRegisterCount)
        m_registers[number] = value;
}

std::vector<SetupRecord> SimCamera::Log() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

void SimCamera::ClearLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.clear();
}

uint8_t SimCamera::Configuration() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_configuration;
}

void SimCamera::InjectFault(Fault kind, int skip, int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faultKind = kind;
    m_faultSkip = skip;
    m_faultCount = count;
}

void SimCamera::FailRequestCode(uint8_t code, bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failCodes.erase(std::remove(m_failCodes.begin(), m_failCodes.end(), code), m_failCodes.end());
    if (fail)
        m_failCodes.push_back(code);
}

void SimCamera::FailDescriptors(bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failDescriptors = fail;
}

void SimCamera::ClearFaults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faultSkip = m_faultCount = 0;
    m_failCodes.clear();
    m_failDescriptors = false;
}

bool SimCamera::TakeFault(USBD_STATUS* status) {
    if (m_faultCount == 0)
        return false;
    if (m_faultSkip > 0) {
        --m_faultSkip;
        return false;
    }
    --m_faultCount;
    *status = m_faultKind == Fault::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING;
    return true;
}

std::vector<uint8_t> SimCamera::ConfigurationDescriptor() const {
    std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
    auto endpoint = [&d](uint8_t address, uint8_t type, uint16_t maxPacket, uint8_t interval) {
        d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type,
                           static_cast<uint8_t>(maxPacket & 0xFF),
                           static_cast<uint8_t>(maxPacket >> 8), interval});
    };
    const uint8_t endpoints =
        static_cast<uint8_t>(1 + m_config.secondBulkIn + m_config.bulkOut + m_config.interruptIn);
    d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, endpoints, 0xFF, 0, 0, 0});
    if (m_config.interruptIn)
        endpoint(0x84, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
    if (m_config.bulkOut)
        endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 512, 0);
    endpoint(0x81, USB_ENDPOINT_TYPE_BULK, 512, 0);
    if (m_config.secondBulkIn)
        endpoint(0x83, USB_ENDPOINT_TYPE_BULK, 512, 0);
    if (m_config.secondInterface) {
        d[4] = 2;
        d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 1, 0xFF, 0, 0, 0});
        endpoint(0x85, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

platform::UsbResult SimCamera::GetDescriptor(UCHAR type, UCHAR index, USHORT, UCHAR* buffer,
                                             ULONG length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    USBD_STATUS fault;
    if (m_unplugged)
        return {USBD_STATUS_DEVICE_GONE, 0};
    if (TakeFault(&fault))
        return {fault, 0};
    if (m_failDescriptors)
        return {USBD_STATUS_DEV_NOT_RESPONDING, 0};
    std::vector<uint8_t> d;
    if ((type == USB_DEVICE_DESCRIPTOR_TYPE || type == USB_CONFIGURATION_DESCRIPTOR_TYPE) &&
        index == 0 && m_descriptorOverridden[type - 1]) {
        d = m_descriptorOverride[type - 1];
    } else if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
        d = {18,   USB_DEVICE_DESCRIPTOR_TYPE,
             0x00, 0x02,
             0xFF, 0,
             0,    64,
             0xFF, 0xFF,
             0x01, 0x00,
             0x00, 0x01,
             0,    0,
             0,    1};
    } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        d = ConfigurationDescriptor();
    } else {
        return {USBD_STATUS_STALL_PID, 0};
    }
    const ULONG n = std::min<ULONG>(length, static_cast<ULONG>(d.size()));
    if (n > 0)
        std::memcpy(buffer, d.data(), n);
    return {USBD_STATUS_SUCCESS, n};
}

void SimCamera::SetDescriptor(UCHAR type, const std::vector<uint8_t>& bytes) {
    if (type != USB_DEVICE_DESCRIPTOR_TYPE && type != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_descriptorOverride[type - 1] = bytes;
    m_descriptorOverridden[type - 1] = true;
}

USBD_STATUS SimCamera::SetConfiguration(UCHAR value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    USBD_STATUS fault;
    if (m_unplugged)
        return USBD_STATUS_DEVICE_GONE;
    if (TakeFault(&fault))
        return fault;
    if (value != 0 && value != 1)
        return USBD_STATUS_STALL_PID;
    m_configuration = value;
    return USBD_STATUS_SUCCESS;
}

platform::UsbResult SimCamera::ControlTransfer(const platform::UsbSetupPacket& setup, UCHAR* data) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool in = setup.bmRequestType == kRequestTypeIn;
    SetupRecord record{setup, {}, USBD_STATUS_SUCCESS};
    if (!in && setup.wLength > 0)
        record.data.assign(data, data + setup.wLength);

    auto finish = [&](USBD_STATUS status, ULONG transferred) {
        record.status = status;
        if (in && USBD_SUCCESS(status))
            record.data.assign(data, data + transferred);
        m_log.push_back(record);
        return platform::UsbResult{status, transferred};
    };

    USBD_STATUS fault;
    if (m_unplugged)
        return finish(USBD_STATUS_DEVICE_GONE, 0);
    if (TakeFault(&fault))
        return finish(fault, 0);
    if (std::find(m_failCodes.begin(), m_failCodes.end(), setup.bRequest) != m_failCodes.end()) {
        return finish(USBD_STATUS_DEV_NOT_RESPONDING, 0);
    }
    if (!in && setup.bmRequestType != kRequestTypeOut)
        return finish(USBD_STATUS_STALL_PID, 0);
    if (m_configuration == 0)
        return finish(USBD_STATUS_STALL_PID, 0);

    if (setup.bRequest == kRegisterRequest) {
        if (setup.wIndex != 0 || setup.wLength != 2)
            return finish(USBD_STATUS_STALL_PID, 0);
        int number;
        if (in) {
            number = setup.wValue - kRegisterReadBase;
        } else if (setup.wValue == kRegisterPlainWrite) {
            number = kRegisterPlainWrite;
        } else {
            number = setup.wValue - kRegisterWriteBase;
            if (number == kRegisterPlainWrite)
                number = -1;  // register 80 has no 0x8000 form
        }
        if (number < 0 || number >= kRegisterCount)
            return finish(USBD_STATUS_STALL_PID, 0);
        if (in) {
            data[0] = static_cast<uint8_t>(m_registers[number] & 0xFF);
            data[1] = static_cast<uint8_t>(m_registers[number] >> 8);
        } else {
            m_registers[number] = static_cast<uint16_t>(data[0] | (data[1] << 8));
        }
        return finish(USBD_STATUS_SUCCESS, 2);
    }

    const BlockSpec* spec = FindBlock(setup.bRequest);
    if (spec == nullptr || setup.wValue != spec->value || setup.wIndex != spec->index ||
        setup.wLength != spec->length || (in && !spec->readable) || (!in && !spec->writable)) {
        return finish(USBD_STATUS_STALL_PID, 0);
    }
    std::vector<uint8_t>* storage = Storage(setup.bRequest);
    if (storage != nullptr) {
        if (in) {
            std::memcpy(data, storage->data(), spec->length);
        } else {
            std::memcpy(storage->data(), data, spec->length);
        }
    }
    return finish(USBD_STATUS_SUCCESS, spec->length);
}

void SimCamera::SubmitTransfer(platform::UsbTransfer* transfer) {
    std::vector<Pairing> ready;
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unplugged) {
            refusal = USBD_STATUS_DEVICE_GONE;
        } else if (transfer->CancelRequested()) {
            refusal = USBD_STATUS_CANCELED;
        } else {
            m_transfers.push_back(transfer);
            ready = PairLocked();
            if (!m_producing) {
                m_producing = true;
                ScheduleTickLocked(platform::Runtime::Now() +
                                   static_cast<int64_t>(10000000.0 / m_frameRate));
            }
        }
    }
    if (refusal != USBD_STATUS_SUCCESS) {
        transfer->Finish(refusal, 0);
        return;
    }
    for (const Pairing& p : ready) Send(p);
}

void SimCamera::CancelTransfer(platform::UsbTransfer* transfer) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_transfers.begin(), m_transfers.end(), transfer);
        if (it == m_transfers.end())
            return;
        m_transfers.erase(it);
        // The host aborts the pipe: what the camera had not sent yet is thrown away.
        m_outgoing.clear();
    }
    transfer->Finish(USBD_STATUS_CANCELED, 0);
}

void SimCamera::Unplug() {
    std::deque<platform::UsbTransfer*> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unplugged = true;
        held.swap(m_transfers);
        m_outgoing.clear();
    }
    for (platform::UsbTransfer* t : held) t->Finish(USBD_STATUS_DEVICE_GONE, 0);
}

void SimCamera::SetFrameSplit(FrameSplit split) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_split = split;
}

void SimCamera::SetScript(const std::vector<Piece>& pieces) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = pieces;
    m_split = FrameSplit::Script;
}

void SimCamera::SetFrameRate(double framesPerSecond) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (framesPerSecond > 0)
        m_frameRate = framesPerSecond;
}

uint32_t SimCamera::FrameWidth() {
    return SensorSizeOf(m_config.modelCode).width;
}

uint32_t SimCamera::FrameHeight() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ReadoutHeight(SensorSizeOf(m_config.modelCode), m_settings[22]);
}

uint32_t SimCamera::FramesSent() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frameCounter;
}

size_t SimCamera::HeldTransfers() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transfers.size();
}

void SimCamera::ScheduleTickLocked(int64_t due) {
    m_nextFrameTime = due;
    std::shared_ptr<Liveness> liveness = m_liveness;
    platform::Runtime::Post(
        platform::Lane::Device, due,
        [liveness] {
            std::lock_guard<std::mutex> lock(liveness->mutex);
            if (liveness->camera != nullptr)
                liveness->camera->FrameTick();
        },
        "a camera frame", true);
}

void SimCamera::FrameTick() {
    std::vector<Pairing> ready;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unplugged || (m_transfers.empty() && m_outgoing.empty())) {
            // Nobody reads: the camera idles until the next transfer is posted.
            m_producing = false;
            return;
        }
        QueueFrameLocked();
        ready = PairLocked();
        ScheduleTickLocked(m_nextFrameTime + static_cast<int64_t>(10000000.0 / m_frameRate));
    }
    for (const Pairing& p : ready) Send(p);
}

void SimCamera::QueueFrameLocked() {
    const SensorSize sensor = SensorSizeOf(m_config.modelCode);
    const uint32_t width = sensor.width;
    const uint32_t height = ReadoutHeight(sensor, m_settings[22]);
    const size_t imageSize = static_cast<size_t>(width) * height;
    const size_t frameSize = kFrameHeaderSize + imageSize;
    // At most two frames wait to be sent; a third is not produced.
    size_t waiting = 0;
    for (const Outgoing& o : m_outgoing)
        waiting += o.piece.kind == Piece::Kind::Data ? o.piece.length : 0;
    if (waiting > 2 * frameSize)
        return;

    const std::vector<uint8_t>& image = SensorImageLocked(width, height);
    auto frame = std::make_shared<std::vector<uint8_t>>(frameSize);
    ++m_frameCounter;
    for (int i = 0; i < 4; ++i) (*frame)[12 + i] = static_cast<uint8_t>(m_frameCounter >> (8 * i));
    std::memcpy(frame->data() + kFrameHeaderSize, image.data(), imageSize);
    if (m_effects.noise != 0) {
        uint8_t* samples = frame->data() + kFrameHeaderSize;
        const int span = 2 * m_effects.noise + 1;
        for (size_t i = 0; i < imageSize; ++i) {
            m_noiseState = m_noiseState * 1664525u + 1013904223u;
            const int v =
                samples[i] + static_cast<int>((m_noiseState >> 16) % span) - m_effects.noise;
            samples[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }

    std::vector<Piece> pieces;
    auto split = [&pieces](size_t bytes) {
        while (bytes >= kTransferSize) {
            pieces.push_back({Piece::Kind::Data, static_cast<uint32_t>(kTransferSize)});
            bytes -= kTransferSize;
        }
        if (bytes > 0)
            pieces.push_back({Piece::Kind::Data, static_cast<uint32_t>(bytes)});
    };
    switch (m_split) {
        case FrameSplit::Standard:
            split(frameSize);
            break;
        case FrameSplit::HeaderFirst:
            pieces.push_back({Piece::Kind::Data, static_cast<uint32_t>(kFrameHeaderSize)});
            split(imageSize);
            break;
        case FrameSplit::Script:
            pieces = m_script;
            break;
    }
    std::shared_ptr<const std::vector<uint8_t>> shared = frame;
    size_t offset = 0;
    for (const Piece& piece : pieces) {
        m_outgoing.push_back({shared, offset, piece});
        if (piece.kind == Piece::Kind::Data)
            offset += piece.length;
    }
}

void SimCamera::SetSensorEffects(const SensorEffects& effects) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_effects = effects;
    m_rawWidth = m_rawHeight = 0;  // the response changed: render again
}

std::vector<uint8_t> SimCamera::SensorImage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const SensorSize sensor = SensorSizeOf(m_config.modelCode);
    return SensorImageLocked(sensor.width, ReadoutHeight(sensor, m_settings[22]));
}

const std::vector<uint8_t>& SimCamera::SensorImageLocked(uint32_t width, uint32_t height) {
    if (m_rawWidth != width || m_rawHeight != height) {
        // The chart through the sensor's own colour response: red at half and blue at 128/218
        // of green, which the white balance's start gains (256, 128, 128, 218) undo; then the
        // cast, the fixed dark pattern and the hot pixels.
        m_raw = RenderRaw(width, height, m_config.arrangement);
        const double response[3] = {128.0 / 256.0 * m_effects.redCast, 1.0,
                                    128.0 / 218.0 * m_effects.blueCast};
        uint32_t state = m_config.seed * 2654435761u + 12345u;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t& v = m_raw[static_cast<size_t>(y) * width + x];
                double value = m_effects.capped ? 0.0 : v;
                const int site = SiteColour(m_config.arrangement, x, y);
                if (site >= 0)
                    value *= response[site];
                state = state * 1664525u + 1013904223u;
                if (m_effects.darkPattern != 0)
                    value += (state >> 16) % (m_effects.darkPattern + 1u);
                v = static_cast<uint8_t>(std::min(255.0, value + 0.5));
            }
        }
        m_hot.clear();
        for (uint32_t i = 0; i < m_effects.hotPixels && !m_raw.empty(); ++i) {
            state = state * 1664525u + 1013904223u;
            m_hot.push_back(state % m_raw.size());
        }
        m_rawWidth = width;
        m_rawHeight = height;
        m_imageStale = true;
    }
    // Brightness follows the exposure time and the linear gain of the gain code, relative to
    // the exposure block the camera starts with.
    const double lines = Get16(m_settings, 26);
    const double clocks = Get16(m_settings, 28);
    const double frameTime = lines * clocks;
    double exposure = Get16(m_exposure, 2) * clocks + Get16(m_exposure, 4);
    if (exposure == 0)
        exposure = frameTime;
    const double gain = std::pow(10.0, (0.132 * Get16(m_exposure, 6) - 2.36) / 20.0);
    const double nominalGain = std::pow(10.0, (0.132 * m_config.defaultGain - 2.36) / 20.0);
    const double nominalExposure = m_nominalExposure > 0 ? m_nominalExposure : 1.0;
    const double factor = (exposure / nominalExposure) * (gain / nominalGain);
    if (m_imageStale || factor != m_imageFactor) {
        m_image.resize(m_raw.size());
        for (size_t i = 0; i < m_raw.size(); ++i)
            m_image[i] = static_cast<uint8_t>(std::min(255.0, m_raw[i] * factor + 0.5));
        for (size_t i : m_hot) m_image[i] = 255;  // stuck whatever the exposure
        m_imageFactor = factor;
        m_imageStale = false;
    }
    return m_image;
}

std::vector<SimCamera::Pairing> SimCamera::PairLocked() {
    std::vector<Pairing> ready;
    while (!m_transfers.empty() && !m_outgoing.empty()) {
        ready.push_back({m_transfers.front(), m_outgoing.front()});
        m_transfers.pop_front();
        m_outgoing.pop_front();
    }
    return ready;
}

void SimCamera::Send(const Pairing& pairing) {
    platform::UsbTransfer* transfer = pairing.transfer;
    const Outgoing& out = pairing.piece;
    switch (out.piece.kind) {
        case Piece::Kind::Data: {
            const ULONG n = std::min<ULONG>(out.piece.length, transfer->Length());
            const std::vector<uint8_t>& frame = *out.frame;
            const size_t available =
                out.offset < frame.size() ? std::min<size_t>(n, frame.size() - out.offset) : 0;
            if (available > 0)
                std::memcpy(transfer->Buffer(), frame.data() + out.offset, available);
            if (n > available)
                std::memset(transfer->Buffer() + available, 0, n - available);
            transfer->Finish(USBD_STATUS_SUCCESS, n);
            break;
        }
        case Piece::Kind::ZeroLength:
            transfer->Finish(USBD_STATUS_SUCCESS, 0);
            break;
        case Piece::Kind::UsbdError:
            transfer->FinishWithIrpStatus(USBD_STATUS_BUFFER_OVERRUN, 0, STATUS_SUCCESS);
            break;
        case Piece::Kind::IrpFailure:
            transfer->Finish(USBD_STATUS_STALL_PID, 0);
            break;
    }
}

}  // namespace halvex::sim
