#pragma once

// Counts the commits an SQLite file in WAL mode has taken since its log last
// restarted, from the log itself: every committed transaction ends with one
// frame whose header carries the database's size in pages.  A probe from
// outside the connection, so a test can count what an operation wrote.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

namespace pelk::test {

inline int walCommits(const std::string& databasePath) {
  std::ifstream in(databasePath + "-wal", std::ios::binary);
  unsigned char header[32];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
  auto be32 = [](const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  };
  const std::uint32_t pageSize = be32(header + 8);
  if (pageSize < 512 || pageSize > 65536) return 0;
  std::vector<unsigned char> frame(24 + pageSize);
  int commits = 0;
  while (in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()))) {
    // Frames of an older log generation (other salts) are left over, not part of this one.
    if (std::memcmp(frame.data() + 8, header + 16, 8) != 0) break;
    if (be32(frame.data() + 4) != 0) ++commits;
  }
  return commits;
}

// Whether a second connection can checkpoint the whole log away: it cannot
// while any connection holds a read transaction open.
inline bool logCanBeEmptied(const std::string& databasePath) {
  SQLite::Database other(databasePath, SQLite::OPEN_READWRITE);
  SQLite::Statement q(other, "PRAGMA wal_checkpoint(TRUNCATE)");
  return q.executeStep() && q.getColumn(0).getInt() == 0;
}

}  // namespace pelk::test
