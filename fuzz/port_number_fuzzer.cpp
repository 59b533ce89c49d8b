// Fuzzes the port-number conversion with arbitrary wide text.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/conversions.h"
#include "runtime/runtime_error.h"
#include "serial/send_sequence.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);

  const double value = pelvaro::read_number(text);
  check(!std::isnan(value));
  const std::size_t start = text.find_first_not_of(u" \t\n");
  const char16_t first = start == std::u16string::npos ? u'\0' : text[start];
  const bool may_start_a_number =
      (first >= u'0' && first <= u'9') || first == u'+' || first == u'-' || first == u'.';
  if (!may_start_a_number) check(value == 0.0);

  try {
    const std::int16_t port = pelvaro::port_number(text);
    check(std::abs(value - port) <= 0.5);
  } catch (const pelvaro::RuntimeError& error) {
    check(error.number() == pelvaro::ErrorNumber::overflow);
    check(!(value > -32768.5 && value < 32767.5));
  }
  return 0;
}
