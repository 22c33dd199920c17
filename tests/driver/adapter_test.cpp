#include "driver/adapter.h"

#include <vector>

#include "camera/property_sets.h"
#include "driver/read_queue.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::HostSrb;
using platform::HostStream;
using platform::Lane;
using platform::Runtime;

class AdapterTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();
    }

    // Puts a stream record into slot 0 as an open stream would, in the given state.
    StreamContext* FakeOpenStream(KSSTATE state) {
        m_stream = Host().NewStream(0);
        auto* context = static_cast<StreamContext*>(m_stream->Extension());
        context->m_pDeviceContext = Device();
        context->m_pStreamObject = m_stream->Get();
        WriteStreamState(context, state);
        SetStreamInSlot(Device(), 0, context);
        return context;
    }

    // A read SRB waiting in read queue 0, as the read entry leaves it.
    std::unique_ptr<HostSrb> QueuedRead() {
        auto srb = Host().NewSrb(SRB_READ_DATA, m_stream.get());
        m_headers.push_back(std::make_unique<KSSTREAM_HEADER>());
        m_headers.back()->DataUsed = 99;
        (*srb)->CommandData.DataBufferArray = m_headers.back().get();
        srb->MarkSent();
        PIRP irp = srb->Irp();
        irp->Tail.Overlay.DriverContext[0] = srb->Get();
        InsertTailList(&Device()->m_ReadQueue[0], &irp->Tail.Overlay.ListEntry);
        Device()->m_ulReadQueueCount[0]++;
        return srb;
    }

    std::unique_ptr<HostSrb> PowerSrb(DEVICE_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
        auto srb = Host().NewSrb(SRB_CHANGE_POWER_STATE);
        (*srb)->CommandData.DeviceState = state;
        IoGetCurrentIrpStackLocation(srb->Irp())->MajorFunction = IRP_MJ_POWER;
        IoGetCurrentIrpStackLocation(srb->Irp())->MinorFunction = minor;
        return srb;
    }

    NTSTATUS Property(SRB_COMMAND command, const GUID& set, ULONG id, PVOID property,
                      ULONG propertySize, PVOID data, ULONG dataSize) {
        auto* p = static_cast<PKSPROPERTY>(property);
        p->Set = set;
        p->Id = id;
        STREAM_PROPERTY_DESCRIPTOR descriptor{p, 0, data, propertySize, dataSize};
        auto srb = Host().NewSrb(command);
        (*srb)->CommandData.PropertyInfo = &descriptor;
        return Host().Call(*srb);
    }

    NTSTATUS SetVideoControlMode(ULONG streamIndex, LONG mode,
                                 ULONG id = KSPROPERTY_VIDEOCONTROL_MODE) {
        KSPROPERTY_VIDEOCONTROL_MODE_S request{}, data{};
        request.StreamIndex = streamIndex;
        data.StreamIndex = streamIndex;
        data.Mode = mode;
        return Property(SRB_SET_DEVICE_PROPERTY, PROPSETID_VIDCAP_VIDEOCONTROL, id, &request,
                        sizeof request, &data, sizeof data);
    }

    void ReleaseObjects() override {
        if (m_stream) {
            StreamContext* stream = StreamInSlot(Device(), 0);
            if (stream != nullptr)
                FlushReadQueue(stream);
            SetStreamInSlot(Device(), 0, nullptr);
        }
        m_stream.reset();
        DeviceTest::ReleaseObjects();
    }

    std::unique_ptr<HostStream> m_stream;
    std::vector<std::unique_ptr<KSSTREAM_HEADER>> m_headers;
};

TEST_F(AdapterTest, EachCommandCompletesOnceWithItsStatus) {
    struct Case {
        ULONG command;
        NTSTATUS status;
    };
    const Case cases[] = {
        {SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
        {SRB_CLOSE_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
        {SRB_INITIALIZATION_COMPLETE, STATUS_NOT_IMPLEMENTED},
        {SRB_UNKNOWN_DEVICE_COMMAND, STATUS_SUCCESS},
        {SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
        {SRB_SURPRISE_REMOVAL, STATUS_SUCCESS},  // no stream open: only completes
        {0x1FF, STATUS_SUCCESS},
        {SRB_READ_DATA, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        auto srb = Host().NewSrb(static_cast<SRB_COMMAND>(c.command));
        (*srb)->Status = STATUS_PENDING;  // set to success before handling
        EXPECT_EQ(Host().Call(*srb), c.status);
        EXPECT_EQ(srb->Completions(), 1);
    }
    EXPECT_FALSE(IsSurpriseRemoved(Device()));
}

TEST_F(AdapterTest, RequestArrivingDuringAnotherWaitsAndCompletesInArrivalOrder) {
    Session().Usb().SetForcedPending(true);
    auto first = Host().NewSrb(SRB_UNINITIALIZE_DEVICE);
    auto second = Host().NewSrb(SRB_UNKNOWN_DEVICE_COMMAND);
    auto third = Host().NewSrb(SRB_OPEN_DEVICE_INSTANCE);
    // The start-up below waits for the camera; while it waits, two more requests arrive.
    auto start = Host().NewSrb(SRB_INITIALIZE_DEVICE);
    Host().Call(*first);  // uninitialise, so the device can start again
    PORT_CONFIGURATION_INFORMATION config{};
    config.PhysicalDeviceObject = Session().Usb().LowerDevice();
    (*start)->CommandData.ConfigInfo = &config;
    bool queuedWhileBusy = false;
    Runtime::Post(
        Lane::Device, 0,
        [&] {
            Host().Send(*second);
            Host().Send(*third);
            queuedWhileBusy = !second->Done() && !third->Done();
        },
        "late arrivals");
    Host().Send(*start);
    EXPECT_TRUE(queuedWhileBusy);
    ASSERT_TRUE(start->Done() && second->Done() && third->Done());
    EXPECT_EQ(start->Status(), STATUS_SUCCESS);
    EXPECT_LT(start->CompletionOrder(), second->CompletionOrder());
    EXPECT_LT(second->CompletionOrder(), third->CompletionOrder());
    EXPECT_EQ(third->Status(), STATUS_NOT_IMPLEMENTED);
}

TEST_F(AdapterTest, PowerChangesAcceptOnlyD0AndD3) {
    EXPECT_EQ(Host().Call(*PowerSrb(PowerDeviceD1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Device()->m_DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Host().Call(*PowerSrb(PowerDeviceD0)), STATUS_SUCCESS);
    EXPECT_EQ(Host().Call(*PowerSrb(PowerDeviceD3, IRP_MN_QUERY_POWER)), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(Device()->m_DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Host().Call(*PowerSrb(PowerDeviceD3)), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(Host().Call(*PowerSrb(PowerDeviceD2)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Device()->m_DevicePowerState, PowerDeviceD3);
}

TEST_F(AdapterTest, PowerCycleRestoresTheStreamStateSavedAtD3) {
    StreamContext* stream = FakeOpenStream(KSSTATE_RUN);
    ASSERT_EQ(Host().Call(*PowerSrb(PowerDeviceD3)), STATUS_SUCCESS);
    WriteStreamState(stream, KSSTATE_PAUSE);
    ASSERT_EQ(Host().Call(*PowerSrb(PowerDeviceD0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadStreamState(stream), KSSTATE_RUN);
    Camera().ClearLog();
    EXPECT_TRUE(Camera().Log().empty());  // nothing is sent to the camera
}

TEST_F(AdapterTest, SurpriseRemovalStopsTheStreamOnceAndFlushesReadsWhenRunning) {
    StreamContext* stream = FakeOpenStream(KSSTATE_RUN);
    Device()->m_bTransportRunning = TRUE;
    auto read1 = QueuedRead();
    auto read2 = QueuedRead();
    EXPECT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(IsSurpriseRemoved(Device()));
    EXPECT_EQ(ReadStreamState(stream), KSSTATE_STOP);
    for (auto* read : {read1.get(), read2.get()}) {
        EXPECT_EQ(read->Completions(), 1);
        EXPECT_EQ(read->Status(), STATUS_CANCELLED);
        EXPECT_EQ((*read)->CommandData.DataBufferArray->DataUsed, 0u);
    }
    EXPECT_LT(read1->CompletionOrder(), read2->CompletionOrder());
    EXPECT_EQ(Device()->m_ulReadQueueCount[0], 0u);

    WriteStreamState(stream, KSSTATE_RUN);
    EXPECT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);  // a second one does nothing
    EXPECT_EQ(ReadStreamState(stream), KSSTATE_RUN);
    Device()->m_bTransportRunning = FALSE;
}

TEST_F(AdapterTest, SurpriseRemovalWithoutTransportLeavesReadsQueued) {
    FakeOpenStream(KSSTATE_PAUSE);
    auto read = QueuedRead();
    EXPECT_EQ(Host().Call(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(IsSurpriseRemoved(Device()));
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(Device()->m_ulReadQueueCount[0], 1u);
    FlushReadQueue(StreamInSlot(Device(), 0));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

TEST_F(AdapterTest, CancelCompletesOnlyAQueuedRead) {
    FakeOpenStream(KSSTATE_RUN);
    auto queued = QueuedRead();
    auto other = Host().NewSrb(SRB_READ_DATA, m_stream.get());
    Host().Cancel(*other);
    EXPECT_FALSE(other->Done());
    Host().Cancel(*queued);
    EXPECT_EQ(queued->Completions(), 1);
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ((*queued)->CommandData.DataBufferArray->DataUsed, 0u);
    EXPECT_EQ(Device()->m_ulReadQueueCount[0], 0u);
    Host().Cancel(*queued);  // no longer queued: nothing happens
    EXPECT_EQ(queued->Completions(), 1);
}

TEST_F(AdapterTest, TimeOutRearmsTheCounterAndLeavesTheRequestPending) {
    auto srb = Host().NewSrb(SRB_READ_DATA);
    (*srb)->TimeoutOriginal = 15;
    (*srb)->TimeoutCounter = 0;
    Host().TimeOut(*srb);
    EXPECT_EQ((*srb)->TimeoutCounter, 15u);
    EXPECT_FALSE(srb->Done());
}

TEST_F(AdapterTest, VideoControlModeSetStoresPerStreamOrDefault) {
    EXPECT_EQ(SetVideoControlMode(5, 7), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_lDefaultVideoControlMode, 7);
    EXPECT_EQ(SetVideoControlMode(6, 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Device()->m_lDefaultVideoControlMode, 7);
    EXPECT_EQ(SetVideoControlMode(5, 8, KSPROPERTY_VIDEOCONTROL_CAPS), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_lDefaultVideoControlMode, 7);
    StreamContext* stream = FakeOpenStream(KSSTATE_STOP);
    EXPECT_EQ(SetVideoControlMode(0, 3), STATUS_SUCCESS);
    EXPECT_EQ(stream->m_lVideoControlMode, 3);
    EXPECT_EQ(Device()->m_lDefaultVideoControlMode, 7);
}

TEST_F(AdapterTest, DevicePropertiesAreRoutedBySet) {
    struct Case {
        const char* what;
        SRB_COMMAND command;
        GUID set;
    };
    const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    const Case cases[] = {
        {"decoder set", SRB_SET_DEVICE_PROPERTY, PROPSETID_VIDCAP_VIDEODECODER},
        {"crossbar get", SRB_GET_DEVICE_PROPERTY, PROPSETID_VIDCAP_CROSSBAR},
        {"crossbar set", SRB_SET_DEVICE_PROPERTY, PROPSETID_VIDCAP_CROSSBAR},
        {"compression get", SRB_GET_DEVICE_PROPERTY, PROPSETID_VIDCAP_VIDEOCOMPRESSION},
        {"refused set", SRB_SET_DEVICE_PROPERTY, PROPSETID_REFUSED_F162C607},
        {"unknown set", SRB_GET_DEVICE_PROPERTY, other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KSPROPERTY_VIDEOPROCAMP_S request{}, data{};
        EXPECT_EQ(Property(c.command, c.set, 0, &request, sizeof request, &data, sizeof data),
                  STATUS_NOT_IMPLEMENTED);
    }
    auto srb = Host().NewSrb(SRB_GET_DEVICE_PROPERTY);  // no property descriptor at all
    EXPECT_EQ(Host().Call(*srb), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace halvex::test
