// The adapter and stream entries with arbitrary requests: any command number, property set, id,
// flags and data length, stream states, reads of any size, cancels, clocks, power states and
// surprise removal, interleaved with time passing while frames flow. Each request is formed as
// the stream class forms it (its buffers are as long as it says); what they hold is the input's.
// Every request must complete exactly once and nothing may be left when the device is gone.
#include <memory>
#include <vector>

#include "camera/property_sets.h"
#include "client/camera_session.h"
#include "fuzz/fuzz_session.h"
#include "platform/stream_class_host.h"

using halvex::client::CameraSession;
using halvex::client::PendingRead;
using halvex::fuzz::Input;
using halvex::platform::HostSrb;

namespace {

constexpr LONGLONG kMillisecond = 10000;
constexpr uint32_t kFrameBytes = 640 * 480 * 3;

const GUID* const kSets[] = {
    &PROPSETID_VIDCAP_VIDEOPROCAMP, &PROPSETID_VENDOR_CAMERA,   &PROPSETID_VIDCAP_VIDEOCONTROL,
    &PROPSETID_VIDCAP_VIDEODECODER, &PROPSETID_VIDCAP_CROSSBAR, &PROPSETID_VIDCAP_VIDEOCOMPRESSION,
    &PROPSETID_REFUSED_F162C607,    &KSPROPSETID_Connection,    &PROPSETID_VIDCAP_DROPPEDFRAMES,
};

// A property request: set, id, flags, and input and output buffers of the lengths it states.
struct Property {
    std::vector<uint64_t> property;
    std::vector<uint8_t> data;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};

    explicit Property(Input& in) {
        const uint32_t propertySize = in.Below(97);
        property.assign(std::max<size_t>(propertySize, sizeof(KSPROPERTY)) / 8 + 2, 0);
        auto* bytes = reinterpret_cast<uint8_t*>(property.data());
        for (uint32_t i = sizeof(KSPROPERTY); i < propertySize; ++i) bytes[i] = in.U8();
        auto* header = reinterpret_cast<KSPROPERTY*>(property.data());
        const uint8_t choice = in.U8();
        if (choice < 224) {
            header->Set = *kSets[choice % std::size(kSets)];
        } else {
            auto* guid = reinterpret_cast<uint8_t*>(&header->Set);
            for (size_t i = 0; i < sizeof(GUID); ++i) guid[i] = in.U8();
        }
        const uint32_t ids[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 13, 16, 17, 32, 135, 180, 181};
        header->Id = in.Bool() ? in.U8() : in.Pick(ids);
        const uint32_t flags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, 0x200,
                                  0};  // 0x200: basic support
        header->Flags = in.Pick(flags);
        const uint32_t sizes[] = {0, 1, 4, 5, 24, 40, 64, 216, 1296, 1557};
        const uint32_t dataSize = in.Pick(sizes) % 4096;
        data.resize(dataSize + 1);  // one byte more, so that a zero length still has a buffer
        for (uint32_t i = 0; i < dataSize && !in.Empty(); ++i) data[i] = in.U8();
        descriptor.Property = header;
        descriptor.PropertyInputSize = propertySize;
        descriptor.PropertyInfo = data.data();
        descriptor.PropertyOutputSize = dataSize;
    }
};

class Run {
  public:
    Run(Input& in, CameraSession& session) : m_in(in), m_session(session) {}

    void Step() {
        switch (m_in.U8() % 16) {
            case 0:
            case 1:
                DeviceProperty();
                break;
            case 2:
                StreamProperty();
                break;
            case 3:
                if (!m_session.StreamOpen())
                    m_session.OpenStream(640, 480);
                break;
            case 4:
                Close();
                break;
            case 5: {
                const KSSTATE states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE,
                                          KSSTATE_RUN};
                m_session.SetState(m_in.Pick(states));
                break;
            }
            case 6: {
                KSSTATE state;
                m_session.GetState(&state);
                break;
            }
            case 7:
                if (m_session.StreamOpen()) {
                    const uint32_t sizes[] = {kFrameBytes, kFrameBytes - 1, 0, 1600 * 1200 * 3};
                    m_reads.push_back(m_session.QueueRead(m_in.Pick(sizes) % (8 << 20)));
                }
                break;
            case 8:
                if (!m_reads.empty())
                    m_session.CancelRead(
                        *m_reads[m_in.Below(static_cast<uint32_t>(m_reads.size()))]);
                break;
            case 9:
                m_session.SetMasterClock(m_in.Bool() ? &m_clock : nullptr);
                break;
            case 10:
                AdapterCommand();
                break;
            case 11:
                StreamCommand();
                break;
            case 12:
                Power();
                break;
            case 13:
                if (m_in.U8() < 16) {  // rarely: the camera goes away
                    m_session.Camera().Unplug();
                    m_session.Host().Call(SRB_SURPRISE_REMOVAL);
                }
                break;
            default:
                halvex::platform::Runtime::Advance(m_in.U8() * 4 * kMillisecond);
                break;
        }
    }

    void Finish() {
        if (m_session.StreamOpen())
            m_session.SetMasterClock(nullptr);
        halvex::fuzz::EndStream(m_session, m_reads);
        m_reads.clear();
    }

  private:
    void Close() {
        if (!m_session.StreamOpen())
            return;
        m_session.SetMasterClock(nullptr);
        m_session.CloseStream();
    }
    void DeviceProperty() {
        Property p(m_in);
        auto srb = m_session.Host().NewSrb(m_in.Bool() ? SRB_SET_DEVICE_PROPERTY
                                                       : SRB_GET_DEVICE_PROPERTY);
        (*srb)->CommandData.PropertyInfo = &p.descriptor;
        m_session.Host().Call(*srb);
        if ((*srb)->ActualBytesTransferred > p.descriptor.PropertyOutputSize &&
            (*srb)->Status == STATUS_SUCCESS)
            halvex::fuzz::Fail("a property reported more bytes than its buffer holds");
    }
    void StreamProperty() {
        if (!m_session.StreamOpen())
            return;
        Property p(m_in);
        auto srb = m_session.Host().NewSrb(
            m_in.Bool() ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY, m_session.Stream());
        (*srb)->CommandData.PropertyInfo = &p.descriptor;
        m_session.Host().SendControl(*m_session.Stream(), *srb);
        srb->Wait();
    }
    // Commands that carry no buffer, and numbers the driver does not know.
    void AdapterCommand() {
        const SRB_COMMAND commands[] = {SRB_OPEN_DEVICE_INSTANCE,    SRB_CLOSE_DEVICE_INSTANCE,
                                        SRB_UNKNOWN_DEVICE_COMMAND,  SRB_PAGING_OUT_DRIVER,
                                        SRB_INITIALIZATION_COMPLETE, SRB_SURPRISE_REMOVAL};
        SRB_COMMAND command = m_in.Pick(commands);
        if (command == SRB_INITIALIZE_DEVICE || command == SRB_UNINITIALIZE_DEVICE ||
            command == SRB_OPEN_STREAM || command == SRB_CLOSE_STREAM ||
            command == SRB_GET_STREAM_INFO || command == SRB_GET_DEVICE_PROPERTY ||
            command == SRB_SET_DEVICE_PROPERTY || command == SRB_CHANGE_POWER_STATE ||
            command == SRB_GET_DATA_INTERSECTION)
            command = SRB_UNKNOWN_DEVICE_COMMAND;  // those carry buffers; built elsewhere
        m_session.Host().Call(command);
    }
    void StreamCommand() {
        if (!m_session.StreamOpen())
            return;
        const SRB_COMMAND commands[] = {SRB_UNKNOWN_STREAM_COMMAND,
                                        SRB_SET_STREAM_RATE,
                                        SRB_PROPOSE_STREAM_RATE,
                                        SRB_OPEN_MASTER_CLOCK,
                                        SRB_CLOSE_MASTER_CLOCK,
                                        SRB_BEGIN_FLUSH,
                                        SRB_END_FLUSH,
                                        SRB_GET_DATA_FORMAT};
        SRB_COMMAND command = m_in.Pick(commands);
        if (command == SRB_READ_DATA || command == SRB_WRITE_DATA ||
            command == SRB_SET_STREAM_PROPERTY || command == SRB_GET_STREAM_PROPERTY ||
            command == SRB_PROPOSE_DATA_FORMAT || command == SRB_SET_DATA_FORMAT ||
            command == SRB_INDICATE_MASTER_CLOCK || command == SRB_GET_STREAM_STATE ||
            command == SRB_SET_STREAM_STATE)
            command = SRB_UNKNOWN_STREAM_COMMAND;
        auto srb = m_session.Host().NewSrb(command, m_session.Stream());
        m_session.Host().SendControl(*m_session.Stream(), *srb);
        srb->Wait();
    }
    void Power() {
        auto srb = m_session.Host().NewSrb(SRB_CHANGE_POWER_STATE);
        const DEVICE_POWER_STATE states[] = {PowerDeviceD0, PowerDeviceD3, PowerDeviceD1,
                                             PowerDeviceD2};
        (*srb)->CommandData.DeviceState = m_in.Pick(states);
        IoGetCurrentIrpStackLocation(srb->Irp())->MajorFunction = IRP_MJ_POWER;
        IoGetCurrentIrpStackLocation(srb->Irp())->MinorFunction =
            m_in.U8() < 224 ? IRP_MN_SET_POWER : m_in.U8();
        m_session.Host().Call(*srb);
    }

    Input& m_in;
    CameraSession& m_session;
    halvex::platform::HostClock m_clock;
    std::vector<std::shared_ptr<PendingRead>> m_reads;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    halvex::fuzz::Scope scope;
    {
        CameraSession session;
        if (session.Start() != STATUS_SUCCESS)
            halvex::fuzz::Fail("the device did not start");
        Run run(in, session);
        for (int step = 0; step < 48 && !in.Empty(); ++step) run.Step();
        run.Finish();
        session.Stop();
    }
    return 0;
}
