// Automatic gain and shutter. The step runs on the delivery work item; its arithmetic is done
// with the record's lock held, and the camera is written after the lock is released.
#include "camera/auto_exposure.h"

#include <math.h>

#include "camera/command_protocol.h"

namespace {

// Exposure block byte positions.
#define EXPOSURE_SHUTTER_LINES 2
#define EXPOSURE_SHUTTER_CLOCKS 4
#define EXPOSURE_GAIN 6
#define EXPOSURE_MODE 8
#define EXPOSURE_TARGET 9
#define EXPOSURE_TOLERANCE 10
#define EXPOSURE_START_MARGIN 11
#define EXPOSURE_ZONE_WEIGHTS 12
#define EXPOSURE_GAIN_MIN 28
#define EXPOSURE_GAIN_MAX 30
#define EXPOSURE_LINES_MIN 32
#define EXPOSURE_LINES_MAX 34
#define EXPOSURE_CLOCKS_MIN 36
#define EXPOSURE_CLOCKS_MAX 38

// The time base from the camera settings shadow: clock units per line and lines per frame.
struct TimeBase {
    ULONG lines;   // H
    ULONG clocks;  // L
    ULONG Frame() const { return lines * clocks; }
    // A pair that gives 0 means a full frame.
    ULONG Exposure(USHORT l, USHORT c) const {
        const ULONG e = l * clocks + c;
        return e == 0 ? Frame() : e;
    }
    // A camera that reports 0 for either has no usable time base: the shutter is left alone.
    BOOLEAN Usable() const { return lines != 0 && clocks != 0; }
};

TimeBase TimeBaseOf(AutoExposure* exposure) {
    DeviceContext* device = exposure->m_pDevice;
    return {ReadShadow16(device, device->m_CameraSettings, CAMERA_SETTINGS_LINES_PER_FRAME),
            ReadShadow16(device, device->m_CameraSettings, CAMERA_SETTINGS_CLOCKS_PER_LINE)};
}

BOOLEAN IsCombinedMode(UCHAR mode) {
    return mode == 1 || mode == 4;
}
BOOLEAN ControlsGainLimits(UCHAR mode) {
    return mode == 1 || mode == 3 || mode == 4 || mode == 6;
}
BOOLEAN ControlsShutterLimits(UCHAR mode) {
    return mode == 1 || mode == 2 || mode == 4 || mode == 5;
}

VOID StoreShutter(AutoExposure* exposure, const TimeBase& base, ULONG exposureTime) {
    exposure->m_wShutterLines = static_cast<USHORT>(exposureTime / base.clocks);
    exposure->m_wShutterClocks = static_cast<USHORT>(exposureTime % base.clocks);
}

// Brightness of the frame from the weighted zone averages; false when the measurement failed.
BOOLEAN MeasureBrightness(AutoExposure* exposure, GridStatistics* statistics, ULONG* brightness) {
    // Cleared first: an arrangement without a channel order leaves them as they are.
    UCHAR averages[4] = {0, 0, 0, 0};
    if (!GetBrightnessAverage(statistics, exposure->m_abyteZoneWeight, averages))
        return FALSE;
    if (statistics->m_wLayoutArrangement == 1) {
        *brightness = averages[0];
        return TRUE;
    }
    const ULONG greens = (static_cast<ULONG>(averages[1]) + averages[2]) >> 1;
    const double y = 0.5866 * greens + 0.2989 * averages[0] + 0.1145 * averages[3];
    *brightness = static_cast<ULONG>(y);
    return TRUE;
}

}  // namespace

double GainFactor(USHORT code) {
    return pow(10.0, (0.132 * code - 2.36) / 20.0);
}

USHORT GainCode(double factor) {
    const double code = (20.0 * log10(factor) + 2.36) / 0.132;
    if (!(code > 0.0))
        return 0;  // also a factor of 0 or a value that is not a number
    if (code >= 65535.0)
        return 65535;
    return static_cast<USHORT>(code);
}

VOID ResetAutoExposure(AutoExposure* exposure) {
    KeInitializeSpinLock(&exposure->m_Lock);
    exposure->m_wGain = exposure->m_wDefaultGain;
    exposure->m_wGainMin = exposure->m_wDefaultGain;
    exposure->m_wShutterLines = 0;
    exposure->m_wShutterClocks = 0;
    exposure->m_byteMode = AE_MODE_OFF;
    exposure->m_byteTarget = 128;
    exposure->m_byteTolerance = 5;
    exposure->m_byteStartMargin = 5;
    exposure->m_byteGainStep = 0;
    exposure->m_byteShutterStep = 0;
    exposure->m_byteSkipFrames = 3;
    exposure->m_byteFrameCount = 4;
    exposure->m_wShutterLinesMax = 0;
    exposure->m_wShutterClocksMax = 0;
    exposure->m_wShutterLinesMin = 0;
    exposure->m_wShutterClocksMin = 1;
    exposure->m_wGainMax = 255;
    for (ULONG z = 0; z < 16; z++) exposure->m_abyteZoneWeight[z] = 1;
    exposure->m_bAutoRunning = 0;
    exposure->m_byteSkipCount = 0;
    exposure->m_byteSamplingCount = 0;
    exposure->m_dwBrightnessSum = 0;
}

BOOLEAN ExposureStepDue(AutoExposure* exposure) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    const BOOLEAN due = exposure->m_byteMode != AE_MODE_OFF && exposure->m_byteSkipCount == 0;
    if (!due && exposure->m_byteSkipCount != 0)
        exposure->m_byteSkipCount--;
    KeReleaseSpinLock(&exposure->m_Lock, irql);
    return due;
}

BOOLEAN EnforceLimits(AutoExposure* exposure) {
    BOOLEAN changed = FALSE;
    const UCHAR mode = exposure->m_byteMode;
    if (ControlsGainLimits(mode)) {
        if (exposure->m_wGain < exposure->m_wGainMin) {
            exposure->m_wGain = exposure->m_wGainMin;
            changed = TRUE;
        } else if (exposure->m_wGain > exposure->m_wGainMax) {
            exposure->m_wGain = exposure->m_wGainMax;
            changed = TRUE;
        }
    }
    const TimeBase base = TimeBaseOf(exposure);
    if (!base.Usable())
        return changed;
    const ULONG emin = base.Exposure(exposure->m_wShutterLinesMin, exposure->m_wShutterClocksMin);
    const ULONG emax = base.Exposure(exposure->m_wShutterLinesMax, exposure->m_wShutterClocksMax);
    const ULONG e = base.Exposure(exposure->m_wShutterLines, exposure->m_wShutterClocks);
    ULONG r = e;
    if (ControlsShutterLimits(mode)) {
        if (emax < e)
            r = emax;
        if (e < emin)
            r = emin;
        if (r != e) {
            StoreShutter(exposure, base, r);
            changed = TRUE;
        }
    }
    if (IsCombinedMode(mode) && r != emax && exposure->m_wGain != exposure->m_wGainMin) {
        exposure->m_wGain = exposure->m_wGainMin;
        changed = TRUE;
    }
    return changed;
}

BOOLEAN mbShutterCtrl(AutoExposure* exposure, ULONG average, ULONG target, BOOLEAN darker) {
    const TimeBase base = TimeBaseOf(exposure);
    if (!base.Usable())
        return FALSE;
    const ULONG e = base.Exposure(exposure->m_wShutterLines, exposure->m_wShutterClocks);
    ULONG emax = base.Exposure(exposure->m_wShutterLinesMax, exposure->m_wShutterClocksMax);
    ULONG emin = base.Exposure(exposure->m_wShutterLinesMin, exposure->m_wShutterClocksMin);
    const ULONG step = e / (exposure->m_byteShutterStep + 1u);
    if (darker) {
        const ULONGLONG up = static_cast<ULONGLONG>(e) + step + 1;
        if (up < emax)
            emax = static_cast<ULONG>(up);
    } else {
        const ULONG low = e - step > 1 ? e - step - 1 : 1;
        if (emin < low)
            emin = low;
    }
    const ULONG a = average == 0 ? 1 : average;
    // The product is formed in 64 bits so that long exposures do not wrap it.
    const ULONGLONG n = static_cast<ULONGLONG>(e) * target / a;
    ULONG r;
    if (n <= emin) {
        r = emin;
    } else {
        r = emax <= n ? emax : static_cast<ULONG>(n);
    }
    if (r == e)
        return FALSE;
    if (r < base.Frame()) {
        StoreShutter(exposure, base, r);
    } else {
        exposure->m_wShutterLines = 0;
        exposure->m_wShutterClocks = 0;
    }
    return TRUE;
}

BOOLEAN mbGainCtrl(AutoExposure* exposure, ULONG average, ULONG target, BOOLEAN darker) {
    const USHORT current = exposure->m_wGain;
    const double g = GainFactor(current);
    ULONG n = GainCode(static_cast<double>(target) / (static_cast<double>(average) / g));
    const double divisor = exposure->m_byteGainStep + 1.0;
    if (darker) {
        ULONG up = GainCode(g + g / divisor + 1.0);
        if (up == current)
            up = current + 1u;
        if (up < n)
            n = up;
    } else {
        const double v = g - g / divisor - 1.0;
        if (v > 0.0) {
            USHORT down = GainCode(v);
            if (down == current)
                down = static_cast<USHORT>(current - 1);
            if (n < down)
                n = down;
        }
    }
    ULONG r;
    if (n < exposure->m_wGainMin) {
        r = exposure->m_wGainMin;
    } else {
        r = exposure->m_wGainMax < n ? exposure->m_wGainMax : n;
    }
    if (r == current)
        return FALSE;
    exposure->m_wGain = static_cast<USHORT>(r);
    return TRUE;
}

BOOLEAN mbSetShutterAndCDSGainToCamera(AutoExposure* exposure) {
    DeviceContext* device = exposure->m_pDevice;
    UCHAR block[CAMERA_BLOCK_SIZE];
    RtlZeroMemory(block, sizeof block);
    ReadExposureBlock(device, block);  // a failure leaves the block zero apart from below
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    WriteLe16(&block[EXPOSURE_SHUTTER_LINES], exposure->m_wShutterLines);
    WriteLe16(&block[EXPOSURE_SHUTTER_CLOCKS], exposure->m_wShutterClocks);
    WriteLe16(&block[EXPOSURE_GAIN], exposure->m_wGain);
    KeReleaseSpinLock(&exposure->m_Lock, irql);
    return NT_SUCCESS(WriteExposureBlock(device, block));
}

ULONG UpdateGainShutter(AutoExposure* exposure, GridStatistics* statistics) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    if (exposure->m_byteMode == AE_MODE_OFF) {
        KeReleaseSpinLock(&exposure->m_Lock, irql);
        DbgPrint("UpdateGainShutter: AGC OFF...exit.\n");
        return 1;
    }
    if (exposure->m_byteSkipCount != 0) {
        exposure->m_byteSkipCount--;
        KeReleaseSpinLock(&exposure->m_Lock, irql);
        DbgPrint("UpdateGainShutter: Skip...exit.\n");
        return 1;
    }
    ULONG brightness = 0;
    if (!MeasureBrightness(exposure, statistics, &brightness)) {
        KeReleaseSpinLock(&exposure->m_Lock, irql);
        DbgPrint("UpdateGainShutter: GetBrightnessAverage error...exit.\n");
        return 0;
    }
    if (exposure->m_byteSamplingCount == 0)
        exposure->m_dwBrightnessSum = brightness;
    else
        exposure->m_dwBrightnessSum += brightness;
    exposure->m_byteSamplingCount++;
    if (exposure->m_byteSamplingCount < exposure->m_byteFrameCount) {
        KeReleaseSpinLock(&exposure->m_Lock, irql);
        DbgPrint("UpdateGainShutter: SamplingCount < FrameCount...exit.\n");
        return 1;
    }
    const ULONG average = exposure->m_dwBrightnessSum / exposure->m_byteSamplingCount;
    exposure->m_byteSamplingCount = 0;

    BOOLEAN write = EnforceLimits(exposure);
    if (!write) {
        const UCHAR target = exposure->m_byteTarget;
        const BOOLEAN darker = target > average;
        const UCHAR distance = static_cast<UCHAR>(darker ? target - average : average - target);
        DbgPrint(darker
                     ? "UpdateGainShutter: IncGain, iAverageBrightnessLevel=%d, m_byteTarget=%d, "
                       "byteDistance=%d\n"
                     : "UpdateGainShutter: DecGain, iAverageBrightnessLevel=%d, m_byteTarget=%d, "
                       "byteDistance=%d\n",
                 static_cast<int>(average), static_cast<int>(target), static_cast<int>(distance));
        ULONG band = exposure->m_byteTolerance;
        if (exposure->m_bAutoRunning == 0)
            band += exposure->m_byteStartMargin;
        if (band < distance) {
            DbgPrint("UpdateGainShutter: Processing.\n");
            const UCHAR mode = exposure->m_byteMode;
            BOOLEAN shutter;
            if (mode == 2 || mode == 5) {
                shutter = TRUE;
            } else if (IsCombinedMode(mode)) {
                const TimeBase base = TimeBaseOf(exposure);
                const ULONG e =
                    base.Exposure(exposure->m_wShutterLines, exposure->m_wShutterClocks);
                const ULONG emax =
                    base.Exposure(exposure->m_wShutterLinesMax, exposure->m_wShutterClocksMax);
                shutter = darker ? e != emax : exposure->m_wGain == exposure->m_wGainMin;
            } else {
                shutter = FALSE;
            }
            if (shutter) {
                write = mbShutterCtrl(exposure, average, target, darker);
                DbgPrint("UpdateGainShutter: Call mbShutterCtrl!!\n");
            } else {
                write = mbGainCtrl(exposure, average, target, darker);
                DbgPrint("UpdateGainShutter: Call mbGainCtrl!!\n");
            }
        }
    }
    if (!write) {
        DbgPrint("UpdateGainShutter: m_bAutoRunning OFF\n");
        if (exposure->m_byteMode >= 4 && exposure->m_byteMode <= 6)
            exposure->m_byteMode = AE_MODE_OFF;
        exposure->m_bAutoRunning = 0;
        exposure->m_byteSkipCount = exposure->m_byteSkipFrames;
        KeReleaseSpinLock(&exposure->m_Lock, irql);
        return 1;
    }
    KeReleaseSpinLock(&exposure->m_Lock, irql);
    DbgPrint("UpdateGainShutter: Call mbSetShutterAndCDSGainToCamera!!\n");
    mbSetShutterAndCDSGainToCamera(exposure);
    irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    exposure->m_bAutoRunning = 1;
    exposure->m_byteSkipCount = exposure->m_byteSkipFrames;
    KeReleaseSpinLock(&exposure->m_Lock, irql);
    return 1;
}

VOID GetGainAndMode(AutoExposure* exposure, USHORT* gain, UCHAR* mode) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    *gain = exposure->m_wGain;
    *mode = exposure->m_byteMode;
    KeReleaseSpinLock(&exposure->m_Lock, irql);
}

VOID SetGainAndMode(AutoExposure* exposure, USHORT gain, UCHAR mode) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    exposure->m_wGain = gain;
    exposure->m_byteMode = mode;
    KeReleaseSpinLock(&exposure->m_Lock, irql);
}

VOID ExposureRecordToBlock(AutoExposure* exposure, PUCHAR block) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    WriteLe16(&block[EXPOSURE_SHUTTER_LINES], exposure->m_wShutterLines);
    WriteLe16(&block[EXPOSURE_SHUTTER_CLOCKS], exposure->m_wShutterClocks);
    WriteLe16(&block[EXPOSURE_GAIN], exposure->m_wGain);
    block[EXPOSURE_MODE] = exposure->m_byteMode;
    block[EXPOSURE_TARGET] = exposure->m_byteTarget;
    block[EXPOSURE_TOLERANCE] = exposure->m_byteTolerance;
    block[EXPOSURE_START_MARGIN] = exposure->m_byteStartMargin;
    RtlCopyMemory(&block[EXPOSURE_ZONE_WEIGHTS], exposure->m_abyteZoneWeight, 16);
    WriteLe16(&block[EXPOSURE_GAIN_MIN], exposure->m_wGainMin);
    WriteLe16(&block[EXPOSURE_GAIN_MAX], exposure->m_wGainMax);
    WriteLe16(&block[EXPOSURE_LINES_MIN], exposure->m_wShutterLinesMin);
    WriteLe16(&block[EXPOSURE_LINES_MAX], exposure->m_wShutterLinesMax);
    WriteLe16(&block[EXPOSURE_CLOCKS_MIN], exposure->m_wShutterClocksMin);
    WriteLe16(&block[EXPOSURE_CLOCKS_MAX], exposure->m_wShutterClocksMax);
    KeReleaseSpinLock(&exposure->m_Lock, irql);
}

VOID ExposureBlockToRecord(AutoExposure* exposure, const UCHAR* block) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&exposure->m_Lock);
    exposure->m_wShutterLines = ReadLe16(&block[EXPOSURE_SHUTTER_LINES]);
    exposure->m_wShutterClocks = ReadLe16(&block[EXPOSURE_SHUTTER_CLOCKS]);
    exposure->m_wGain = ReadLe16(&block[EXPOSURE_GAIN]);
    exposure->m_byteMode = block[EXPOSURE_MODE];
    exposure->m_byteTarget = block[EXPOSURE_TARGET];
    exposure->m_byteTolerance = block[EXPOSURE_TOLERANCE];
    exposure->m_byteStartMargin = block[EXPOSURE_START_MARGIN];
    RtlCopyMemory(exposure->m_abyteZoneWeight, &block[EXPOSURE_ZONE_WEIGHTS], 16);
    exposure->m_wGainMin = ReadLe16(&block[EXPOSURE_GAIN_MIN]);
    exposure->m_wGainMax = ReadLe16(&block[EXPOSURE_GAIN_MAX]);
    exposure->m_wShutterLinesMin = ReadLe16(&block[EXPOSURE_LINES_MIN]);
    exposure->m_wShutterLinesMax = ReadLe16(&block[EXPOSURE_LINES_MAX]);
    exposure->m_wShutterClocksMin = ReadLe16(&block[EXPOSURE_CLOCKS_MIN]);
    exposure->m_wShutterClocksMax = ReadLe16(&block[EXPOSURE_CLOCKS_MAX]);
    KeReleaseSpinLock(&exposure->m_Lock, irql);
}
