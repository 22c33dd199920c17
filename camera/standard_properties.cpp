// The standard video property sets: proc-amp get and set (a mapping onto the processing stages
// and the automatic exposure), video control get and video decoder get. Property requests run
// one at a time through the adapter busy-queue, at PASSIVE_LEVEL.
#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "camera/property_sets.h"
#include "imaging/color_correction.h"
#include "imaging/lookup_tables.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"

namespace {

constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

// Scales between proc-amp values and the stages' own units.
constexpr LONG kBrightnessStep = 40;
constexpr LONG kContrastStep = 80;
constexpr LONG kHueStep = 100;
constexpr LONG kSaturationStep = 50;
constexpr LONG kSharpnessScale = 5;

// The request record (at least `size` bytes of input) and the data buffer that receives the
// answer or carries the set's record. Null, with the status set, when either is too small; a short
// data buffer is told the size it needs.
PVOID RequestData(PHW_STREAM_REQUEST_BLOCK srb, ULONG size) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (descriptor->PropertyInputSize < size) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    if (descriptor->PropertyInfo == nullptr || descriptor->PropertyOutputSize < size) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
        srb->ActualBytesTransferred = size;
        return nullptr;
    }
    return descriptor->PropertyInfo;
}

// Copies the request record into the data buffer (they may be the same memory); returns it.
template <class T>
T* AnswerRecord(PHW_STREAM_REQUEST_BLOCK srb) {
    auto* data = static_cast<T*>(RequestData(srb, sizeof(T)));
    if (data != nullptr) {
        RtlMoveMemory(data, srb->CommandData.PropertyInfo->Property, sizeof(T));
        srb->ActualBytesTransferred = sizeof(T);
    }
    return data;
}

// The proc-amp maps onto the processing objects, which exist only while the device is started.
BOOLEAN StagesReady(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    if (device->m_pLookupTables != nullptr && device->m_pColorCorrection != nullptr &&
        device->m_pSharpnessFilter != nullptr && device->m_pWhiteBalance != nullptr &&
        device->m_pAutoExposure != nullptr)
        return TRUE;
    srb->Status = STATUS_INVALID_DEVICE_STATE;
    return FALSE;
}

ULONG PropertyId(PHW_STREAM_REQUEST_BLOCK srb) {
    return srb->CommandData.PropertyInfo->Property->Id;
}

// Brightness, contrast and gamma all rebuild table 0 of the tone tables.
VOID SetToneProperty(DeviceContext* device, ULONG id, LONG value, ULONG flags) {
    LookupTables* tables = device->m_pLookupTables;
    UCHAR mode = 0;
    USHORT gamma = 100;
    SHORT brightness = 0;
    UCHAR contrast = 0;
    UCHAR entries[256];
    GetTable(tables, 0, &mode, &gamma, &brightness, &contrast, entries);
    const BOOLEAN automatic = flags == kAuto;
    const BOOLEAN manual = flags == kManual;
    BOOLEAN enable;
    switch (id) {
        case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: {
            device->m_dwBrightnessFlags = flags;
            SHORT newBrightness = automatic ? 0 : static_cast<SHORT>(value & 0xFFFF);
            if (gamma == 0)
                gamma = 1;
            enable = newBrightness != 0 || contrast != 0 || gamma != 100 || manual;
            if (value == -1) {
                enable = FALSE;
                newBrightness = 0;
            }
            brightness = static_cast<SHORT>(newBrightness / kBrightnessStep);
            break;
        }
        case KSPROPERTY_VIDEOPROCAMP_CONTRAST: {
            device->m_dwContrastFlags = flags;
            const LONG newContrast = automatic ? 0 : value;
            if (gamma == 0)
                gamma = 1;
            enable = brightness != 0 || contrast != 0 || gamma != 100 || manual;
            if (value == -1)
                enable = FALSE;
            contrast = static_cast<UCHAR>(newContrast / kContrastStep);
            break;
        }
        default: {  // gamma
            device->m_dwGammaFlags = flags;
            USHORT newGamma = automatic ? 100 : static_cast<USHORT>(value & 0xFFFF);
            if (newGamma == 0)
                newGamma = 1;
            enable = brightness != 0 || contrast != 0 || newGamma != 100 || manual;
            if (value == -1) {
                enable = FALSE;
                newGamma = 100;
            }
            gamma = newGamma;
            break;
        }
    }
    BuildToneCurve(gamma, brightness, contrast, entries);
    SetTable(tables, 0, enable ? 1 : 0, gamma, brightness, contrast, entries);
}

// The gain property: the new value goes to the camera in the exposure block, and the automatic
// mode follows the request's flags.
VOID SetGainProperty(DeviceContext* device, LONG value, ULONG flags) {
    AutoExposure* exposure = device->m_pAutoExposure;
    UCHAR block[CAMERA_BLOCK_SIZE];
    RtlZeroMemory(block, sizeof block);
    ReadExposureBlock(device, block);  // carries the live automatic fields when it succeeds
    USHORT gain = 0;
    UCHAR mode = 0;
    GetGainAndMode(exposure, &gain, &mode);
    const BOOLEAN automatic = flags == kAuto;
    UCHAR newMode = mode;
    switch (mode) {
        case 0:
        case 3:
            newMode = automatic ? 3 : 0;
            break;
        case 1:
        case 2:
            newMode = automatic ? 1 : 2;
            break;
        default:
            break;  // the one-shot modes (and any other) stay
    }
    WriteLe16(&block[6], static_cast<USHORT>(value));
    WriteExposureBlock(device, block);  // also loads the block, with the old mode, into the record
    SetGainAndMode(exposure, static_cast<USHORT>(value), newMode);
}

}  // namespace

VOID GetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    if (!StagesReady(srb))
        return;
    const ULONG id = PropertyId(srb);
    switch (id) {
        case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
        case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
        case KSPROPERTY_VIDEOPROCAMP_HUE:
        case KSPROPERTY_VIDEOPROCAMP_SATURATION:
        case KSPROPERTY_VIDEOPROCAMP_SHARPNESS:
        case KSPROPERTY_VIDEOPROCAMP_GAMMA:
        case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
        case KSPROPERTY_VIDEOPROCAMP_GAIN:
            break;
        default:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            return;
    }
    auto* record = AnswerRecord<KSPROPERTY_VIDEOPROCAMP_S>(srb);
    if (record == nullptr)
        return;
    UCHAR mode = 0;
    USHORT gamma = 100;
    SHORT brightness = 0;
    UCHAR contrast = 0;
    GetTable(device->m_pLookupTables, 0, &mode, &gamma, &brightness, &contrast, nullptr);
    UCHAR adjust = 0;
    SHORT hue = 0;
    USHORT saturation = 100;
    GetHueSaturation(device->m_pColorCorrection, &adjust, &hue, &saturation);
    LONG value = 0;
    ULONG flags = kManual;
    switch (id) {
        case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
            flags = mode == 0 ? kAuto : device->m_dwBrightnessFlags;
            if (mode != 0 && brightness != 0) {
                value = brightness * kBrightnessStep;
                flags = kManual;
            }
            break;
        case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
            flags = mode == 0 ? kAuto : device->m_dwContrastFlags;
            if (mode != 0 && contrast != 0) {
                value = contrast * kContrastStep;
                flags = kManual;
            }
            break;
        case KSPROPERTY_VIDEOPROCAMP_HUE:
            flags = adjust == 0 ? kAuto : kManual;
            value = adjust == 0 ? 0 : hue * kHueStep;
            break;
        case KSPROPERTY_VIDEOPROCAMP_SATURATION:
            flags = adjust == 0 ? kAuto : kManual;
            value = adjust == 0 ? 5000 : saturation * kSaturationStep;
            break;
        case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: {
            UCHAR enable = 0, threshold = 0;
            USHORT level = 0;
            GetSharpness(device->m_pSharpnessFilter, &enable, &level, &threshold);
            flags = enable == 0 ? kAuto : kManual;
            value = enable == 0 ? 0 : level / kSharpnessScale;
            break;
        }
        case KSPROPERTY_VIDEOPROCAMP_GAMMA:
            flags = mode == 0 ? kAuto : device->m_dwGammaFlags;
            value = 100;
            if (mode != 0 && gamma != 100) {
                value = gamma;
                flags = kManual;
            }
            break;
        case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
            value = 0;
            flags = GetBalanceMode(device->m_pWhiteBalance) == WB_MODE_CONTINUOUS ? kAuto : kManual;
            break;
        default: {  // gain
            USHORT gain = 0;
            UCHAR exposureMode = 0;
            GetGainAndMode(device->m_pAutoExposure, &gain, &exposureMode);
            value = gain;
            flags = exposureMode == 1 || exposureMode == 3 ? kAuto : kManual;
            break;
        }
    }
    record->Value = value;
    record->Flags = flags;
}

VOID SetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    if (!StagesReady(srb))
        return;
    const ULONG id = PropertyId(srb);
    auto* record = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(
        RequestData(srb, sizeof(KSPROPERTY_VIDEOPROCAMP_S)));
    if (record == nullptr)
        return;
    const LONG value = record->Value;
    const ULONG flags = record->Flags;
    const BOOLEAN enable = flags != kAuto;
    switch (id) {
        case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
        case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
        case KSPROPERTY_VIDEOPROCAMP_GAMMA:
            SetToneProperty(device, id, value, flags);
            break;
        case KSPROPERTY_VIDEOPROCAMP_HUE: {
            if (value < -180000 || value > 180000) {
                srb->Status = STATUS_INVALID_PARAMETER;
                return;
            }
            UCHAR adjust = 0;
            SHORT hue = 0;
            USHORT saturation = 100;
            GetHueSaturation(device->m_pColorCorrection, &adjust, &hue, &saturation);
            const BOOLEAN off = value == -1;
            SetHueSaturation(device->m_pColorCorrection, enable && !off ? 1 : 0,
                             off ? 0 : static_cast<SHORT>(value / kHueStep), saturation);
            break;
        }
        case KSPROPERTY_VIDEOPROCAMP_SATURATION: {
            if (value < 0 || value > 10000) {
                srb->Status = STATUS_INVALID_PARAMETER;
                return;
            }
            UCHAR adjust = 0;
            SHORT hue = 0;
            USHORT saturation = 100;
            GetHueSaturation(device->m_pColorCorrection, &adjust, &hue, &saturation);
            SetHueSaturation(device->m_pColorCorrection, enable ? 1 : 0, hue,
                             static_cast<USHORT>(value / kSaturationStep));
            break;
        }
        case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: {
            if (value != -1 && (value < 0 || value > 100)) {
                srb->Status = STATUS_INVALID_PARAMETER;
                return;
            }
            UCHAR current = 0, threshold = 0;
            USHORT level = 0;
            GetSharpness(device->m_pSharpnessFilter, &current, &level, &threshold);
            const BOOLEAN off = value == -1;
            SetSharpness(device->m_pSharpnessFilter, enable && !off ? 1 : 0,
                         off ? 0 : static_cast<USHORT>(value * kSharpnessScale), threshold);
            break;
        }
        case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
            if (value != 0 && value != -1) {
                srb->Status = STATUS_INVALID_PARAMETER;
                return;
            }
            SetBalanceMode(device->m_pWhiteBalance,
                           value == -1 || flags == kAuto ? WB_MODE_CONTINUOUS : WB_MODE_FIXED);
            break;
        case KSPROPERTY_VIDEOPROCAMP_GAIN:
            if (value < 0 || value > 255) {
                srb->Status = STATUS_INVALID_PARAMETER;
                return;
            }
            SetGainProperty(device, value, flags);
            break;
        default:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
    }
}

VOID GetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    const ULONG id = PropertyId(srb);
    // Every request record starts with the KSPROPERTY and the stream index.
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (descriptor->PropertyInputSize < sizeof(KSPROPERTY) + sizeof(ULONG)) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    const ULONG streamIndex =
        reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_CAPS_S*>(descriptor->Property)->StreamIndex;
    if (streamIndex >= HALVEX_MAX_STREAMS) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    switch (id) {
        case KSPROPERTY_VIDEOCONTROL_CAPS: {
            auto* record = AnswerRecord<KSPROPERTY_VIDEOCONTROL_CAPS_S>(srb);
            if (record != nullptr)
                record->VideoControlCaps = 0;
            break;
        }
        case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
            auto* record = AnswerRecord<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>(srb);
            if (record != nullptr) {
                record->CurrentActualFrameRate = 15;
                record->CurrentMaxAvailableFrameRate = 15;
            }
            break;
        }
        case KSPROPERTY_VIDEOCONTROL_FRAME_RATES:
            break;  // no data
        case KSPROPERTY_VIDEOCONTROL_MODE: {
            auto* record = AnswerRecord<KSPROPERTY_VIDEOCONTROL_MODE_S>(srb);
            if (record != nullptr) {
                StreamContext* stream = StreamInSlot(device, streamIndex);
                record->Mode = stream != nullptr ? stream->m_lVideoControlMode
                                                 : device->m_lDefaultVideoControlMode;
            }
            break;
        }
        default:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
    }
}

VOID GetVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    switch (PropertyId(srb)) {
        case KSPROPERTY_VIDEODECODER_CAPS: {
            auto* record = AnswerRecord<KSPROPERTY_VIDEODECODER_CAPS_S>(srb);
            if (record != nullptr) {
                record->StandardsSupported = 0x631;
                record->Capabilities = 7;
                record->SettlingTime = 10;
                record->HSyncPerVSync = 6;
            }
            break;
        }
        case KSPROPERTY_VIDEODECODER_STANDARD:
        case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE:
        case KSPROPERTY_VIDEODECODER_VCR_TIMING: {
            auto* record = AnswerRecord<KSPROPERTY_VIDEODECODER_S>(srb);
            if (record != nullptr) {
                const ULONG id = PropertyId(srb);
                record->Value = id == KSPROPERTY_VIDEODECODER_STANDARD
                                    ? device->m_ulVideoDecoderStandard
                                : id == KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE
                                    ? device->m_ulVideoDecoderOutputEnable
                                    : device->m_ulVideoDecoderVcrTiming;
            }
            break;
        }
        case KSPROPERTY_VIDEODECODER_STATUS: {
            auto* record = AnswerRecord<KSPROPERTY_VIDEODECODER_STATUS_S>(srb);
            if (record != nullptr) {
                record->NumberOfLines = (device->m_ulVideoDecoderStandard & 7) != 0 ? 525 : 625;
                record->SignalLocked = 0;
            }
            break;
        }
        default:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
    }
}
