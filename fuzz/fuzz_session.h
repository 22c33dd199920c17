// What the fuzz targets that stream do at the end of a stream.
#pragma once

#include <memory>
#include <vector>

#include "client/camera_session.h"
#include "fuzz/fuzz_support.h"

namespace halvex::fuzz {

// Stops and closes the stream (when open); every read must have been completed by then.
inline void EndStream(client::CameraSession& session,
                      const std::vector<std::shared_ptr<client::PendingRead>>& reads) {
    if (session.StreamOpen()) {
        session.SetState(KSSTATE_STOP);
        session.CloseStream();
    }
    for (const auto& read : reads)
        if (!read->Done())
            Fail("a read was not completed by the close");
}

}  // namespace halvex::fuzz
