// The processing stage sequence: which stages run at the pipeline's two stage points, in which
// order and under which conditions. Runs on the delivery work item.
#include "imaging/stage_sequence.h"

#include "camera/auto_exposure.h"
#include "camera/command_protocol.h"
#include "imaging/color_correction.h"
#include "imaging/grid_statistics.h"
#include "imaging/lookup_tables.h"
#include "imaging/raw_preprocessor.h"
#include "imaging/sharpness_filter.h"
#include "imaging/white_balance.h"

namespace {

// Whether the automatic balance samples this frame; otherwise a running countdown moves on.
BOOLEAN BalanceDue(WhiteBalance* balance) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    const BOOLEAN due = balance->m_wArrangement != 1 &&
                        balance->m_byteBalanceMode > WB_MODE_FIXED && balance->m_byteCountdown == 0;
    if (!due && balance->m_byteCountdown != 0)
        balance->m_byteCountdown--;
    KeReleaseSpinLock(&balance->m_Lock, irql);
    return due;
}

// After the statistics: samples the frame unless the mode or countdown changed meanwhile.
VOID RunAutomaticBalance(WhiteBalance* balance, GridStatistics* statistics) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&balance->m_Lock);
    BOOLEAN sample = FALSE;
    if (balance->m_byteBalanceMode > WB_MODE_FIXED) {
        if (balance->m_byteCountdown != 0)
            balance->m_byteCountdown--;
        else
            sample = TRUE;
    }
    KeReleaseSpinLock(&balance->m_Lock, irql);
    if (!sample)
        return;
    UCHAR averages[4] = {0, 0, 0, 0};
    GetBrightnessAverage(statistics, balance->m_abyteZoneWeight, averages);
    UpdateWhiteBalance(balance, averages);
}

}  // namespace

VOID RunRawStages(DeviceContext* device, ULONG width, ULONG height, USHORT arrangement,
                  PUCHAR raw) {
    WhiteBalance* balance = device->m_pWhiteBalance;
    AutoExposure* exposure = device->m_pAutoExposure;
    GridStatistics* statistics = device->m_pGridStatistics;
    if (balance == nullptr || exposure == nullptr || statistics == nullptr ||
        device->m_pRawPreprocessor == nullptr || device->m_pLookupTables == nullptr)
        return;  // not started

    const BOOLEAN balanceDue = BalanceDue(balance);
    const BOOLEAN exposureDue = ExposureStepDue(exposure);

    RawPreprocessor* pre = device->m_pRawPreprocessor;
    switch (PreprocessorMode(pre)) {
        case PREPROCESS_CLIP_DEFECTS:
            CorrectDefects(pre, width, height, arrangement, raw);
            break;
        case PREPROCESS_SUBTRACT_REFERENCE:
            SubtractReference(pre, width, height, arrangement, raw);
            break;
        case PREPROCESS_CAPTURE_REFERENCE:
            CaptureReference(pre, width, height, arrangement, raw);
            break;
        default:
            break;
    }
    if (GetBalanceMode(balance) != WB_MODE_OFF && arrangement != 1)
        ApplyWhiteBalance(balance, width, height, arrangement, raw);
    MeasureZones(statistics, width, height, arrangement, raw);
    if (exposureDue)
        UpdateGainShutter(exposure, statistics);
    if (balanceDue)
        RunAutomaticBalance(balance, statistics);
    if (arrangement != 1)
        ApplyRawTables(device->m_pLookupTables, width, height, arrangement, raw);
}

VOID RunOutputStages(DeviceContext* device, ULONG width, ULONG height, ULONG format, ULONG pixels,
                     PUCHAR image) {
    LookupTables* tables = device->m_pLookupTables;
    if (tables == nullptr || device->m_pSharpnessFilter == nullptr ||
        device->m_pColorCorrection == nullptr)
        return;  // not started
    if (TakeLuminanceTable(tables)) {
        if (format == OUTPUT_FORMAT_GREY) {
            const UCHAR* table = tables->m_abyteFrameTable[0];
            for (ULONG i = 0; i < pixels; i++) image[i] = table[image[i]];
        } else {
            ApplyLuminanceCurve(tables, pixels, 3, image);
        }
    }
    SharpenFrame(device->m_pSharpnessFilter, width, height, format, image);
    if (ReadShadow16(device, device->m_CameraInfo, CAMERA_INFO_ARRANGEMENT) != 1)
        ApplyColorCorrection(device->m_pColorCorrection, width, height, format, image);
}
