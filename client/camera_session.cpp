#include "client/camera_session.h"
