#include "driver/registration.h"

#include "driver/adapter.h"
#include "driver/device_context.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    HW_INITIALIZATION_DATA init;
    RtlZeroMemory(&init, sizeof init);
    init.HwInitializationDataSize = sizeof init;
    init.HwInterrupt = nullptr;
    init.HwReceivePacket = AdapterReceivePacket;
    init.HwCancelPacket = AdapterCancelPacket;
    init.HwRequestTimeoutHandler = AdapterTimeoutPacket;
    init.DeviceExtensionSize = sizeof(DeviceContext);
    init.PerRequestExtensionSize = sizeof(RequestEntry);
    init.PerStreamExtensionSize = sizeof(StreamContext);
    init.FilterInstanceExtensionSize = 0;
    init.BusMasterDMA = FALSE;
    init.Dma24BitAddresses = FALSE;
    init.BufferAlignment = 3;
    init.TurnOffSynchronization = TRUE;
    init.DmaBufferSize = 0;
    return StreamClassRegisterAdapter(DriverObject, RegistryPath, &init);
}
