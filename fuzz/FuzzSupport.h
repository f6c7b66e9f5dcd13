#pragma once

// What every fuzz target shares: the input as text, and a kit root of its own
// for the targets whose readers store what they read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"

namespace pelk::fuzz {

inline std::string text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The kit's directories and settings suite in a fresh directory under the
// temp dir (TMPDIR), once per process, removed when the process exits
// normally.  Settings writes are durable, so a TMPDIR on tmpfs keeps the
// targets fast.
inline void useScratchKitRoot() {
  static const bool ready = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pelk-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    static std::string root = tmpl;
    platform::Paths::setRoot(root);
    SharedUtil::setUserDefaultValue(platform::SettingsSuite::named(kUserDefaultsuiteName));
    TokenManager::clearMemoryForTesting();
    std::atexit([] {
      SharedUtil::setUserDefaultValue(nullptr);
      std::error_code ec;
      std::filesystem::remove_all(root, ec);
    });
    return true;
  }();
  (void)ready;
}

// Stops the run as a finding: a property the kit promises does not hold.
[[noreturn]] inline void broken() { __builtin_trap(); }

}  // namespace pelk::fuzz
