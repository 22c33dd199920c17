// The stream is answered here until streaming is built: opening and closing are refused with
// STATUS_NOT_IMPLEMENTED.
#include "driver/stream.h"

VOID OpenStream(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
VOID CloseStream(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
}
