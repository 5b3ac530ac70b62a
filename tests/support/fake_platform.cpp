#include "support/fake_platform.h"

#include <algorithm>

namespace kovra62386::test {

namespace {

const char* hive_name(platform::Hive hive) {
  return hive == platform::Hive::CurrentUser ? "HKCU" : "HKLM";
}

}  // namespace

class FakePlatform::Lock : public platform::NamedMutexLock {
 public:
  Lock(FakePlatform& owner, bool owned) : owner_(owner), owned_(owned) {}
  ~Lock() override { owner_.release_mutex(); }
  bool owned() const override { return owned_; }

 private:
  FakePlatform& owner_;
  bool owned_;
};

// A fixed, arbitrary start: tests only look at differences.
FakePlatform::FakePlatform()
    : start_(std::chrono::steady_clock::time_point(std::chrono::hours(1000))),
      now_(start_) {}

void FakePlatform::add_program(const std::string& path, Program program) {
  std::lock_guard<std::mutex> lock(mutex_);
  programs_[path] = std::move(program);
}

void FakePlatform::set_executable_path(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  executable_path_ = std::move(path);
}

void FakePlatform::set_mutex_owned(bool owned) {
  std::lock_guard<std::mutex> lock(mutex_);
  mutex_owned_ = owned;
}

void FakePlatform::set_value(platform::Hive hive, const std::string& name,
                             std::variant<std::string, uint32_t> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  registry_[{hive, name}] = std::move(value);
}

void FakePlatform::remove_value(platform::Hive hive, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  registry_.erase({hive, name});
}

bool FakePlatform::has_value(platform::Hive hive,
                             const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registry_.count({hive, name}) != 0;
}

void FakePlatform::record(std::string entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  log(std::move(entry));
}

std::vector<std::string> FakePlatform::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::size_t FakePlatform::count(const std::string& entry) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(
      std::count(calls_.begin(), calls_.end(), entry));
}

int FakePlatform::mutexes_held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mutexes_held_;
}

std::optional<std::string> FakePlatform::read_text(platform::Hive hive,
                                                   const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  log(std::string("read_text ") + hive_name(hive) + " " + name);
  if (publishing_ && hive == platform::Hive::CurrentUser &&
      std::string(name) == "Host" && --reads_until_publish_ == 0) {
    registry_[{platform::Hive::CurrentUser, "Host"}] = publishing_->host;
    registry_[{platform::Hive::CurrentUser, "Port"}] = publishing_->port;
    publishing_.reset();
  }
  const auto it = registry_.find({hive, name});
  if (it == registry_.end()) return std::nullopt;
  const auto* text = std::get_if<std::string>(&it->second);
  if (text == nullptr || text->size() + 1 > platform::kRegistryTextLimit) {
    return std::nullopt;
  }
  return *text;
}

std::optional<uint32_t> FakePlatform::read_dword(platform::Hive hive,
                                                 const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  log(std::string("read_dword ") + hive_name(hive) + " " + name);
  const auto it = registry_.find({hive, name});
  if (it == registry_.end()) return std::nullopt;
  const auto* number = std::get_if<uint32_t>(&it->second);
  if (number == nullptr) return std::nullopt;
  return *number;
}

void FakePlatform::delete_values(platform::Hive hive, const char* const* names,
                                 std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < count; ++i) {
    log(std::string("delete ") + hive_name(hive) + " " + names[i]);
    registry_.erase({hive, names[i]});
  }
}

bool FakePlatform::write_text(platform::Hive hive, const char* name,
                              const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  log(std::string("write ") + hive_name(hive) + " " + name);
  registry_[{hive, name}] = value;
  return true;
}

bool FakePlatform::write_dword(platform::Hive hive, const char* name,
                               uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  log(std::string("write ") + hive_name(hive) + " " + name);
  registry_[{hive, name}] = value;
  return true;
}

std::string FakePlatform::executable_path() {
  std::lock_guard<std::mutex> lock(mutex_);
  log("executable_path");
  return executable_path_;
}

bool FakePlatform::launch_program(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  log("launch " + path);
  const auto it = programs_.find(path);
  if (it == programs_.end() || !it->second.starts) return false;
  if (it->second.publishes_on_read) {
    publishing_ = it->second;
    reads_until_publish_ = *it->second.publishes_on_read;
  } else {
    publishing_.reset();
  }
  return true;
}

std::unique_ptr<platform::NamedMutexLock> FakePlatform::acquire_named_mutex(
    const char* name, std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  log(std::string("mutex acquire ") + name + " " +
      std::to_string(timeout.count()));
  ++mutexes_held_;
  return std::make_unique<Lock>(*this, mutex_owned_);
}

void FakePlatform::release_mutex() {
  std::lock_guard<std::mutex> lock(mutex_);
  log("mutex release");
  --mutexes_held_;
}

std::chrono::steady_clock::time_point FakePlatform::now() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void FakePlatform::sleep_for(std::chrono::milliseconds duration) {
  std::lock_guard<std::mutex> lock(mutex_);
  log("sleep " + std::to_string(duration.count()));
  now_ += duration;
}

void FakePlatform::log(std::string entry) {
  calls_.push_back(std::move(entry));
}

}  // namespace kovra62386::test
