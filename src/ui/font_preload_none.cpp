#include "ui/font_preload.h"

namespace corvane::ui {

// Core Text keeps the font registry in a system service: nothing to read ahead.
FontPreload::FontPreload() = default;

void FontPreload::wait() {}

}  // namespace corvane::ui
