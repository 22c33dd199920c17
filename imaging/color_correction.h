// Colour correction of the output image: a 3 x 3 matrix with an offset per output channel,
// combined with a hue rotation and a saturation factor, applied through contribution tables.
#pragma once

#include "imaging/processing_stage.h"

#define MATRIX_MODE_IDENTITY 0
#define MATRIX_MODE_USER 0xFF

// Contributions of one input value to the blue, green and red output.
struct ColorContribution {
    LONG toBlue;
    LONG toGreen;
    LONG toRed;
};

// m_Lock guards the settings and the tables; the delivery work item copies the tables at the
// start of a frame.
struct ColorCorrection {
    KSPIN_LOCK m_Lock;
    UCHAR m_byteMatrixMode;
    SHORT
    m_awMatrix[12];  // hundredths; rows red, green, blue output: from red, green, blue, offset
    UCHAR m_byteAdjustEnable;
    SHORT m_wHue;                               // tenths of a degree
    USHORT m_wSaturation;                       // percent
    ColorContribution m_aContribution[3][256];  // input channel 0 blue, 1 green, 2 red
    // The delivery work item's copy, each entry padded to sixteen bytes so that one vector load
    // takes it.
    struct FrameContribution {
        LONG toBlue;
        LONG toGreen;
        LONG toRed;
        LONG unused;
    } m_aFrameContribution[3][256];
    // The same as sixteen-bit values, by output and input channel, for the AVX-512 routine,
    // filled when every one of them lies within +-10922 (so that three add up without overflow).
    SHORT m_awFrameContribution16[3][3][256];
};

// Start values: identity matrix in mode 0, adjustment off, hue 0, saturation 100.
VOID InitColorCorrection(ColorCorrection* correction);
// Mode 0: the identity; 0xFF: the twelve coefficients. Rebuilds the tables. Returns 1, or 0
// (nothing changed) for another mode.
ULONG SetColorMatrix(ColorCorrection* correction, UCHAR mode, const SHORT* coefficients);
// Enable 1: hue and saturation; 0: adjustment off (hue 0, saturation 100). Rebuilds the tables.
// Returns 1, or 0 (nothing changed) for another enable value.
ULONG SetHueSaturation(ColorCorrection* correction, UCHAR enable, SHORT hue, USHORT saturation);
// The current adjustment: enable, hue and saturation.
VOID GetHueSaturation(ColorCorrection* correction, UCHAR* enable, SHORT* hue, USHORT* saturation);
// The hue/saturation matrix times the user matrix, rows and columns red, green, blue.
VOID ComposeHueMatrix(const ColorCorrection* correction, float* product);
// Rebuilds the contribution tables. Caller holds m_Lock.
VOID BuildColorTables(ColorCorrection* correction);
// Applies the tables to the output image (format 4 or 8) in place. Returns 1.
ULONG ApplyColorCorrection(ColorCorrection* correction, ULONG width, ULONG height, ULONG format,
                           PUCHAR image);
