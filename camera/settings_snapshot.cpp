// The settings snapshot. Runs on the property request thread at PASSIVE_LEVEL, one camera command
// after another; the stages are reached through their locked setters and getters.
#include "camera/settings_snapshot.h"

#include "camera/command_protocol.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"

namespace {

// The register groups of the record: four shadow entries from `first`, of which the listed ones
// are read from and written to the camera.
struct RegisterGroup {
    ULONG first;
    ULONG camera[4];
    ULONG cameraCount;
};
const RegisterGroup kRegisterGroups[8] = {
    {0, {0, 1, 2}, 3}, {4, {4, 5, 6, 7}, 4}, {12, {15}, 1},     {20, {20}, 1},
    {48, {48, 50}, 2}, {52, {52, 54}, 2},    {56, {56, 58}, 2}, {60, {60}, 1},
};

PUCHAR AllocateWorkRecord() {
    auto* record = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, SETTINGS_SNAPSHOT_SIZE, TAG_SNAPSHOT));
    if (record != nullptr)
        RtlZeroMemory(record, SETTINGS_SNAPSHOT_SIZE);
    return record;
}

}  // namespace

NTSTATUS CollectSettings(DeviceContext* device) {
    PUCHAR r = AllocateWorkRecord();
    if (r == nullptr)
        return STATUS_SUCCESS;

    WhiteBalance* wb = device->m_pWhiteBalance;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&wb->m_Lock);
    r[SNAPSHOT_WB_MODE] = wb->m_byteBalanceMode;
    for (ULONG c = 0; c < 4; c++) WriteLe16(&r[SNAPSHOT_WB_GAINS + 2 * c], wb->m_awGain[c]);
    WriteLe16(&r[SNAPSHOT_WB_TARGETS], wb->m_wRedTarget);
    WriteLe16(&r[SNAPSHOT_WB_TARGETS + 2], wb->m_wBlueTarget);
    KeReleaseSpinLock(&wb->m_Lock, irql);

    for (UCHAR t = 0; t < TONE_TABLE_COUNT; t++) {
        USHORT gamma = 0;
        GetTable(device->m_pLookupTables, t, &r[SNAPSHOT_TONE_MODES + t], &gamma, nullptr, nullptr,
                 &r[SNAPSHOT_TONE_ENTRIES + 256 * t]);
        WriteLe16(&r[SNAPSHOT_TONE_GAMMAS + 2 * t], gamma);
    }

    USHORT level = 0;
    GetSharpness(device->m_pSharpnessFilter, &r[SNAPSHOT_SHARPNESS], &level,
                 &r[SNAPSHOT_SHARPNESS + 3]);
    WriteLe16(&r[SNAPSHOT_SHARPNESS + 1], level);

    ColorCorrection* cc = device->m_pColorCorrection;
    irql = KeAcquireSpinLockRaiseToDpc(&cc->m_Lock);
    r[SNAPSHOT_COLOR_MATRIX] = cc->m_byteMatrixMode;
    // Each coefficient keeps its full 16 bits, so that a saved matrix is restored as it was.
    for (ULONG i = 0; i < 12; i++)
        WriteLe16(&r[SNAPSHOT_COLOR_MATRIX + 1 + 2 * i], static_cast<USHORT>(cc->m_awMatrix[i]));
    r[SNAPSHOT_COLOR_ADJUST] = cc->m_byteAdjustEnable;
    WriteLe16(&r[SNAPSHOT_COLOR_ADJUST + 1], static_cast<USHORT>(cc->m_wHue));
    WriteLe16(&r[SNAPSHOT_COLOR_ADJUST + 3], cc->m_wSaturation);
    KeReleaseSpinLock(&cc->m_Lock, irql);

    WriteLe16(&r[SNAPSHOT_CONVERSION], ConversionMethod(device));
    WriteLe16(&r[SNAPSHOT_ROTATION], RotationMode(device));

    // Failed reads leave their slices zero.
    ReadCameraSettings(device, &r[SNAPSHOT_CAMERA_SETTINGS]);
    ReadBlock13(device, &r[SNAPSHOT_BLOCK13]);
    ReadExposureBlock(device, &r[SNAPSHOT_EXPOSURE]);
    ReadBlock22(device, &r[SNAPSHOT_BLOCK22]);

    for (ULONG g = 0; g < 8; g++) {
        const RegisterGroup& group = kRegisterGroups[g];
        for (ULONG i = 0; i < group.cameraCount; i++)
            ReadRegister(device, group.camera[i], nullptr);
        for (ULONG k = 0; k < 4; k++)
            WriteLe16(&r[SNAPSHOT_REGISTERS + 8 * g + 2 * k], device->m_Registers[group.first + k]);
    }

    RtlCopyMemory(device->m_SettingsBlock, r, SETTINGS_SNAPSHOT_SIZE);
    ExFreePoolWithTag(r, TAG_SNAPSHOT);
    return STATUS_SUCCESS;
}

NTSTATUS ApplySettings(DeviceContext* device) {
    PUCHAR r = AllocateWorkRecord();
    if (r == nullptr)
        return STATUS_SUCCESS;
    RtlCopyMemory(r, device->m_SettingsBlock, SETTINGS_SNAPSHOT_SIZE);

    WhiteBalance* wb = device->m_pWhiteBalance;
    SetBalanceMode(wb, r[SNAPSHOT_WB_MODE]);
    USHORT gains[4];
    for (ULONG c = 0; c < 4; c++) gains[c] = ReadLe16(&r[SNAPSHOT_WB_GAINS + 2 * c]);
    SetGains(wb, gains);
    SetBalanceTargets(wb, ReadLe16(&r[SNAPSHOT_WB_TARGETS]), ReadLe16(&r[SNAPSHOT_WB_TARGETS + 2]));

    for (UCHAR t = 0; t < TONE_TABLE_COUNT; t++) {
        SetTable(device->m_pLookupTables, t, r[SNAPSHOT_TONE_MODES + t],
                 ReadLe16(&r[SNAPSHOT_TONE_GAMMAS + 2 * t]), 0, 0,
                 &r[SNAPSHOT_TONE_ENTRIES + 256 * t]);
    }

    SetSharpness(device->m_pSharpnessFilter, r[SNAPSHOT_SHARPNESS],
                 ReadLe16(&r[SNAPSHOT_SHARPNESS + 1]), r[SNAPSHOT_SHARPNESS + 3]);

    SHORT matrix[12];
    for (ULONG i = 0; i < 12; i++)
        matrix[i] = static_cast<SHORT>(ReadLe16(&r[SNAPSHOT_COLOR_MATRIX + 1 + 2 * i]));
    SetColorMatrix(device->m_pColorCorrection, r[SNAPSHOT_COLOR_MATRIX], matrix);
    SetHueSaturation(device->m_pColorCorrection, r[SNAPSHOT_COLOR_ADJUST],
                     static_cast<SHORT>(ReadLe16(&r[SNAPSHOT_COLOR_ADJUST + 1])),
                     ReadLe16(&r[SNAPSHOT_COLOR_ADJUST + 3]));

    SetConversionMethod(device, static_cast<UCHAR>(ReadLe16(&r[SNAPSHOT_CONVERSION])));
    SetRotationMode(device, ReadLe16(&r[SNAPSHOT_ROTATION]));

    WriteCameraSettings(device, &r[SNAPSHOT_CAMERA_SETTINGS]);
    WriteBlock13(device, &r[SNAPSHOT_BLOCK13]);
    WriteExposureBlock(device, &r[SNAPSHOT_EXPOSURE]);
    WriteBlock22(device, &r[SNAPSHOT_BLOCK22]);

    for (ULONG g = 0; g < 8; g++) {
        const RegisterGroup& group = kRegisterGroups[g];
        for (ULONG k = 0; k < 4; k++)
            device->m_Registers[group.first + k] = ReadLe16(&r[SNAPSHOT_REGISTERS + 8 * g + 2 * k]);
        for (ULONG i = 0; i < group.cameraCount; i++)
            WriteRegister(device, device->m_Registers, group.camera[i]);
    }
    ExFreePoolWithTag(r, TAG_SNAPSHOT);
    return STATUS_SUCCESS;
}
