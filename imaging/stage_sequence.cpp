// The processing stage sequence. No processing stage is built yet: both points pass the frame
// through unchanged.
#include "imaging/stage_sequence.h"

VOID RunRawStages(DeviceContext*, ULONG, ULONG, USHORT, PUCHAR) {}

VOID RunOutputStages(DeviceContext*, ULONG, ULONG, ULONG, ULONG, PUCHAR) {}
