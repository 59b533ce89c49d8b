#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace pelvaro {

// A property value as late binding passes it: a 16-bit signed integer, a wide string or a boolean.
using Variant = std::variant<std::int16_t, std::u16string, bool>;

// An object whose properties are assigned by dispatch ID rather than through a typed interface.
// An assignment either takes effect or throws RuntimeError.
class Dispatch {
 public:
  virtual ~Dispatch() = default;
  virtual void put_property(int dispid, const Variant& value) = 0;
};

}  // namespace pelvaro
