// The one header through which the driver folders reach the Windows kernel, kernel streaming,
// stream class and USB names. On the target these come from the real kernel headers.
#pragma once

#include "platform/ks.h"
#include "platform/nt_io.h"
#include "platform/nt_types.h"
#include "platform/stream_class.h"
#include "platform/usb.h"
