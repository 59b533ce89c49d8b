#include "platform/fltk/fltk_options.h"

#include <FL/Fl.H>

// FLTK 1.3 keeps its options in private static members with no way to set them without first
// reading the preference files. An explicit instantiation may name private members, which gives
// these two functions their addresses.
namespace {

template <unsigned char* Read, unsigned char (*Options)[Fl::OPTION_LAST]>
struct FltkOptionStorage {
  friend unsigned char* options_read_flag() { return Read; }
  friend unsigned char* option_values() { return *Options; }
};

unsigned char* options_read_flag();
unsigned char* option_values();

template struct FltkOptionStorage<&Fl::options_read_, &Fl::options_>;

}  // namespace

namespace pelvaro {

void use_default_fltk_options() {
  unsigned char* values = option_values();
  for (int option = 0; option < Fl::OPTION_LAST; ++option) values[option] = 1;
  values[Fl::OPTION_ARROW_FOCUS] = 0;
  *options_read_flag() = 1;
}

}  // namespace pelvaro
