// Frame capture transport: 24 bulk reads of 512 KiB circulating on the bulk IN pipe while the
// stream runs, assembled into whole raw frames and handed over to m_pFrameBuffer.
#pragma once

#include "driver/device_context.h"

#define TRANSFER_SLOT_COUNT 24
#define TRANSFER_BUFFER_SIZE 0x80000
#define FRAME_HEADER_SIZE 64

struct TransportContext;

// One circulating bulk read.
struct TransferSlot {
    PIRP m_pIrp;                              // lower stack size + 1; freed by StopTransport
    _URB_BULK_OR_INTERRUPT_TRANSFER* m_pUrb;  // tag pppp
    PUCHAR m_pBuffer;                         // TRANSFER_BUFFER_SIZE bytes, tag oooo
    TransportContext* m_pTransport;
    DeviceContext* m_pDevice;
    ULONG m_ulSequence;  // submission number of the transfer in flight
};

// One running transport (tag mmmm).
//
// Completions may run on several processors at once and out of data order. Each submission gets
// the next sequence number; a completion posts its slot at that number in m_apCompleted and then
// either takes the assembly turn (m_lTurnRequests going from 0 to 1) or leaves its slot to the
// completion that holds the turn. The turn holder assembles, resubmits or retires the posted slots
// strictly in sequence order and is the only one that submits, so sequence order is data order.
struct TransportContext {
    volatile LONG m_lOutstanding;  // slots still circulating (atomic)
    KEVENT m_RetiredEvent;         // set once every slot has retired
    PDEVICE_OBJECT m_pLowerDevice;
    PUSBD_PIPE_INFORMATION m_pPipe;
    TransferSlot* m_apSlots[TRANSFER_SLOT_COUNT];
    volatile LONG m_bStopping;  // StopTransport has begun: slots retire instead of resubmitting
    // Assembly turn and the completions waiting for it.
    volatile LONG m_lTurnRequests;
    ULONG m_ulNextSequence;                            // turn holder only
    ULONG m_ulAssembleSequence;                        // turn holder only
    TransferSlot* m_apCompleted[TRANSFER_SLOT_COUNT];  // by sequence mod 24 (atomic pointers)
};

// Starts the transfers and sets m_pTransport. Called where the thread may wait; the caller has
// zero-filled m_pAssemblyBuffer. Returns STATUS_INSUFFICIENT_RESOURCES when the transport record
// cannot be allocated (nothing starts then).
NTSTATUS StartTransport(DeviceContext* device);

// Cancels every transfer, waits until all have retired, releases everything and clears
// m_pTransport. Called where the thread may wait.
VOID StopTransport(TransportContext* transport, DeviceContext* device);

// Assembles one completed transfer of n bytes with USBD status usbdStatus into the current frame.
// Called by the assembly turn holder only (exposed for tests).
VOID AssembleTransfer(DeviceContext* device, const UCHAR* data, ULONG n, USBD_STATUS usbdStatus);
