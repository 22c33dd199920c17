// Processing records made and released the way start-up does, for the stage tests.
#pragma once

#include <memory>

#include "imaging/processing_stage.h"

namespace halvex::test {

template <class T>
struct RecordDeleter {
    void operator()(T* record) const {
        if constexpr (std::has_virtual_destructor_v<T>)
            delete record;
        else
            FreeProcessingRecord(record);
    }
};

template <class T>
using Record = std::unique_ptr<T, RecordDeleter<T>>;

template <class T>
Record<T> MakeRecord() {
    return Record<T>(AllocateProcessingRecord<T>());
}

}  // namespace halvex::test
