#pragma once

#include <string>

#include <gtest/gtest.h>

namespace pelk::test {

// A fresh directory under the system temp dir, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points the kit's directories and settings suite at a temp dir of its own.
class KitTest : public ::testing::Test {
 protected:
  KitTest();
  ~KitTest() override;

  TempDir dir_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace pelk::test
