#pragma once

#include <new>
#include <optional>
#include <utility>

#include "runtime/runtime_error.h"

namespace pelvaro {

enum class ErrorPolicy {
  propagate,    // the first failing statement leaves the handler as an error
  resume_next,  // a failing statement is dropped silently and the next one runs
};

// Runs a handler's statements one by one under its error policy. Under resume-next each
// statement is the unit that a failure abandons; the trap remembers that something was dropped
// so that the caller can tell a clean run from a silent failure.
class ErrorTrap {
 public:
  explicit ErrorTrap(ErrorPolicy policy) : policy_(policy) {}

  template <class Statement>
  void run(Statement&& statement) {
    if (policy_ == ErrorPolicy::propagate) {
      std::forward<Statement>(statement)();
      return;
    }
    try {
      std::forward<Statement>(statement)();
    } catch (const RuntimeError& error) {
      drop(error);
    } catch (const std::bad_alloc&) {
      drop(RuntimeError{ErrorNumber::out_of_memory});
    }
  }

  bool dropped_any() const { return first_dropped_.has_value(); }
  const std::optional<RuntimeError>& first_dropped() const { return first_dropped_; }

 private:
  void drop(const RuntimeError& error) {
    if (!first_dropped_) first_dropped_ = error;
  }

  ErrorPolicy policy_;
  std::optional<RuntimeError> first_dropped_;
};

}  // namespace pelvaro
