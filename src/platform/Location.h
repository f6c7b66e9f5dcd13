#pragma once

// The position value type is public (the app receives it); the platform layer
// and everything above keep naming it platform::Location.
#include "pelk/PelkPosition.h"

namespace pelk::platform {

using Coordinate = pelk::Coordinate;
using Location = pelk::Location;
using pelk::greatCircleDistance;

}  // namespace pelk::platform
