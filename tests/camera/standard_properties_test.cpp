// The standard video property sets through the adapter's device property requests.
#include <cstring>
#include <vector>

#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "camera/property_sets.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class StandardPropertiesTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();
    }
    // A device property request with the record as both property and data.
    NTSTATUS Request(bool set, const GUID& propertySet, ULONG id, void* record, ULONG size,
                     ULONG dataSize, ULONG* transferred = nullptr) {
        auto* property = static_cast<KSPROPERTY*>(record);
        property->Set = propertySet;
        property->Id = id;
        property->Flags = set ? 2 : 1;
        std::vector<uint8_t> data(dataSize + 1, 0xAB);
        std::memcpy(data.data(), record, std::min(size, dataSize));
        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = property;
        descriptor.PropertyInputSize = size;
        descriptor.PropertyInfo = data.data();
        descriptor.PropertyOutputSize = dataSize;
        auto srb = Host().NewSrb(set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY);
        (*srb)->CommandData.PropertyInfo = &descriptor;
        const NTSTATUS status = Host().Call(*srb);
        EXPECT_EQ(data[dataSize], 0xAB) << "written past the data buffer";
        std::memcpy(record, data.data(), std::min(size, dataSize));
        if (transferred != nullptr)
            *transferred = (*srb)->ActualBytesTransferred;
        return status;
    }
    NTSTATUS SetProcAmp(ULONG id, LONG value, ULONG flags) {
        KSPROPERTY_VIDEOPROCAMP_S r{};
        r.Value = value;
        r.Flags = flags;
        return Request(true, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &r, sizeof r, sizeof r);
    }
    KSPROPERTY_VIDEOPROCAMP_S GetProcAmp(ULONG id) {
        KSPROPERTY_VIDEOPROCAMP_S r{};
        r.Capabilities = 3;
        EXPECT_EQ(Request(false, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &r, sizeof r, sizeof r),
                  STATUS_SUCCESS);
        EXPECT_EQ(r.Capabilities, 3u);  // the request record comes back as sent
        return r;
    }
    static constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
    static constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
};

TEST_F(StandardPropertiesTest, DefaultsOnAFreshDevice) {
    struct Case {
        ULONG id;
        LONG value;
        ULONG flags;
    };
    const Case cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_HUE, 0, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 5000, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 0, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_GAMMA, 100, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, kAuto},
        {KSPROPERTY_VIDEOPROCAMP_GAIN, Device()->m_pAutoExposure->m_wDefaultGain, kManual},
    };
    for (const Case& c : cases) {
        const auto r = GetProcAmp(c.id);
        EXPECT_EQ(r.Value, c.value) << c.id;
        EXPECT_EQ(r.Flags, c.flags) << c.id;
    }
}

TEST_F(StandardPropertiesTest, ToneProperties) {
    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 400, kAuto), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteMode[0], 0);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS).Flags, kAuto);

    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 20, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteMode[0], 1);
    auto r = GetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
    EXPECT_EQ(r.Flags, kManual);
    EXPECT_EQ(r.Value, 0);

    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST, 8000, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteContrast[0], 100);
    r = GetProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST);
    EXPECT_EQ(r.Flags, kManual);
    EXPECT_EQ(r.Value, 8000);

    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA, 0, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pLookupTables->m_awGamma[0], 1);
    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA, 200, kManual), STATUS_SUCCESS);
    UCHAR curve[256];
    BuildToneCurve(200, 0, 100, curve);
    EXPECT_EQ(0, std::memcmp(curve, Device()->m_pLookupTables->m_abyteTable[0], 256));
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA).Value, 200);
}

TEST_F(StandardPropertiesTest, ColourSharpnessWhiteBalanceAndRanges) {
    struct Case {
        ULONG id;
        LONG value;
        ULONG flags;
        NTSTATUS status;
    };
    const Case refused[] = {
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, -1, kManual, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_HUE, 180001, kManual, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 101, kManual, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 1, kManual, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_GAIN, 256, kManual, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_GAIN, -1, kManual, STATUS_INVALID_PARAMETER},
        {6, 0, kManual, STATUS_NOT_IMPLEMENTED},
    };
    for (const Case& c : refused) EXPECT_EQ(SetProcAmp(c.id, c.value, c.flags), c.status) << c.id;

    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, 9000, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pColorCorrection->m_wHue, 90);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE).Value, 9000);
    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, -1, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pColorCorrection->m_byteAdjustEnable, 0);
    EXPECT_EQ(Device()->m_pColorCorrection->m_wHue, 0);

    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 100, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pSharpnessFilter->m_wStrength, 500);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_SHARPNESS).Value, 100);

    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pWhiteBalance->m_byteBalanceMode, WB_MODE_FIXED);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).Flags, kManual);
    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, -1, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pWhiteBalance->m_byteBalanceMode, WB_MODE_CONTINUOUS);
}

TEST_F(StandardPropertiesTest, GainGoesToTheCameraWithTheOldModeAndThenTheNewOne) {
    Camera().ClearLog();
    EXPECT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAIN, 255, kAuto), STATUS_SUCCESS);
    const auto block = Camera().ExposureBlock();
    EXPECT_EQ(ReadLe16(&block[6]), 255);
    EXPECT_EQ(block[8], 0);  // the mode before the request
    EXPECT_EQ(Device()->m_pAutoExposure->m_byteMode, 3);
    const auto r = GetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAIN);
    EXPECT_EQ(r.Value, 255);
    EXPECT_EQ(r.Flags, kAuto);
}

TEST_F(StandardPropertiesTest, VideoControlAndDecoder) {
    KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
    mode.StreamIndex = 6;
    EXPECT_EQ(Request(false, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, &mode,
                      sizeof mode, sizeof mode),
              STATUS_INVALID_PARAMETER);
    mode.StreamIndex = 0;
    mode.Mode = 5;
    EXPECT_EQ(Request(true, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, &mode,
                      sizeof mode, sizeof mode),
              STATUS_SUCCESS);
    mode.Mode = 0;
    EXPECT_EQ(Request(false, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, &mode,
                      sizeof mode, sizeof mode),
              STATUS_SUCCESS);
    EXPECT_EQ(mode.Mode, 5);
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S rate{};
    ULONG transferred = 0;
    EXPECT_EQ(
        Request(false, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
                &rate, sizeof rate, sizeof rate, &transferred),
        STATUS_SUCCESS);
    EXPECT_EQ(rate.CurrentActualFrameRate, 15);
    EXPECT_EQ(transferred, 56u);

    KSPROPERTY_VIDEODECODER_STATUS_S status{};
    EXPECT_EQ(Request(false, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, &status,
                      sizeof status, sizeof status),
              STATUS_SUCCESS);
    EXPECT_EQ(status.NumberOfLines, 525u);
    EXPECT_EQ(status.SignalLocked, 0u);
    KSPROPERTY_VIDEODECODER_CAPS_S caps{};
    EXPECT_EQ(Request(false, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, &caps,
                      sizeof caps, sizeof caps),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.StandardsSupported, 0x631u);
    EXPECT_EQ(caps.HSyncPerVSync, 6u);
    KSPROPERTY_VIDEODECODER_S standard{};
    EXPECT_EQ(Request(true, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                      &standard, sizeof standard, sizeof standard),
              STATUS_NOT_IMPLEMENTED);
}

TEST_F(StandardPropertiesTest, EveryDataLengthFromZeroUp) {
    struct Case {
        const GUID* set;
        ULONG id;
        ULONG size;
    };
    const Case cases[] = {
        {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 40},
        {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 40},
        {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS, 32},
        {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56},
        {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, 32},
        {&PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, 40},
        {&PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, 32},
    };
    for (const Case& c : cases) {
        for (bool set : {false, true}) {
            if (set && c.set != &PROPSETID_VIDCAP_VIDEOPROCAMP)
                continue;
            for (ULONG length = 0; length <= c.size + 8; ++length) {
                uint8_t record[64] = {};
                ULONG transferred = 0;
                const NTSTATUS status =
                    Request(set, *c.set, c.id, record, c.size, length, &transferred);
                if (length < c.size) {
                    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL) << c.id << " at " << length;
                    EXPECT_EQ(transferred, c.size);
                } else {
                    EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INVALID_PARAMETER)
                        << c.id << " at " << length;
                }
            }
        }
    }
}

TEST_F(StandardPropertiesTest, PublishedTable) {
    ULONG count = 0;
    const KSPROPERTY_SET* sets = DevicePropertySets(&count);
    ASSERT_EQ(count, 7u);
    EXPECT_TRUE(IsEqualGUID(*sets[0].Set, PROPSETID_VIDCAP_CROSSBAR));
    ASSERT_TRUE(IsEqualGUID(*sets[1].Set, PROPSETID_VIDCAP_VIDEOPROCAMP));
    EXPECT_EQ(sets[1].PropertiesCount, 8u);
    const KSPROPERTY_ITEM& gain = sets[1].PropertyItem[7];
    EXPECT_EQ(gain.PropertyId, 9u);
    EXPECT_EQ(gain.MinProperty, 40u);
    ASSERT_NE(gain.Values, nullptr);
    const auto* members = gain.Values->MembersList;
    const auto* range = static_cast<const KSPROPERTY_STEPPING_LONG*>(members[0].Members);
    EXPECT_EQ(range->Bounds.SignedMaximum, 255);
    EXPECT_EQ(*static_cast<const LONG*>(members[1].Members), 128);
    EXPECT_EQ(sets[2].PropertyItem[2].MinData, 8u);  // frame rates
    EXPECT_TRUE(IsEqualGUID(*sets[6].Set, PROPSETID_VENDOR_CAMERA));
}

}  // namespace
}  // namespace halvex::test
