#include "platform/object_table.h"

#include <map>
#include <mutex>

#include "platform/nt_io.h"
#include "platform/resources.h"
#include "platform/verifier.h"

struct _OBJECT_TYPE {
    const char* Name;
};

namespace {
_OBJECT_TYPE g_eventType{"Event"};
POBJECT_TYPE g_eventTypePointer = &g_eventType;

// An event object: the KEVENT comes first, so the object pointer is the event pointer.
struct EventObject {
    KEVENT Event;
    long References;  // the handle's own plus the driver's
    bool HandleOpen;
};

std::mutex g_objMutex;  // guards everything below
std::map<uintptr_t, EventObject*> g_handles;
std::map<void*, EventObject*> g_objects;
uintptr_t g_nextHandle = 0x100;
size_t g_driverReferences = 0;

void Release(EventObject* object) {
    if (--object->References == 0) {
        g_objects.erase(object);
        delete object;
    }
}
}  // namespace

POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

namespace halvex::platform {

HANDLE EventHandles::Create() {
    auto* object = new EventObject{};
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
    object->References = 1;
    object->HandleOpen = true;
    std::lock_guard<std::mutex> lock(g_objMutex);
    const uintptr_t handle = g_nextHandle;
    g_nextHandle += 4;
    g_handles[handle] = object;
    g_objects[object] = object;
    return reinterpret_cast<HANDLE>(handle);
}

void EventHandles::Close(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_objMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end())
        return;
    EventObject* object = it->second;
    g_handles.erase(it);
    object->HandleOpen = false;
    Release(object);
}

PKEVENT EventHandles::Event(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_objMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == g_handles.end() ? nullptr : &it->second->Event;
}

bool EventHandles::Signalled(HANDLE handle) {
    PKEVENT event = Event(handle);
    return event != nullptr && KeReadStateEvent(event) != 0;
}

size_t Resources::LiveReferences() {
    std::lock_guard<std::mutex> lock(g_objMutex);
    return g_driverReferences;
}

}  // namespace halvex::platform

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE, PVOID* Object, POBJECT_HANDLE_INFORMATION) {
    std::lock_guard<std::mutex> lock(g_objMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == g_handles.end())
        return STATUS_INVALID_HANDLE;
    if (ObjectType != &g_eventType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    it->second->References++;
    g_driverReferences++;
    *Object = &it->second->Event;
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    std::lock_guard<std::mutex> lock(g_objMutex);
    auto it = g_objects.find(Object);
    if (it == g_objects.end() || g_driverReferences == 0) {
        halvex::platform::Verifier::Report("ObDereferenceObject of %p: no reference held", Object);
        return 0;
    }
    g_driverReferences--;
    const long left = it->second->References - 1;
    Release(it->second);
    return left;
}
