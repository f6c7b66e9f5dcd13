#include "support/TestEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Paths.h"
#include "platform/SettingsSuite.h"

namespace pelk::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "pelk-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

KitTest::KitTest() { platform::Paths::setRoot(dir_.path()); }

KitTest::~KitTest() {
  // Values a test left waiting go to its own files while they are there.
  platform::SettingsSuite::writeEveryLazyValue();
  platform::Paths::setRoot(std::nullopt);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace pelk::test
