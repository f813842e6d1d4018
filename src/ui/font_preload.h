#pragma once
// Reads the system's font configuration ahead of the first text layout.
//
// Where Qt finds its fonts through fontconfig, the first text it lays out makes fontconfig read
// every configuration file and font cache, on the main thread, while the window waits for its
// first frame. Created first thing in main(), a FontPreload does that reading on a worker while
// the application loads its plugins and connects to the display. Qt then finds the
// configuration loaded. Where fonts come from a system service (macOS) there is nothing to read
// ahead and no worker is started.
#include <thread>

namespace corvane::ui {

class FontPreload {
  public:
    FontPreload();
    // Waits for the worker, if it still reads.
    ~FontPreload() = default;
    FontPreload(const FontPreload&) = delete;
    FontPreload& operator=(const FontPreload&) = delete;

    // Waits for the reading to end. Call it before the first window is built: the result is the
    // same without it, but two threads reading at once each pay in full.
    void wait();

  private:
    std::jthread mWorker;
};

}  // namespace corvane::ui
