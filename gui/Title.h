// Title: the splash picture shown while the program starts.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>

namespace Ui {
class TFm_Title;
}

namespace tamarind {

// How long the splash stays at least, counted from its creation.
constexpr uint32_t SplashMinimumTime = 2000;

// The clock the splash waits by: milliseconds in 32 bits, wrapping like the
// system's tick count, and a wait of at most so many milliseconds during
// which events are still handled. Tests put in a clock of their own.
struct SplashClock {
  std::function<uint32_t()> now;
  std::function<void(uint32_t)> waitUpTo;
};

// The system's clock, waiting on a timer rather than spinning.
SplashClock SystemClock();

class TFm_Title : public QWidget {
  Q_OBJECT

 public:
  explicit TFm_Title(SplashClock clock = SystemClock(), QWidget* parent = nullptr);
  ~TFm_Title() override;

  uint32_t StartTick = 0;

  // Sizes the window to its picture and notes when it was made.
  void FormCreate();
  // Returns once the splash has stood for SplashMinimumTime since its
  // creation, handling waiting events at least once.
  void FormHide();

  // Shows the splash centred on the screen and paints it at once.
  void ShowNow();
  // Hiding waits in FormHide first, so the splash stays on screen through
  // the whole wait.
  void setVisible(bool visible) override;

 private:
  Ui::TFm_Title* ui;
  SplashClock clock_;
};

}  // namespace tamarind
