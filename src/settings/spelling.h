#pragma once

#include <string_view>

namespace pelvaro {

// Whether the settings value `value`, as the profile lookup gave it, spells `word`, a choice
// written in ASCII capitals such as "KAPALI": in any letter case, with the Turkish dotless ı and
// dotted İ (or I or i with a combining dot above) standing for I, whatever encoding the file was
// saved in. The value's 8-bit form counts
// too, so that a file the system read in another encoding than it was saved in still spells it:
// UTF-8 read as 8-bit text (ı is C4 B1), or Turkish 8-bit text (windows-1254 and ISO 8859-9,
// where ı is FD and İ DD) read as UTF-8 or under another code page.
bool spells_choice(std::u16string_view value, std::u16string_view word);

}  // namespace pelvaro
