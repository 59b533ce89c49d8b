#pragma once

namespace pelvaro {

// FLTK 1.3 reads its options from preference files (~/.fltk, /etc/fltk) on first use and writes
// those files back, creating them where they are missing. pelvaro writes no files: this gives the
// toolkit its default options before it looks for them.
void use_default_fltk_options();

}  // namespace pelvaro
