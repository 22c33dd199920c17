// The settings snapshot: the whole adjustable state of a camera in one 1557-byte record, collected
// from the stages and the camera and applied back to them.
#pragma once

#include "driver/device_context.h"

// Record offsets.
#define SNAPSHOT_WB_MODE 1
#define SNAPSHOT_WB_GAINS 2
#define SNAPSHOT_WB_TARGETS 10
#define SNAPSHOT_TONE_MODES 14
#define SNAPSHOT_TONE_GAMMAS 20
#define SNAPSHOT_TONE_ENTRIES 30
#define SNAPSHOT_SHARPNESS 1310
#define SNAPSHOT_COLOR_ADJUST 1315
#define SNAPSHOT_COLOR_MATRIX 1320
#define SNAPSHOT_CONVERSION 1345
#define SNAPSHOT_ROTATION 1347
#define SNAPSHOT_CAMERA_SETTINGS 1349
#define SNAPSHOT_BLOCK13 1413
#define SNAPSHOT_EXPOSURE 1419
#define SNAPSHOT_BLOCK22 1483
#define SNAPSHOT_REGISTERS 1493

// Fills m_SettingsBlock from the stages and fresh camera reads. Returns STATUS_SUCCESS whatever
// the camera answers (and without a change when the work record cannot be allocated).
NTSTATUS CollectSettings(DeviceContext* device);
// Applies m_SettingsBlock to the stages and the camera. Returns STATUS_SUCCESS likewise.
NTSTATUS ApplySettings(DeviceContext* device);
