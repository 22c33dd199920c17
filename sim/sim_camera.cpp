#include "sim/sim_camera.h"

#include <algorithm>
#include <cstring>

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
      m_blockF9(256) {
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
    Put16(m_exposure, 2, static_cast<uint16_t>(lines / 2));
    Put16(m_exposure, 6, config.defaultGain);

    m_block22[0] = 6;
    m_block22[1] = 0x22;
    for (int i = 0; i < kRegisterCount; ++i) m_registers[i] = static_cast<uint16_t>(0x100 + i);
}

SimCamera::~SimCamera() {
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
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_unplugged) {
            m_transfers.push_back(transfer);
            return;
        }
    }
    transfer->Finish(USBD_STATUS_DEVICE_GONE, 0);
}

void SimCamera::CancelTransfer(platform::UsbTransfer* transfer) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_transfers.begin(), m_transfers.end(), transfer);
        if (it == m_transfers.end())
            return;
        m_transfers.erase(it);
    }
    transfer->Finish(USBD_STATUS_CANCELED, 0);
}

void SimCamera::Unplug() {
    std::deque<platform::UsbTransfer*> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unplugged = true;
        held.swap(m_transfers);
    }
    for (platform::UsbTransfer* t : held) t->Finish(USBD_STATUS_DEVICE_GONE, 0);
}

}  // namespace halvex::sim
