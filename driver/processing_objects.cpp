#include "driver/processing_objects.h"

NTSTATUS CreateProcessingObjects(DeviceContext*) {
    return STATUS_SUCCESS;
}

VOID ReleaseProcessingObjects(DeviceContext* device) {
    // No processing object is created yet; the fields stay null.
    device->m_pSharpnessFilter = nullptr;
    device->m_pLookupTables = nullptr;
    device->m_pWhiteBalance = nullptr;
    device->m_pAutoExposure = nullptr;
    device->m_pRawPreprocessor = nullptr;
    device->m_pGridStatistics = nullptr;
    device->m_pColorCorrection = nullptr;
}
