#pragma once

#include <optional>
#include <utility>

#include "runtime/runtime_error.h"

namespace pelvaro::testing {

// The number of the RuntimeError that `statement` throws, or nothing when it throws none.
template <class Statement>
std::optional<ErrorNumber> error_number_of(Statement&& statement) {
  try {
    std::forward<Statement>(statement)();
  } catch (const RuntimeError& error) {
    return error.number();
  }
  return std::nullopt;
}

}  // namespace pelvaro::testing
