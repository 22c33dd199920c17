// White balance: four channel gains applied to the raw mosaic through 256-entry tables, and the
// automatic balance that moves the red and blue gains towards their targets.
#pragma once

#include "imaging/processing_stage.h"

#define WB_MODE_OFF 0
#define WB_MODE_FIXED 1
#define WB_MODE_CONTINUOUS 2
#define WB_MODE_ONE_SHOT 3
#define WB_GAIN_MAX 1023

// m_Lock guards the settings property requests write and the automatic balance changes: mode,
// gains with their tables, targets, and the countdown. The evaluation state (sums, samples,
// m_bChanged) and the frame copy belong to the delivery work item.
class WhiteBalance : public ProcessingStage {
  public:
    KSPIN_LOCK m_Lock;
    USHORT m_wArrangement;
    UCHAR m_byteBalanceMode;
    USHORT m_wTolerance;
    USHORT m_awGain[4];  // units of 1/128: red, green in red rows, green in blue rows, blue
    USHORT m_wRedTarget;
    USHORT m_wBlueTarget;
    USHORT m_awStartGain[4];
    UCHAR m_abyteZoneWeight[16];
    UCHAR m_byteInterval;
    UCHAR m_byteSampleCount;
    UCHAR m_abyteGainTable[4][256];
    ULONG m_aulSum[4];
    UCHAR m_byteSamples;
    LONG m_bChanged;
    UCHAR m_byteCountdown;
    // The delivery work item's copy of the tables and gains it applies.
    UCHAR m_abyteFrameTable[4][256];
    USHORT m_awFrameGain[4];
};

// Fills a gain table: entry i = (i x gain) >> 7, 255 from 32640 / gain on; all 0 for gain 0.
VOID BuildGainTable(USHORT gain, UCHAR* table);
// The preset at creation, after m_wArrangement and m_awStartGain are stored. Returns 1.
ULONG InitWhiteBalance(WhiteBalance* balance);
// Stores four gains (channel order), rebuilding each table. Returns 1.
ULONG SetGains(WhiteBalance* balance, const USHORT* gains);
// The mode and the red and blue targets, as property requests set and read them.
VOID SetBalanceMode(WhiteBalance* balance, UCHAR mode);
UCHAR GetBalanceMode(WhiteBalance* balance);
VOID SetBalanceTargets(WhiteBalance* balance, USHORT red, USHORT blue);
// Applies the gains to the raw image in place. Returns 1.
ULONG ApplyWhiteBalance(WhiteBalance* balance, ULONG width, ULONG height, USHORT arrangement,
                        PUCHAR raw);
// One step of the automatic balance with the four channel averages. Returns 1.
ULONG UpdateWhiteBalance(WhiteBalance* balance, const UCHAR* averages);
