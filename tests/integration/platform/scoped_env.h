// Sets or clears one environment variable for the lifetime of the object and
// puts the previous value back afterwards. Tests only; not thread-safe.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace launcher::testing {

class ScopedEnv {
 public:
  // A null `value` clears the variable.
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (previous_) {
      ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace launcher::testing
