// Must draw a compiler diagnostic: a timer whose handle is dropped stops at
// once, so ignoring the handle is flagged where it is written.
#include "platform/Dispatch.h"

void dropsTheHandle(pelk::platform::Queue& queue) {
  pelk::platform::Dispatch::scheduleRepeating(queue, pelk::platform::seconds(1), [] {});
}
