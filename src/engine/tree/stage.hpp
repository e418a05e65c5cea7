#pragma once

// What a fit is doing, so that running out of memory can say so: each large
// step of growth marks itself, with about how many bytes it needs, on the
// thread that runs the fit. The mark is left in place when the step fails, for
// the door that catches the failure to read.

#include <cstddef>
#include <exception>
#include <new>
#include <string>

namespace qor {

struct FitStage {
  const char* doing = nullptr;  // what the fit was doing, or null before any step
  std::size_t bytes = 0;        // about how much that step allocates
};

inline FitStage& fit_stage() noexcept {
  thread_local FitStage stage;
  return stage;
}

class StageMark {
 public:
  StageMark(const char* doing, std::size_t bytes) noexcept
      : saved_(fit_stage()), unwinding_(std::uncaught_exceptions()) {
    fit_stage() = {doing, bytes};
  }
  StageMark(const StageMark&) = delete;
  StageMark& operator=(const StageMark&) = delete;
  // A step that fails leaves its mark for whoever catches the failure.
  ~StageMark() {
    if (std::uncaught_exceptions() == unwinding_) fit_stage() = saved_;
  }

 private:
  FitStage saved_;
  int unwinding_;
};

// An allocation failure that says what the fit was doing and about how much
// that needed: what a door raises in place of a bare std::bad_alloc.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(const FitStage& stage) {
    message_ = "out of memory";
    if (stage.doing != nullptr) {
      message_ += std::string(" while ") + stage.doing;
      if (stage.bytes > 0) {
        const double mib = static_cast<double>(stage.bytes) / (1024.0 * 1024.0);
        message_ += ", which needs about " + std::to_string(static_cast<long long>(mib + 0.5)) +
                    " MiB";
      }
    }
  }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace qor
