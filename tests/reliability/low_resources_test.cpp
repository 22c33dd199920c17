// Low resources, systematically: a scenario runs once to count the pool, IRP and work-item
// allocations it makes, then once more for every one of them with that allocation failing. Each
// run must end with a clear status, leave the device able to stream, and leave nothing live once
// the device is gone.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "camera/property_sets.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Resource;
using platform::Resources;
using platform::Runtime;
using platform::Verifier;

constexpr LONGLONG kSecond = 10000000;

// What a request may answer when an allocation under it failed.
const std::set<NTSTATUS> kClearFailures = {
    STATUS_SUCCESS,   STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL, STATUS_NO_SUCH_DEVICE,
    STATUS_CANCELLED, STATUS_IO_DEVICE_ERROR,
};

class LowResourcesTest : public DeviceTest {
  protected:
    using Scenario = std::function<void(client::CameraSession&)>;

    // Runs the scenario on a started device with each allocation it makes failing in turn, then
    // checks that the device still streams and that nothing is left. Returns the failure points.
    uint64_t Sweep(const std::string& what, const Scenario& scenario) {
        uint64_t points = 0;
        for (Resource kind : {Resource::Pool, Resource::Irp, Resource::WorkItem}) {
            Started();
            Resources::ResetCounts();
            scenario(Session());
            const uint64_t attempts = Resources::Attempts(kind);
            Finish();
            for (uint64_t k = 1; k <= attempts; ++k) {
                SCOPED_TRACE(what + ": allocation " + std::to_string(k) + " of kind " +
                             std::to_string(static_cast<int>(kind)) + " fails");
                Started();
                Resources::FailNth(kind, k);
                scenario(Session());
                Resources::ClearFaults();
                StreamsAgain();
                Finish();
                if (HasFailure())
                    return points;
            }
            points += attempts;
        }
        return points;
    }

    // A status must be a clear one; returns it.
    static NTSTATUS Clear(NTSTATUS status) {
        EXPECT_TRUE(kClearFailures.count(status) != 0) << std::hex << "status 0x" << status;
        return status;
    }

    // Open, pause, run, three frames' worth of time, stop, close; every step may fail.
    static void StreamingSession(client::CameraSession& session, int reads) {
        if (!NT_SUCCESS(Clear(session.OpenStream(640, 480))))
            return;
        Clear(session.SetState(KSSTATE_PAUSE));
        Clear(session.SetState(KSSTATE_RUN));
        std::vector<std::shared_ptr<client::PendingRead>> pending;
        for (int i = 0; i < reads; ++i) pending.push_back(session.QueueRead(640 * 480 * 3));
        Runtime::Advance(kSecond / 2);
        Clear(session.SetState(KSSTATE_STOP));
        EXPECT_EQ(session.CloseStream(), STATUS_SUCCESS);
        for (auto& read : pending) {
            EXPECT_TRUE(read->Done());
            Clear(read->Status());
        }
    }

  private:
    // With no fault left, the device delivers a frame.
    void StreamsAgain() {
        client::CameraSession& session = Session();
        if (session.StreamOpen()) {
            EXPECT_EQ(session.CloseStream(), STATUS_SUCCESS);
        }
        ASSERT_EQ(session.OpenStream(640, 480), STATUS_SUCCESS);
        EXPECT_EQ(session.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        auto read = session.QueueRead(640 * 480 * 3);
        Runtime::Advance(kSecond / 2);
        EXPECT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(session.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(session.CloseStream(), STATUS_SUCCESS);
    }
    // Uninitialises and removes the device; nothing may be left.
    void Finish() {
        EXPECT_EQ(Session().Stop(), STATUS_SUCCESS);
        ReleaseObjects();
        EXPECT_EQ(Resources::LeakReport(), "");
        EXPECT_THAT(Verifier::Violations(), ::testing::IsEmpty());
    }
};

TEST_F(LowResourcesTest, StreamingSession) {
    const uint64_t points =
        Sweep("streaming", [](client::CameraSession& s) { StreamingSession(s, 3); });
    EXPECT_GT(points, 50u);
    printf("streaming session: %llu failure points\n", static_cast<unsigned long long>(points));
}

// Every item of every published property set, got and set, with a buffer of its minimum size.
TEST_F(LowResourcesTest, EveryPropertyId) {
    ULONG count = 0;
    const KSPROPERTY_SET* sets = DevicePropertySets(&count);
    uint64_t points = 0;
    int requests = 0;
    for (ULONG s = 0; s < count; ++s) {
        for (ULONG i = 0; i < sets[s].PropertiesCount; ++i) {
            const KSPROPERTY_ITEM& item = sets[s].PropertyItem[i];
            for (bool set : {false, true}) {
                if ((set ? item.SetSupported : item.GetSupported) == 0)
                    continue;
                const GUID guid = *sets[s].Set;
                const ULONG id = item.PropertyId;
                const ULONG propertySize = std::max<ULONG>(item.MinProperty, sizeof(KSPROPERTY));
                const ULONG dataSize = std::max<ULONG>(item.MinData, 1);
                ++requests;
                // A set sends what a get of the same item answers, where there is one, so that
                // it goes past the checks of its data to the work; zeros otherwise.
                std::vector<uint8_t> payload(dataSize, 0);
                Started();
                if (set && item.GetSupported != 0) {
                    std::vector<uint64_t> property(propertySize / 8 + 1, 0);
                    std::vector<uint8_t> answer(dataSize, 0);
                    if (NT_SUCCESS(Session().DeviceProperty(false, guid, id, property.data(),
                                                            propertySize, answer.data(), dataSize)))
                        payload = answer;
                }
                auto request = [&](client::CameraSession& session) {
                    std::vector<uint64_t> property(propertySize / 8 + 1, 0);
                    std::vector<uint8_t> data = payload;
                    return session.DeviceProperty(set, guid, id, property.data(), propertySize,
                                                  data.data(), dataSize);
                };
                // Without faults the request gets its answer; with one, that answer or a
                // failure of resources.
                const NTSTATUS answer = request(Session());
                ReleaseObjects();
                points += Sweep("property set " + std::to_string(s) + " id " + std::to_string(id) +
                                    (set ? " set" : " get"),
                                [&](client::CameraSession& session) {
                                    const NTSTATUS status = request(session);
                                    if (status != answer)
                                        Clear(status);
                                });
                if (HasFailure())
                    return;
            }
        }
    }
    printf("%d property requests: %llu failure points\n", requests,
           static_cast<unsigned long long>(points));
}

TEST_F(LowResourcesTest, SettingsSnapshotSaveAndLoad) {
    const std::string path =
        (std::filesystem::temp_directory_path() / "halvex_low_resources.settings").string();
    Started();
    std::string error;
    ASSERT_EQ(Session().SaveSettings(path, &error), STATUS_SUCCESS) << error;
    ReleaseObjects();
    const uint64_t points = Sweep("snapshot", [&](client::CameraSession& session) {
        std::string message;
        Clear(session.SaveSettings(path + ".out", &message));
        Clear(session.LoadSettings(path, &message));
    });
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".out");
    printf("settings snapshot: %llu failure points\n", static_cast<unsigned long long>(points));
}

}  // namespace
}  // namespace halvex::test
