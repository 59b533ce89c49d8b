#pragma once

// Resource numbers shared by pelvaro.rc and the code that loads them (plain macros, as the
// resource compiler reads this file too).
#define PELVARO_ICON 1
