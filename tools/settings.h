// Camera and processing settings by name, for `halvex capture --set` and `halvex props`.
#pragma once

#include <string>
#include <vector>

#include "client/camera_session.h"

namespace halvex::tools {

struct NamedSetting {
    std::string name;
    std::string value;
};

// Parses NAME=VALUE; false (with a message naming what is allowed) when it is malformed or the
// name is unknown.
bool ParseSetting(const std::string& text, NamedSetting* setting, std::string* error);
// Applies one setting to a started device; false with a message when the value is out of range
// or the driver refuses it.
bool ApplySetting(client::CameraSession& session, const NamedSetting& setting, std::string* error);
// One line per setting: name, allowed values, default and current value.
std::vector<std::string> DescribeSettings(client::CameraSession& session);

}  // namespace halvex::tools
