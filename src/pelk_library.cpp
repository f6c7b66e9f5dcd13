// The shared library is assembled from the kit's layers; this unit only gives
// it a version symbol of its own.
#include "pelk/pelk.h"
#include "pelk_build_config.h"

extern "C" const char* pelk_library_version(void) { return pelk::build::kVersion; }
