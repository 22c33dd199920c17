#include "driver/camera_models.h"

namespace {
// The first model of each pair publishes all six formats of its width, the second the first
// three (full height and the two partial readouts).
const CameraModel kModels[] = {
    {0x0109, 1280, 960, 6},  {0x0209, 1280, 960, 3},  {0x0906, 640, 480, 6},
    {0x1006, 640, 480, 3},   {0x1106, 1024, 768, 6},  {0x1206, 1024, 768, 3},
    {0x1306, 1360, 1024, 6}, {0x1406, 1360, 1024, 3}, {0x1506, 1600, 1200, 6},
    {0x1606, 1600, 1200, 3},
};
}  // namespace

const CameraModel* FindCameraModel(USHORT code) {
    for (const CameraModel& model : kModels) {
        if (model.code == code)
            return &model;
    }
    return nullptr;
}
