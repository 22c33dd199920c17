// The driver's entry point.
#pragma once

#include "platform/platform.h"

// Registers the adapter entries and extension sizes with the stream class and returns its status.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
