#include "driver/processing_objects.h"

#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "imaging/color_correction.h"
#include "imaging/grid_statistics.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"

namespace {

// Start gains of the white balance, units of 1/128: red, green, green, blue.
const USHORT kStartGains[4] = {256, 128, 128, 218};

}  // namespace

NTSTATUS CreateProcessingObjects(DeviceContext* device) {
    SharpnessFilter* sharpness = AllocateProcessingRecord<SharpnessFilter>();
    if (sharpness == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    InitSharpnessFilter(sharpness);
    device->m_pSharpnessFilter = sharpness;

    LookupTables* tables = AllocateProcessingRecord<LookupTables>();
    if (tables == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    InitLookupTables(tables);
    device->m_pLookupTables = tables;

    WhiteBalance* balance = AllocateProcessingRecord<WhiteBalance>();
    if (balance == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    balance->m_wArrangement = ReadLe16(&device->m_CameraInfo[CAMERA_INFO_ARRANGEMENT]);
    for (ULONG c = 0; c < 4; c++) balance->m_awStartGain[c] = kStartGains[c];
    InitWhiteBalance(balance);
    device->m_pWhiteBalance = balance;

    AutoExposure* exposure = AllocateProcessingRecord<AutoExposure>();
    if (exposure == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    exposure->m_wDefaultGain = ReadLe16(&device->m_CameraSettings[CAMERA_SETTINGS_DEFAULT_GAIN]);
    ResetAutoExposure(exposure);
    exposure->m_pDevice = device;
    device->m_pAutoExposure = exposure;
    ReadCameraSettings(device, nullptr);  // the result of this second read is not tested

    RawPreprocessor* preprocessor = AllocateProcessingRecord<RawPreprocessor>();
    if (preprocessor == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    device->m_pRawPreprocessor = preprocessor;

    GridStatistics* statistics = AllocateProcessingRecord<GridStatistics>();
    if (statistics == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    InitGridStatistics(statistics);
    device->m_pGridStatistics = statistics;

    ColorCorrection* correction = AllocateProcessingRecord<ColorCorrection>();
    if (correction == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    InitColorCorrection(correction);
    device->m_pColorCorrection = correction;
    return STATUS_SUCCESS;
}

VOID ReleaseProcessingObjects(DeviceContext* device) {
    if (device->m_pSharpnessFilter != nullptr) {
        FreeProcessingRecord(device->m_pSharpnessFilter);
        device->m_pSharpnessFilter = nullptr;
    }
    if (device->m_pLookupTables != nullptr) {
        FreeProcessingRecord(device->m_pLookupTables);
        device->m_pLookupTables = nullptr;
    }
    if (device->m_pWhiteBalance != nullptr) {
        delete device->m_pWhiteBalance;
        device->m_pWhiteBalance = nullptr;
    }
    if (device->m_pAutoExposure != nullptr) {
        FreeProcessingRecord(device->m_pAutoExposure);
        device->m_pAutoExposure = nullptr;
    }
    if (device->m_pRawPreprocessor != nullptr) {
        delete device->m_pRawPreprocessor;  // with its reference frame
        device->m_pRawPreprocessor = nullptr;
    }
    if (device->m_pGridStatistics != nullptr) {
        delete device->m_pGridStatistics;
        device->m_pGridStatistics = nullptr;
    }
    if (device->m_pColorCorrection != nullptr) {
        FreeProcessingRecord(device->m_pColorCorrection);
        device->m_pColorCorrection = nullptr;
    }
}
