// Fixtures the library's tests share: a working directory of their own and
// environment variables set for one scope.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace vantrel_test {

// Runs a test body in a fresh working directory ("work" inside a fresh
// temporary directory, so that ../ is fresh too).
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::string tmpl = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = std::filesystem::path(tmpl) / "work";
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    if (!dir_.empty()) std::filesystem::remove_all(dir_.parent_path());
  }
  void write(const std::filesystem::path& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
  }
  std::filesystem::path old_;
  std::filesystem::path dir_;
};

// Sets an environment variable for one scope (nullptr unsets it) and
// restores the previous state.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace vantrel_test
