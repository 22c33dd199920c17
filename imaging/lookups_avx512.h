// The AVX-512 routines of the processing stages (imaging/lookups_avx512.cpp, the only file built
// for AVX-512 with its byte and byte-permute extensions), and the calls that choose them. Each
// routine may run only between BeginBytePermutes returning TRUE and EndBytePermutes.
#pragma once

#include "platform/platform.h"

// Whether the processor has AVX-512 with byte operations and byte permutes; if so, saves the
// extended state, which EndBytePermutes restores.
BOOLEAN BeginBytePermutes(PXSTATE_SAVE state);
VOID EndBytePermutes(PXSTATE_SAVE state);

// The luminance curve with AVX-512 byte permutes, 64 pixels at a time, for as many whole groups
// of 64 as `pixels` holds; returns how many pixels it did.
ULONG ApplyLuminanceCurveAvx512(const UCHAR* table, PUCHAR image, ULONG pixels);
// The raw tone tables (one per cell position) likewise, over the first whole groups of 64
// columns of every row of a cell; returns how many columns it did.
ULONG ApplyRawTablesAvx512(const UCHAR* const* tables, ULONG width, ULONG height, PUCHAR raw);
// For sharpening 24-bit rows: the luminance of the first whole groups of 64 pixels of a row
// (returns how many pixels it did); and the sharpening of a row from pixel 1 in groups of 64 that
// end before the last pixel (returns the first pixel it did not do).
ULONG LuminanceRowAvx512(const UCHAR* row, ULONG width, PUCHAR luminance);
// The sums of each luminance with its left and right neighbour, from column 1 in groups of 32
// that end before the last column; returns the first column it did not do.
ULONG ThreeSumsAvx512(const UCHAR* luminance, ULONG width, PUSHORT sums);
ULONG SharpenRowAvx512(PUCHAR row, ULONG width, const UCHAR* current, const USHORT* const* sums,
                       UCHAR threshold, const UCHAR* correction);
// Defect clipping of an inner row (two or more from every edge) from the frame's copy, from
// column x in groups of 64 that end two before the last column; returns the first column it did
// not do.
ULONG ClipRowAvx512(const UCHAR* copyRow, ULONG width, ULONG y, ULONG x, PUCHAR row,
                    BOOLEAN greenDiagonal);
// Colour correction with AVX-512 from the sixteen-bit tables, 256 pixels at a time, for as many
// whole groups of 256 as `pixels` holds; returns how many pixels it did.
ULONG ApplyColorCorrectionAvx512(const SHORT (*tables)[3][256], PUCHAR image, ULONG pixels);
