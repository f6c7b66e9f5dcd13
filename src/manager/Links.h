#pragma once

namespace pelk {

// Installs every upward link of the kit: what the lower layers call in the
// layers above them (the map is in docs/ARCHITECTURE.md, "Upward links").
// Every link is set here and nowhere else in the kit; calling it again sets
// the same functions.
void installLinks();

// The first touch of the public API (the Pelk facade, the C API, the
// manager) installs the links, so that what reaches the manager before the
// app's first initialize (a position, an event, a trip status, an error)
// reaches the app's delegate too.  Returns once the links are in place.
void linkKit();

// Empties every link and makes the next touch of the public API install them
// again, as in a fresh process.
void resetLinksForTesting();

}  // namespace pelk
