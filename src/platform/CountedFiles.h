#pragma once

#include <cstdint>
#include <string>

namespace pelk::platform {

// What the kit's SQLite files cost the storage: the bytes SQLite hands to
// write() and the syncs (fsync/fdatasync) it asks for, counted in a thin file
// layer under SQLite, so that commits, checkpoints and the log all count.  A
// database file counts with its -wal and journal.  Counts are of this process
// since it started; the layer adds nothing else to a file's road.
class CountedFiles {
 public:
  struct Counts {
    std::uint64_t bytes = 0;
    std::uint64_t syncs = 0;
    Counts operator-(const Counts& earlier) const { return {bytes - earlier.bytes, syncs - earlier.syncs}; }
  };

  // The name of the file layer to open the kit's databases with (registered
  // at the first call); null when SQLite has no default layer to count over.
  static const char* layerName();
  // The counts of one database file (by path: any spelling of one file).
  static Counts of(const std::string& databasePath);
  // The counts of every file opened through the layer.
  static Counts total();
};

}  // namespace pelk::platform
