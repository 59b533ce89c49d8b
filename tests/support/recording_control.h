#pragma once

#include <optional>
#include <vector>

#include "runtime/late_binding.h"
#include "runtime/runtime_error.h"

namespace pelvaro::testing {

// A serial control that records every property assignment it is given, in order, and can be
// told to fail one of them (counted from 1) the way a real control fails: with a run-time error.
class RecordingControl final : public Dispatch {
 public:
  struct Assignment {
    int dispid;
    Variant value;
  };

  explicit RecordingControl(std::optional<int> failing_assignment = std::nullopt,
                            ErrorNumber failure = ErrorNumber::device_unavailable)
      : failing_(failing_assignment), failure_(failure) {}

  void put_property(int dispid, const Variant& value) override {
    assignments.push_back({dispid, value});
    if (failing_ == static_cast<int>(assignments.size())) throw RuntimeError{failure_};
  }

  std::vector<Assignment> assignments;

 private:
  std::optional<int> failing_;
  ErrorNumber failure_;
};

}  // namespace pelvaro::testing
