#pragma once
// A logout, restart or shut-down as a request to quit, told by the system before it asks the
// application to terminate. On macOS Qt may refuse that request by itself while a modal panel
// is up (the exit panel during the download), which would leave the logout waiting on the
// panel; this hears of it first. Elsewhere it does nothing.
#include <functional>
#include <memory>

namespace corvane::ui {

class PowerOffWatch {
  public:
    // `onPowerOff` runs on the main thread, once per notice.
    explicit PowerOffWatch(std::function<void()> onPowerOff);
    ~PowerOffWatch();
    PowerOffWatch(const PowerOffWatch&) = delete;
    PowerOffWatch& operator=(const PowerOffWatch&) = delete;

  private:
    struct Observer;
    std::unique_ptr<Observer> mObserver;
};

#if !defined(__APPLE__)
struct PowerOffWatch::Observer {};
inline PowerOffWatch::PowerOffWatch(std::function<void()>) {}
inline PowerOffWatch::~PowerOffWatch() = default;
#endif

}  // namespace corvane::ui
