// The vendor property set: raw records of every processing stage, camera blocks and registers
// passed through, application events, and the settings snapshot. Requests come one at a time
// through the adapter busy-queue, at PASSIVE_LEVEL.
#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "camera/property_sets.h"
#include "camera/settings_snapshot.h"
#include "driver/transport.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"

namespace {

// Payload sizes.
constexpr ULONG kSharpnessSize = 5;
constexpr ULONG kToneTablesSize = 1296;
constexpr ULONG kWhiteBalanceSize = 13;
constexpr ULONG kConversionSize = 2;
constexpr ULONG kColorSize = 30;
constexpr ULONG kEventSize = 12;
constexpr ULONG kRegisterImageSize = CAMERA_REGISTER_COUNT * 2;  // 216

// The register each register id selects.
struct RegisterId {
    ULONG first, last;  // id range
    ULONG number;
};
const RegisterId kSetRegisters[] = {
    {22, 22, 0},  {23, 23, 1},  {24, 24, 2},  {25, 25, 4},  {26, 26, 5},  {27, 27, 6},
    {28, 28, 7},  {29, 30, 15}, {31, 31, 20}, {32, 37, 48}, {38, 38, 50}, {39, 39, 52},
    {40, 40, 54}, {41, 41, 56}, {42, 42, 58}, {43, 43, 60}, {44, 48, 80},
};
const RegisterId kGetRegisters[] = {
    {147, 147, 0},  {148, 148, 1},   {149, 149, 2},   {150, 150, 4},  {151, 151, 5},
    {152, 152, 6},  {153, 153, 7},   {154, 155, 15},  {156, 156, 20}, {157, 162, 48},
    {163, 163, 50}, {164, 164, 52},  {165, 165, 54},  {166, 166, 56}, {167, 167, 58},
    {168, 168, 60}, {169, 169, 102}, {170, 177, 104},
};

// The register of a register id, or -1.
LONG RegisterOf(const RegisterId* table, ULONG count, ULONG id) {
    for (ULONG i = 0; i < count; i++) {
        if (id >= table[i].first && id <= table[i].last)
            return static_cast<LONG>(table[i].number);
    }
    return -1;
}

// The request as the handlers see it.
struct Request {
    PHW_STREAM_REQUEST_BLOCK srb;
    DeviceContext* device;
    ULONG id;
    PUCHAR data;
    ULONG length;
};

// Reports the id's size and tells whether the data holds it.
BOOLEAN HasSize(Request& r, ULONG size) {
    r.srb->ActualBytesTransferred = size;
    if (r.length >= size)
        return TRUE;
    r.srb->Status = STATUS_BUFFER_TOO_SMALL;
    return FALSE;
}

BOOLEAN StagesExist(Request& r) {
    DeviceContext* d = r.device;
    if (d->m_pSharpnessFilter != nullptr && d->m_pLookupTables != nullptr &&
        d->m_pWhiteBalance != nullptr && d->m_pAutoExposure != nullptr &&
        d->m_pRawPreprocessor != nullptr && d->m_pGridStatistics != nullptr &&
        d->m_pColorCorrection != nullptr)
        return TRUE;
    r.srb->Status = STATUS_INVALID_PARAMETER;
    return FALSE;
}

// A stage id: the size test, then the stages must exist.
BOOLEAN StageRequest(Request& r, ULONG size) {
    return HasSize(r, size) && StagesExist(r);
}

// Takes a reference on an application's event for slot 0 or 1; a slot registered again releases
// the event it held.
NTSTATUS RegisterEvent(Request& r) {
    ULONG slot = 0;
    ULONGLONG handle = 0;
    RtlCopyMemory(&slot, r.data, sizeof slot);
    RtlCopyMemory(&handle, r.data + 4, sizeof handle);
    if (handle == 0 || slot > 1)
        return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(handle), SYNCHRONIZE, *ExEventObjectType,
                                  r.srb->Irp->RequestorMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PKEVENT* target = slot == 0 ? &r.device->m_pUserEvent0 : &r.device->m_pUserEvent1;
    PVOID previous =
        __atomic_exchange_n(reinterpret_cast<PVOID*>(target), object, __ATOMIC_ACQ_REL);
    if (previous != nullptr)
        ObDereferenceObject(previous);
    return status;
}

// Register 48 through id 32: the capture restarts around the write.
NTSTATUS WriteRegisterWithRestart(Request& r, const USHORT* image) {
    DeviceContext* device = r.device;
    EnterTransportGate(device);
    BOOLEAN restart = FALSE;
    if (InterlockedExchange(&device->m_bTransportRunning, FALSE)) {
        if (device->m_pTransport != nullptr)
            StopTransport(device->m_pTransport, device);
        restart = TRUE;
    }
    const NTSTATUS status = WriteRegister(device, image, 48);
    if (restart) {
        RtlZeroMemory(device->m_pAssemblyBuffer, FRAME_BUFFER_SIZE);
        StartTransport(device);
        WriteLongRelease(&device->m_bTransportRunning, TRUE);
    }
    LeaveTransportGate(device);
    return status;
}

// Sends a block the command protocol has no shadowed writer for (0xF0, 0xF9) and keeps it.
NTSTATUS WritePassThrough(Request& r, UCHAR request, USHORT value, USHORT index, PUCHAR shadow,
                          USHORT size) {
    NTSTATUS status = SendVendorRequest(r.device, VENDOR_REQUEST_WRITE, request, value, index,
                                        r.data, size, nullptr);
    if (NT_SUCCESS(status))
        RtlCopyMemory(shadow, r.data, size);
    return status;
}

VOID HandleSet(Request& r) {
    DeviceContext* device = r.device;
    PUCHAR d = r.data;
    const LONG reg =
        RegisterOf(kSetRegisters, sizeof kSetRegisters / sizeof kSetRegisters[0], r.id);
    if (reg >= 0) {
        if (!HasSize(r, kRegisterImageSize))
            return;
        USHORT image[CAMERA_REGISTER_COUNT];
        RtlCopyMemory(image, d, sizeof image);
        r.srb->Status = r.id == 32 ? WriteRegisterWithRestart(r, image)
                                   : WriteRegister(device, image, static_cast<ULONG>(reg));
        return;
    }
    switch (r.id) {
        case 1:
            if (StageRequest(r, kSharpnessSize))
                SetSharpness(device->m_pSharpnessFilter, d[0], ReadLe16(&d[1]), d[3]);
            break;
        case 2:
            if (StageRequest(r, kToneTablesSize)) {
                for (UCHAR t = 0; t < TONE_TABLE_COUNT; t++) {
                    SetTable(device->m_pLookupTables, t, d[t], ReadLe16(&d[6 + 2 * t]), 80, 20,
                             &d[16 + 256 * t]);
                }
            }
            break;
        case 3:
            if (StageRequest(r, kWhiteBalanceSize)) {
                SetBalanceMode(device->m_pWhiteBalance, d[0]);
                USHORT gains[4];
                for (ULONG c = 0; c < 4; c++) gains[c] = ReadLe16(&d[1 + 2 * c]);
                SetGains(device->m_pWhiteBalance, gains);
                SetBalanceTargets(device->m_pWhiteBalance, ReadLe16(&d[9]), ReadLe16(&d[11]));
            }
            break;
        case 4:
            if (HasSize(r, kConversionSize)) {
                // Each byte is widened with its sign.
                SetConversionMethod(device, d[0]);
                SetRotationMode(device,
                                static_cast<USHORT>(static_cast<SHORT>(static_cast<CHAR>(d[1]))));
            }
            break;
        case 5:
            if (StageRequest(r, kColorSize)) {
                SHORT matrix[12];
                for (ULONG i = 0; i < 12; i++)
                    matrix[i] = static_cast<SHORT>(ReadLe16(&d[6 + 2 * i]));
                SetColorMatrix(device->m_pColorCorrection, d[5], matrix);
                SetHueSaturation(device->m_pColorCorrection, d[0],
                                 static_cast<SHORT>(ReadLe16(&d[1])), ReadLe16(&d[3]));
            }
            break;
        case 6:
            if (HasSize(r, kEventSize))
                r.srb->Status = RegisterEvent(r);
            break;
        case 7:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = WriteCameraSettings(device, d);
            break;
        case 8:
            if (HasSize(r, CAMERA_BLOCK13_SIZE))
                r.srb->Status = WriteBlock13(device, d);
            break;
        case 9:
            r.srb->Status = SendVendorRequest(device, VENDOR_REQUEST_WRITE,
                                              CAMERA_REQUEST_COMMAND20, 0, 0, nullptr, 0, nullptr);
            break;
        case 10:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = WriteExposureBlock(device, d);
            break;
        case 11:
            if (HasSize(r, CAMERA_BLOCK22_SIZE))
                r.srb->Status = WriteBlock22(device, d);
            break;
        case 12:
            r.srb->Status = SendVendorRequest(device, VENDOR_REQUEST_WRITE,
                                              CAMERA_REQUEST_COMMAND30, 0, 0, nullptr, 0, nullptr);
            break;
        case 13:
            HasSize(r, kRegisterImageSize);  // the register image is ignored
            break;
        case 14:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = WritePassThrough(r, CAMERA_REQUEST_BLOCKF0, 0, 0, device->m_BlockF0,
                                                 CAMERA_BLOCK_SIZE);
            break;
        case 15:
            if (HasSize(r, CAMERA_BLOCKF9_SIZE))
                r.srb->Status =
                    WritePassThrough(r, CAMERA_REQUEST_BLOCKF9, CAMERA_BLOCKF9_VALUE,
                                     CAMERA_BLOCKF9_INDEX, device->m_BlockF9, CAMERA_BLOCKF9_SIZE);
            break;
        case 16:
            if (StageRequest(r, 1))
                r.srb->Status = ApplySettings(device);
            break;
        case 17:
            if (StageRequest(r, 2)) {
                // The name is printed only as far as the data goes, whether or not it ends in a
                // NUL.
                WCHAR name[128];
                ULONG characters = r.length / sizeof(WCHAR);
                if (characters > 127)
                    characters = 127;
                RtlCopyMemory(name, d, characters * sizeof(WCHAR));
                name[characters] = 0;
                DbgPrint("HALVEX_SET_SAVE_REG: Set Reg :%ws\n", name);
                r.srb->Status = CollectSettings(device);
            }
            break;
        case 20:
            if (StageRequest(r, 4)) {
                ULONG mode = 0;
                RtlCopyMemory(&mode, d, sizeof mode);
                SetPreprocessorMode(device->m_pRawPreprocessor, mode);
            }
            break;
        case 180:
            if (HasSize(r, SETTINGS_SNAPSHOT_SIZE))
                RtlCopyMemory(device->m_SettingsBlock, d, SETTINGS_SNAPSHOT_SIZE);
            break;
        default:
            r.srb->Status = STATUS_NOT_SUPPORTED;
            break;
    }
}

VOID HandleGet(Request& r) {
    DeviceContext* device = r.device;
    PUCHAR d = r.data;
    const LONG reg =
        RegisterOf(kGetRegisters, sizeof kGetRegisters / sizeof kGetRegisters[0], r.id);
    if (reg >= 0) {
        if (!HasSize(r, kRegisterImageSize))
            return;
        USHORT image[CAMERA_REGISTER_COUNT];
        RtlZeroMemory(image, sizeof image);
        const NTSTATUS status = ReadRegister(device, static_cast<ULONG>(reg), image);
        if (NT_SUCCESS(status))
            RtlCopyMemory(d, image, sizeof image);
        r.srb->Status = status;
        return;
    }
    switch (r.id) {
        case 129:
            if (StageRequest(r, kSharpnessSize)) {
                USHORT level = 0;
                GetSharpness(device->m_pSharpnessFilter, &d[0], &level, &d[3]);
                WriteLe16(&d[1], level);
            }
            break;
        case 130:
            if (StageRequest(r, kToneTablesSize)) {
                for (UCHAR t = 0; t < TONE_TABLE_COUNT; t++) {
                    USHORT gamma = 0;
                    GetTable(device->m_pLookupTables, t, &d[t], &gamma, nullptr, nullptr,
                             &d[16 + 256 * t]);
                    WriteLe16(&d[6 + 2 * t], gamma);
                }
            }
            break;
        case 131:
            if (StageRequest(r, kWhiteBalanceSize)) {
                WhiteBalance* wb = device->m_pWhiteBalance;
                KIRQL irql = KeAcquireSpinLockRaiseToDpc(&wb->m_Lock);
                d[0] = wb->m_byteBalanceMode;
                for (ULONG c = 0; c < 4; c++) WriteLe16(&d[1 + 2 * c], wb->m_awGain[c]);
                WriteLe16(&d[9], wb->m_wRedTarget);
                WriteLe16(&d[11], wb->m_wBlueTarget);
                KeReleaseSpinLock(&wb->m_Lock, irql);
            }
            break;
        case 132:
            if (HasSize(r, kConversionSize)) {
                d[0] = ConversionMethod(device);
                d[1] = static_cast<UCHAR>(RotationMode(device) & 0xFF);
            }
            break;
        case 133:
            if (StageRequest(r, kColorSize)) {
                ColorCorrection* cc = device->m_pColorCorrection;
                KIRQL irql = KeAcquireSpinLockRaiseToDpc(&cc->m_Lock);
                d[0] = cc->m_byteAdjustEnable;
                WriteLe16(&d[1], static_cast<USHORT>(cc->m_wHue));
                WriteLe16(&d[3], cc->m_wSaturation);
                d[5] = cc->m_byteMatrixMode;
                for (ULONG i = 0; i < 12; i++)
                    WriteLe16(&d[6 + 2 * i], static_cast<USHORT>(cc->m_awMatrix[i]));
                KeReleaseSpinLock(&cc->m_Lock, irql);
            }
            break;
        case 134:
            if (HasSize(r, 4)) {
                const ULONG value =
                    __atomic_load_n(&device->m_ulFrameHeaderValue, __ATOMIC_ACQUIRE);
                RtlCopyMemory(d, &value, 4);
            }
            break;
        case 135:
            if (HasSize(r, 16)) {
                const ULONG value = 0x101;
                RtlCopyMemory(d, &value, 4);
            }
            break;
        case 136:
            if (HasSize(r, 4))
                d[0] = 1;
            break;
        case 137:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = ReadCameraInfo(device, d);
            break;
        case 138:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = ReadCameraSettings(device, d);
            break;
        case 139:
            if (HasSize(r, CAMERA_BLOCK13_SIZE))
                r.srb->Status = ReadBlock13(device, d);
            break;
        case 140:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = ReadExposureBlock(device, d);
            break;
        case 141:
            if (HasSize(r, CAMERA_BLOCK22_SIZE))
                r.srb->Status = ReadBlock22(device, d);
            break;
        case 142:
            HasSize(r, kRegisterImageSize);  // zeros
            break;
        case 143:
            if (HasSize(r, CAMERA_BLOCK_SIZE))
                r.srb->Status = ReadBlockF0(device, d);
            break;
        case 144:
            if (HasSize(r, CAMERA_BLOCKF9_SIZE))
                r.srb->Status = ReadBlockF9(device, d);
            break;
        case 146:
            if (StageRequest(r, 4)) {
                const ULONG mode = PreprocessorMode(device->m_pRawPreprocessor);
                RtlCopyMemory(d, &mode, sizeof mode);
            }
            break;
        case 181:
            if (HasSize(r, SETTINGS_SNAPSHOT_SIZE))
                RtlCopyMemory(d, device->m_SettingsBlock, SETTINGS_SNAPSHOT_SIZE);
            break;
        default:
            r.srb->Status = STATUS_NOT_SUPPORTED;
            break;
    }
}

Request MakeRequest(PHW_STREAM_REQUEST_BLOCK srb) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    return {srb, DeviceOf(srb), descriptor->Property->Id,
            static_cast<PUCHAR>(descriptor->PropertyInfo), descriptor->PropertyOutputSize};
}

}  // namespace

VOID SetVendorProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    Request r = MakeRequest(srb);
    if (r.data == nullptr || srb->Irp == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    HandleSet(r);
}

VOID GetVendorProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    Request r = MakeRequest(srb);
    if (r.data == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    RtlZeroMemory(r.data, r.length);
    HandleGet(r);
}

VOID ReleaseUserEvents(DeviceContext* device) {
    PKEVENT* slots[2] = {&device->m_pUserEvent0, &device->m_pUserEvent1};
    for (PKEVENT* slot : slots) {
        PVOID previous =
            __atomic_exchange_n(reinterpret_cast<PVOID*>(slot), nullptr, __ATOMIC_ACQ_REL);
        if (previous != nullptr)
            ObDereferenceObject(previous);
    }
}
