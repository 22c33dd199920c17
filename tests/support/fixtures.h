// Test fixtures: a platform runtime per test, with the verifier's findings and every live kernel
// resource checked at teardown; and a device on a simulated camera.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "client/camera_session.h"
#include "driver/device_context.h"
#include "platform/debug_log.h"
#include "platform/resources.h"
#include "platform/runtime.h"
#include "platform/verifier.h"

namespace halvex::test {

class PlatformTest : public ::testing::Test {
  protected:
    explicit PlatformTest(platform::TimeMode mode = platform::TimeMode::Virtual) : m_mode(mode) {}

    void SetUp() override {
        platform::Verifier::Clear();
        platform::DebugLog::Clear();
        platform::Resources::ClearFaults();
        platform::Resources::ResetCounts();
        platform::Runtime::Start(m_mode);
    }

    void TearDown() override {
        ReleaseObjects();
        platform::Runtime::Stop();
        platform::Resources::ClearFaults();
        EXPECT_THAT(platform::Verifier::Violations(), ::testing::IsEmpty());
        EXPECT_EQ(platform::Resources::LeakReport(), "");
    }

    // Releases what the test holds before the runtime stops.
    virtual void ReleaseObjects() {}

  private:
    platform::TimeMode m_mode;
};

class DeviceTest : public PlatformTest {
  protected:
    using PlatformTest::PlatformTest;

    // Creates the device on a simulated camera (not yet started).
    client::CameraSession& Create(const sim::CameraConfig& config = {}) {
        m_session = std::make_unique<client::CameraSession>(config);
        return *m_session;
    }
    // Creates and starts the device; the start must succeed.
    client::CameraSession& Started(const sim::CameraConfig& config = {}) {
        Create(config);
        EXPECT_EQ(m_session->Start(), STATUS_SUCCESS);
        return *m_session;
    }

    client::CameraSession& Session() { return *m_session; }
    DeviceContext* Device() { return m_session->Device(); }
    sim::SimCamera& Camera() { return m_session->Camera(); }
    platform::HostDevice& Host() { return m_session->Host(); }

    void ReleaseObjects() override { m_session.reset(); }

  private:
    std::unique_ptr<client::CameraSession> m_session;
};

}  // namespace halvex::test
