#include <fontconfig/fontconfig.h>

#include "ui/font_preload.h"

namespace corvane::ui {

// fontconfig publishes its loaded configuration atomically, so a reader racing this one only
// repeats the work. A failed load leaves nothing behind; Qt then loads and reports it itself.
FontPreload::FontPreload() : mWorker([] { static_cast<void>(FcInit()); }) {}

void FontPreload::wait() {
    if (mWorker.joinable()) {
        mWorker.join();
    }
}

}  // namespace corvane::ui
