// POSIX test helpers: a fresh temporary folder, and the registry store's root
// pointed at one for the length of a test (the previous value restored
// afterwards), so tests running in parallel never share registry values.
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kovra62386::testing {

class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kovra62386-test-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
  }
  ~TempDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Sets (or with nullptr, unsets) an environment variable until destruction.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) previous_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (previous_) {
      ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

class ScopedRegistryRoot {
 public:
  ScopedRegistryRoot()
      : environment_("KOVRA62386_REGISTRY_ROOT", directory_.path().c_str()) {}
  const std::string& path() const { return directory_.path(); }

 private:
  TempDirectory directory_;
  ScopedEnvironment environment_;
};

}  // namespace kovra62386::testing

#endif  // !_WIN32
