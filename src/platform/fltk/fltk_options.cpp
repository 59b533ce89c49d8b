#include "platform/fltk/fltk_options.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>

// Written against FLTK 1.3's private members; another version needs its own look.
static_assert(FL_MAJOR_VERSION == 1 && FL_MINOR_VERSION == 3, "FLTK 1.3 option storage expected");

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
