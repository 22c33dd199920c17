// The camera command protocol: USB vendor requests on the default control pipe, sent one at a
// time and waited for, and the shadow copies of the camera's blocks and registers that the
// DeviceContext keeps. Every call here may wait and runs only at PASSIVE_LEVEL.
#pragma once

#include "driver/device_context.h"

#define VENDOR_REQUEST_READ 1
#define VENDOR_REQUEST_WRITE 0

// Request codes.
#define CAMERA_REQUEST_INFO 0x11
#define CAMERA_REQUEST_SETTINGS 0x12
#define CAMERA_REQUEST_BLOCK13 0x13
#define CAMERA_REQUEST_COMMAND20 0x20
#define CAMERA_REQUEST_EXPOSURE 0x21
#define CAMERA_REQUEST_BLOCK22 0x22
#define CAMERA_REQUEST_COMMAND30 0x30
#define CAMERA_REQUEST_REGISTER 0x80
#define CAMERA_REQUEST_BLOCKF0 0xF0
#define CAMERA_REQUEST_BLOCKF9 0xF9

// Block 0xF9 travels with this wValue and wIndex.
#define CAMERA_BLOCKF9_VALUE 0x6F00
#define CAMERA_BLOCKF9_INDEX 0x0151

// Offsets in the camera information and settings blocks.
#define CAMERA_INFO_MODEL_CODE 4
#define CAMERA_INFO_ARRANGEMENT 10
#define CAMERA_SETTINGS_READOUT_MODE 22
#define CAMERA_SETTINGS_READOUT_MODE_HIGH 23
#define CAMERA_SETTINGS_LINES_PER_FRAME 26
#define CAMERA_SETTINGS_CLOCKS_PER_LINE 28
#define CAMERA_SETTINGS_DEFAULT_GAIN 32

inline USHORT ReadLe16(const UCHAR* p) {
    return static_cast<USHORT>(p[0] | (p[1] << 8));
}
inline VOID WriteLe16(UCHAR* p, USHORT v) {
    p[0] = static_cast<UCHAR>(v & 0xFF);
    p[1] = static_cast<UCHAR>(v >> 8);
}

// Sends one URB to m_pPhysicalDeviceObject in a synchronous internal device-control request and
// waits for it; returns the IRP's final status (the URB's own USBD status is not examined).
NTSTATUS SubmitUrbSync(DeviceContext* device, PVOID urb);

// Sends one vendor request and waits for it. direction is VENDOR_REQUEST_READ or _WRITE; buffer
// may be null when length is 0. On success, transferred (if given) receives the low 16 bits of
// the byte count the USB stack reports.
NTSTATUS SendVendorRequest(DeviceContext* device, UCHAR direction, UCHAR request, USHORT value,
                           USHORT index, PVOID buffer, USHORT length, PUSHORT transferred);

// Block reads: on success the shadow takes the received bytes and, when given, the destination
// (of the block's length) is cleared and receives a copy. On failure neither changes.
NTSTATUS ReadCameraInfo(DeviceContext* device, PUCHAR destination);
NTSTATUS ReadCameraSettings(DeviceContext* device, PUCHAR destination);
NTSTATUS ReadBlock13(DeviceContext* device, PUCHAR destination);
NTSTATUS ReadExposureBlock(DeviceContext* device, PUCHAR destination);
NTSTATUS ReadBlock22(DeviceContext* device, PUCHAR destination);
NTSTATUS ReadBlockF0(DeviceContext* device, PUCHAR destination);
NTSTATUS ReadBlockF9(DeviceContext* device, PUCHAR destination);

// Block writes: the header bytes of blocks 0x12, 0x21 and 0x22 are set in the caller's buffer
// (they stay set even when the transfer fails); on success the shadow takes the bytes sent.
NTSTATUS WriteCameraSettings(DeviceContext* device, PUCHAR source);
NTSTATUS WriteBlock13(DeviceContext* device, PUCHAR source);
NTSTATUS WriteExposureBlock(DeviceContext* device, PUCHAR source);
NTSTATUS WriteBlock22(DeviceContext* device, PUCHAR source);

// Reads one register into its shadow entry; a destination (108 entries) receives a copy of the
// whole register shadow. Numbers outside the register file are refused without a request.
NTSTATUS ReadRegister(DeviceContext* device, ULONG number, PUSHORT destination);
// Writes entry `number` of the caller's 108-entry register image; on success the shadow entry
// takes that value.
NTSTATUS WriteRegister(DeviceContext* device, const USHORT* source, ULONG number);
