// Automatic gain and shutter: keeps the measured brightness near a target by changing the
// camera's shutter, its gain code or both, in one of six modes.
#pragma once

#include "imaging/grid_statistics.h"

struct DeviceContext;

#define AE_MODE_OFF 0

// m_Lock guards every field: the exposure block hooks (property requests) and the delivery work
// item's step both go through it; no camera command is sent while it is held.
struct AutoExposure {
    DeviceContext* m_pDevice;
    USHORT m_wGain;
    USHORT m_wShutterLines;
    USHORT m_wShutterClocks;
    USHORT m_wDefaultGain;
    UCHAR m_byteMode;
    UCHAR m_byteTarget;
    UCHAR m_byteTolerance;
    UCHAR m_byteStartMargin;
    UCHAR m_byteGainStep;
    UCHAR m_byteShutterStep;
    UCHAR m_byteSkipFrames;
    UCHAR m_byteFrameCount;
    USHORT m_wShutterLinesMax;
    USHORT m_wShutterClocksMax;
    USHORT m_wShutterLinesMin;
    USHORT m_wShutterClocksMin;
    USHORT m_wGainMax;
    USHORT m_wGainMin;
    UCHAR m_abyteZoneWeight[16];
    LONG m_bAutoRunning;
    UCHAR m_byteSkipCount;
    UCHAR m_byteSamplingCount;
    ULONG m_dwBrightnessSum;
    KSPIN_LOCK m_Lock;
};

// Every field to its creation value from m_wDefaultGain (the lock is initialised too).
VOID ResetAutoExposure(AutoExposure* exposure);
// The pipeline's exposure decision for a frame: true when the step is to run (mode not 0 and no
// frame left to skip); otherwise a non-zero skip count is decreased by one.
BOOLEAN ExposureStepDue(AutoExposure* exposure);
// One step with the statistics of the current frame. Returns 1, or 0 when the measurement
// failed. Runs at PASSIVE_LEVEL: it may write the exposure block to the camera.
ULONG UpdateGainShutter(AutoExposure* exposure, GridStatistics* statistics);
// Internal steps, called with m_Lock held; each returns whether it changed the record.
BOOLEAN EnforceLimits(AutoExposure* exposure);
BOOLEAN mbShutterCtrl(AutoExposure* exposure, ULONG average, ULONG target, BOOLEAN darker);
BOOLEAN mbGainCtrl(AutoExposure* exposure, ULONG average, ULONG target, BOOLEAN darker);
// Writes the current shutter and gain to the camera in the exposure block; true on success.
BOOLEAN mbSetShutterAndCDSGainToCamera(AutoExposure* exposure);

// The current gain code and mode, and both set at once (the proc-amp gain property).
VOID GetGainAndMode(AutoExposure* exposure, USHORT* gain, UCHAR* mode);
VOID SetGainAndMode(AutoExposure* exposure, USHORT gain, UCHAR mode);

// The exposure block hooks: bytes 2-39 of a block read for a caller take the record's live
// values; bytes 2-39 of a block about to be written are loaded into the record.
VOID ExposureRecordToBlock(AutoExposure* exposure, PUCHAR block);
VOID ExposureBlockToRecord(AutoExposure* exposure, const UCHAR* block);

// The linear gain of a gain code, and the gain code of a linear gain.
double GainFactor(USHORT code);
USHORT GainCode(double factor);
