// The camera models the driver serves: sensor size and published format list per model code.
#pragma once

#include "driver/stream_formats.h"

struct CameraModel {
    USHORT code;
    ULONG width;
    ULONG height;
    ULONG formatCount;  // 6 or 3: the first entries of the width's format list
};

// The model with this code, or null for a camera the driver does not serve.
const CameraModel* FindCameraModel(USHORT code);
