// Raw pre-processing: defect clipping to the median of same-colour neighbours, reference-frame
// capture, and reference subtraction with repair of saturated samples.
#pragma once

#include "imaging/processing_stage.h"

#define PREPROCESS_NONE 0
#define PREPROCESS_CLIP_DEFECTS 1
#define PREPROCESS_SUBTRACT_REFERENCE 2
#define PREPROCESS_CAPTURE_REFERENCE 0x80000000u
#define REFERENCE_VALID 0x80000000u

// m_ulMode is written by property requests and read by the delivery work item (atomic access);
// the reference belongs to the delivery work item.
class RawPreprocessor {
  public:
    virtual ~RawPreprocessor();
    static void operator delete(void* memory) { ExFreePoolWithTag(memory, TAG_PROCESSING_RECORD); }

    volatile LONG m_ulMode;
    PUCHAR m_pReference;  // W x H, tag DkSy
    ULONG m_ulReferenceValid;
    ULONG m_ulReferenceWidth;
    ULONG m_ulReferenceHeight;
    ULONG m_ulReferenceArrangement;
};

inline ULONG PreprocessorMode(RawPreprocessor* pre) {
    return static_cast<ULONG>(ReadLongAcquire(&pre->m_ulMode));
}
inline VOID SetPreprocessorMode(RawPreprocessor* pre, ULONG mode) {
    WriteLongRelease(&pre->m_ulMode, static_cast<LONG>(mode));
}

// The smaller of the first value and the median of the n values (the list is reordered).
UCHAR ClipToMedian(PUCHAR values, ULONG n);
ULONG CorrectDefects(RawPreprocessor* pre, ULONG width, ULONG height, USHORT arrangement,
                     PUCHAR raw);
// The sample-at-a-time routine CorrectDefects must match byte for byte (for tests).
ULONG CorrectDefectsPlain(ULONG width, ULONG height, USHORT arrangement, PUCHAR raw);
ULONG CaptureReference(RawPreprocessor* pre, ULONG width, ULONG height, USHORT arrangement,
                       PUCHAR raw);
ULONG SubtractReference(RawPreprocessor* pre, ULONG width, ULONG height, USHORT arrangement,
                        PUCHAR raw);
