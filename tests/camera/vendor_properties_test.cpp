// The vendor property set and the settings snapshot through the adapter's device property
// requests.
#include <cstring>
#include <vector>

#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "camera/property_sets.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"
#include "platform/object_table.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using Bytes = std::vector<uint8_t>;

class VendorPropertiesTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Started();
    }
    struct Answer {
        NTSTATUS status;
        ULONG transferred;
        Bytes data;
    };
    // A vendor request with `data` as the data buffer of exactly its size.
    Answer Vendor(bool set, ULONG id, Bytes data) {
        KSPROPERTY property{PROPSETID_VENDOR_CAMERA, id, set ? 2u : 1u};
        Bytes buffer = data;
        buffer.push_back(0xAB);  // a guard byte past the data
        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = &property;
        descriptor.PropertyInputSize = sizeof property;
        descriptor.PropertyInfo = buffer.data();
        descriptor.PropertyOutputSize = static_cast<ULONG>(data.size());
        auto srb = Host().NewSrb(set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY);
        (*srb)->CommandData.PropertyInfo = &descriptor;
        const NTSTATUS status = Host().Call(*srb);
        EXPECT_EQ(buffer.back(), 0xAB) << "written past the data, id " << id;
        buffer.pop_back();
        return {status, (*srb)->ActualBytesTransferred, buffer};
    }
    Answer Set(ULONG id, Bytes data) { return Vendor(true, id, std::move(data)); }
    Answer Get(ULONG id, size_t size) { return Vendor(false, id, Bytes(size, 0x77)); }
};

TEST_F(VendorPropertiesTest, DirectionsAndSizes) {
    EXPECT_EQ(Get(1, 8).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Set(129, Bytes(8)).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Set(19, Bytes(8)).status, STATUS_NOT_SUPPORTED);
    const Answer small = Set(1, {1, 0xF4, 0x01, 3});
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.transferred, 5u);
    EXPECT_EQ(Device()->m_pSharpnessFilter->m_byteEnable, 0);

    // Every id, every length up to its size and beyond: short lengths learn the size, nothing is
    // written outside the data (the guard byte above).
    struct Id {
        ULONG id;
        ULONG size;
        bool set;
    };
    std::vector<Id> ids = {
        {1, 5, true},      {2, 1296, true},  {3, 13, true},      {4, 2, true},
        {5, 30, true},     {6, 12, true},    {7, 64, true},      {8, 6, true},
        {10, 64, true},    {11, 10, true},   {13, 216, true},    {14, 64, true},
        {15, 256, true},   {16, 1, true},    {17, 2, true},      {20, 4, true},
        {180, 1557, true}, {129, 5, false},  {130, 1296, false}, {131, 13, false},
        {132, 2, false},   {133, 30, false}, {134, 4, false},    {135, 16, false},
        {136, 4, false},   {137, 64, false}, {138, 64, false},   {139, 6, false},
        {140, 64, false},  {141, 10, false}, {142, 216, false},  {143, 64, false},
        {144, 256, false}, {146, 4, false},  {181, 1557, false}};
    for (ULONG id = 22; id <= 48; ++id) ids.push_back({id, 216, true});
    for (ULONG id = 147; id <= 177; ++id) ids.push_back({id, 216, false});
    // Ids 9 and 12 carry no data and take any length.
    for (ULONG id : {9u, 12u}) {
        for (ULONG length = 0; length <= 4; ++length)
            EXPECT_EQ(Set(id, Bytes(length, 0)).status, STATUS_SUCCESS) << id;
    }
    EXPECT_EQ(ids.size() + 2, 95u);
    for (const Id& c : ids) {
        for (ULONG length = 0; length <= c.size + 3; ++length) {
            const Answer a = c.set ? Set(c.id, Bytes(length, 0)) : Get(c.id, length);
            if (length == 0 && c.set) {
                EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL) << c.id;
            } else if (length < c.size) {
                EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL) << c.id << " at " << length;
                EXPECT_EQ(a.transferred, c.size) << c.id;
            }
        }
    }
}

TEST_F(VendorPropertiesTest, ToneTablesThroughTheVendorSetAndTheProcAmp) {
    Bytes tables(1296, 0);
    for (int t = 0; t < 5; ++t) {
        tables[t] = 1;
        tables[6 + 2 * t] = 100;
        for (int i = 0; i < 256; ++i) tables[16 + 256 * t + i] = static_cast<uint8_t>(255 - i);
    }
    tables[3] = 7;  // table 3: a mode that is refused
    ASSERT_EQ(Set(2, tables).status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteMode[3], 0);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteTable[3][0], 0);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteTable[4][0], 255);
    const Answer back = Get(130, 1296);
    EXPECT_EQ(back.data[3], 0);
    EXPECT_EQ(back.data[0], 1);

    // Brightness 80 and contrast 20 are stored with every table.
    KSPROPERTY_VIDEOPROCAMP_S r{};
    for (ULONG id : {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST}) {
        r = {};
        r.Property = {PROPSETID_VIDCAP_VIDEOPROCAMP, id, 1};
        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = &r.Property;
        descriptor.PropertyInputSize = sizeof r;
        descriptor.PropertyInfo = &r;
        descriptor.PropertyOutputSize = sizeof r;
        auto srb = Host().NewSrb(SRB_GET_DEVICE_PROPERTY);
        (*srb)->CommandData.PropertyInfo = &descriptor;
        ASSERT_EQ(Host().Call(*srb), STATUS_SUCCESS);
        EXPECT_EQ(r.Flags, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
        EXPECT_EQ(r.Value, id == KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS ? 3200 : 1600);
    }
}

TEST_F(VendorPropertiesTest, SmallRecords) {
    ASSERT_EQ(Set(4, {5, 0xFF}).status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_wRotationMode, 0xFFFF);
    EXPECT_EQ(Get(132, 2).data, (Bytes{5, 0xFF}));
    ASSERT_EQ(Set(20, {0, 0, 0, 0x80}).status, STATUS_SUCCESS);
    EXPECT_EQ(PreprocessorMode(Device()->m_pRawPreprocessor), 0x80000000u);
    EXPECT_EQ(Get(146, 4).data, (Bytes{0, 0, 0, 0x80}));
    EXPECT_EQ(Get(135, 16).data, (Bytes{1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Get(136, 4).data, (Bytes{1, 0, 0, 0}));
    Camera().ClearLog();
    EXPECT_EQ(Set(13, Bytes(216, 9)).status, STATUS_SUCCESS);
    EXPECT_TRUE(Camera().Log().empty());
    EXPECT_EQ(Get(142, 216).data, Bytes(216, 0));
    Bytes colour(30, 0);
    colour[0] = 1;                       // adjustment on
    colour[1] = 0x84, colour[2] = 0x03;  // hue 900
    colour[3] = 100;                     // saturation 100
    colour[5] = 0xFF;                    // user matrix
    colour[6] = 0x2C, colour[7] = 0x01;  // red from red 300
    ASSERT_EQ(Set(5, colour).status, STATUS_SUCCESS);
    EXPECT_EQ(Get(133, 30).data, colour);
    EXPECT_EQ(Device()->m_pColorCorrection->m_awMatrix[0], 300);
}

TEST_F(VendorPropertiesTest, RegistersAndBlocks) {
    Bytes image(216, 0);
    image[8] = 0x34;  // entry 4
    image[9] = 0x12;
    Camera().ClearLog();
    ASSERT_EQ(Set(25, image).status, STATUS_SUCCESS);
    ASSERT_EQ(Camera().Log().size(), 1u);
    EXPECT_EQ(Camera().Log()[0].setup.wValue, 0x8004);
    EXPECT_EQ(Camera().Log()[0].data, (Bytes{0x34, 0x12}));
    EXPECT_EQ(Device()->m_Registers[4], 0x1234);
    Camera().ClearLog();
    ASSERT_EQ(Set(44, image).status, STATUS_SUCCESS);
    EXPECT_EQ(Camera().Log()[0].setup.wValue, 0x0050);

    Camera().FailRequestCode(0x80, true);
    const Answer failed = Get(147, 216);
    Camera().FailRequestCode(0x80, false);
    EXPECT_FALSE(NT_SUCCESS(failed.status));
    EXPECT_EQ(failed.data, Bytes(216, 0));
    const Answer registers = Get(150, 216);
    ASSERT_EQ(registers.status, STATUS_SUCCESS);
    EXPECT_EQ(registers.data[8], 0x34);

    const Answer exposure = Get(140, 64);
    ASSERT_EQ(exposure.status, STATUS_SUCCESS);
    EXPECT_EQ(exposure.data[9], Device()->m_pAutoExposure->m_byteTarget);
}

TEST_F(VendorPropertiesTest, EventsAreReferencedAndReleased) {
    EXPECT_EQ(Set(6, Bytes(12, 0)).status, STATUS_INVALID_PARAMETER);  // handle 0
    HANDLE event = platform::EventHandles::Create();
    Bytes request(12, 0);
    const ULONGLONG value = reinterpret_cast<ULONGLONG>(event);
    std::memcpy(&request[4], &value, 8);
    request[0] = 2;
    EXPECT_EQ(Set(6, request).status, STATUS_INVALID_PARAMETER);  // slot 2
    request[0] = 0;
    ASSERT_EQ(Set(6, request).status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pUserEvent0, platform::EventHandles::Event(event));
    ASSERT_EQ(Set(6, request).status, STATUS_SUCCESS);  // again: the first reference goes
    EXPECT_EQ(platform::Resources::LiveReferences(), 1u);
    Bytes bogus(12, 0);
    const ULONGLONG notAnEvent = 0x12345678;
    std::memcpy(&bogus[4], &notAnEvent, 8);
    EXPECT_FALSE(NT_SUCCESS(Set(6, bogus).status));
    ASSERT_EQ(Session().Stop(), STATUS_SUCCESS);  // uninitialise releases both slots
    EXPECT_EQ(platform::Resources::LiveReferences(), 0u);
    platform::EventHandles::Close(event);
}

TEST_F(VendorPropertiesTest, TypedRecordsRoundTripThroughTheDriver) {
    client::SharpnessRecord sharpness{1, 300, 4};
    ASSERT_EQ(Session().SetSharpness(sharpness), STATUS_SUCCESS);
    client::SharpnessRecord s2;
    ASSERT_EQ(Session().GetSharpness(&s2), STATUS_SUCCESS);
    EXPECT_EQ(s2.level, 300);
    EXPECT_EQ(s2.threshold, 4);

    client::WhiteBalanceRecord wb{1, {200, 128, 128, 250}, 95, 105};
    ASSERT_EQ(Session().SetWhiteBalance(wb), STATUS_SUCCESS);
    client::WhiteBalanceRecord wb2;
    ASSERT_EQ(Session().GetWhiteBalance(&wb2), STATUS_SUCCESS);
    EXPECT_EQ(wb2.gains, wb.gains);
    EXPECT_EQ(wb2.blueTarget, 105);

    client::ToneTablesRecord tones;
    for (int t = 0; t < 5; ++t) {
        tones.mode[t] = t == 2 ? 255 : 0;
        tones.gamma[t] = 100;
        for (int i = 0; i < 256; ++i) tones.entries[t][i] = static_cast<uint8_t>(i);
    }
    tones.entries[2][0] = 9;
    ASSERT_EQ(Session().SetToneTables(tones), STATUS_SUCCESS);
    client::ToneTablesRecord tones2;
    ASSERT_EQ(Session().GetToneTables(&tones2), STATUS_SUCCESS);
    EXPECT_EQ(tones2.mode[2], 255);
    EXPECT_EQ(tones2.entries[2][0], 9);

    client::ColorCorrectionRecord colour{
        1, -300, 80, 0xFF, {100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 100, 0}};
    ASSERT_EQ(Session().SetColorCorrection(colour), STATUS_SUCCESS);
    client::ColorCorrectionRecord colour2;
    ASSERT_EQ(Session().GetColorCorrection(&colour2), STATUS_SUCCESS);
    EXPECT_EQ(colour2.hue, -300);
    EXPECT_EQ(colour2.matrix, colour.matrix);

    ASSERT_EQ(Session().SetConversion({6, 3}), STATUS_SUCCESS);
    client::ConversionRecord conversion;
    ASSERT_EQ(Session().GetConversion(&conversion), STATUS_SUCCESS);
    EXPECT_EQ(conversion.method, 6);
    EXPECT_EQ(conversion.rotation, 3);
    ASSERT_EQ(Session().SetPreprocessing(2), STATUS_SUCCESS);
    uint32_t mode = 0;
    ASSERT_EQ(Session().GetPreprocessing(&mode), STATUS_SUCCESS);
    EXPECT_EQ(mode, 2u);
    std::vector<uint8_t> info;
    ASSERT_EQ(Session().ReadCameraBlock(137, 64, &info), STATUS_SUCCESS);
    EXPECT_EQ(info[10], Session().Arrangement());
}

TEST_F(VendorPropertiesTest, TheTransportSignalsARegisteredEvent) {
    HANDLE event = platform::EventHandles::Create();
    ASSERT_EQ(Session().RegisterEvent(0, event), STATUS_SUCCESS);
    ASSERT_EQ(Session().OpenStream(640, 480), STATUS_SUCCESS);
    Camera().SetScript({{sim::Piece::Kind::ZeroLength}});
    ASSERT_EQ(Session().SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_FALSE(platform::EventHandles::Signalled(event));
    platform::Runtime::Advance(1000000);
    EXPECT_TRUE(platform::EventHandles::Signalled(event));
    ASSERT_EQ(Session().SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(Session().CloseStream(), STATUS_SUCCESS);
    ASSERT_EQ(Session().Stop(), STATUS_SUCCESS);
    platform::EventHandles::Close(event);
}

TEST_F(VendorPropertiesTest, SnapshotCollectGetSetApply) {
    const USHORT gains[4] = {300, 130, 126, 200};
    SetGains(Device()->m_pWhiteBalance, gains);
    const SHORT matrix[12] = {300, -200, 0, 5, 0, 100, 0, 0, 0, 0, 100, -7};
    SetColorMatrix(Device()->m_pColorCorrection, 0xFF, matrix);
    Device()->m_pAutoExposure->m_byteTarget = 99;
    const uint16_t name[] = {'m', 'y', 0};
    Bytes nameBytes(reinterpret_cast<const uint8_t*>(name),
                    reinterpret_cast<const uint8_t*>(name) + 6);
    ASSERT_EQ(Set(17, nameBytes).status, STATUS_SUCCESS);
    bool logged = false;
    for (const auto& line : platform::DebugLog::Lines())
        logged = logged || line == "HALVEX_SET_SAVE_REG: Set Reg :my\n";
    EXPECT_TRUE(logged);
    const Answer snapshot = Get(181, 1557);
    ASSERT_EQ(snapshot.status, STATUS_SUCCESS);
    const Bytes& s = snapshot.data;
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[19], 0);
    EXPECT_EQ(s[1314], 0);
    EXPECT_EQ(s[2] | s[3] << 8, 300);
    EXPECT_EQ(s[1419 + 9], 99);  // the live exposure target in the exposure block

    // A fresh device gets the same state from the record.
    ReleaseObjects();
    Started();
    ASSERT_EQ(Set(180, s).status, STATUS_SUCCESS);
    EXPECT_EQ(Get(181, 1557).data, s);
    ASSERT_EQ(Set(16, {0}).status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pWhiteBalance->m_awGain[0], 300);
    EXPECT_EQ(Device()->m_pColorCorrection->m_awMatrix[0], 300);  // the full 16 bits survive
    EXPECT_EQ(Device()->m_pColorCorrection->m_awMatrix[1], -200);
    EXPECT_EQ(Device()->m_pAutoExposure->m_byteTarget, 99);
}

TEST_F(VendorPropertiesTest, ApplyingAnAllZeroRecord) {
    Device()->m_Registers[3] = 0x55;
    const uint16_t cameraRegister3 = Camera().Register(3);
    ASSERT_EQ(Set(16, {0}).status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_pWhiteBalance->m_byteBalanceMode, 0);
    EXPECT_EQ(Device()->m_pWhiteBalance->m_awGain[0], 0);
    EXPECT_EQ(Device()->m_pLookupTables->m_abyteMode[0], 0);
    EXPECT_EQ(Device()->m_pColorCorrection->m_byteMatrixMode, 0);
    EXPECT_EQ(Device()->m_byteConversionMethod, 0);
    EXPECT_EQ(Device()->m_pAutoExposure->m_byteTarget, 0);
    EXPECT_EQ(Camera().Register(0), 0);
    EXPECT_EQ(Device()->m_Registers[3], 0);  // register 3 goes to the shadow only
    EXPECT_EQ(Camera().Register(3), cameraRegister3);
}

}  // namespace
}  // namespace halvex::test
