// Host side: event objects that applications hand to the driver by handle, with the references
// the driver takes on them through ObReferenceObjectByHandle.
#pragma once

#include "platform/nt_types.h"

namespace halvex::platform {

class EventHandles {
  public:
    // Creates a notification event and a handle to it (the handle holds one reference).
    static HANDLE Create();
    // Closes the handle; the event lives on while the driver holds references.
    static void Close(HANDLE handle);
    // The event behind a handle, or null.
    static PKEVENT Event(HANDLE handle);
    // Whether the event behind the handle is signalled.
    static bool Signalled(HANDLE handle);
};

}  // namespace halvex::platform
