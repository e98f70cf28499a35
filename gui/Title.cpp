#include "Title.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <chrono>

#include "JpegImage.h"
#include "ui_Title.h"

// The program's pictures are compiled into the wizard's library; naming them
// here makes sure the linker keeps them.
static void LoadPictures() {
  Q_INIT_RESOURCE(resources);
}

namespace tamarind {

SplashClock SystemClock() {
  SplashClock clock;
  clock.now = [] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());  // wraps, as the tick count does
  };
  clock.waitUpTo = [](uint32_t ms) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
    loop.exec();
  };
  return clock;
}

TFm_Title::TFm_Title(SplashClock clock, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint),
      ui(new Ui::TFm_Title),
      clock_(std::move(clock)) {
  LoadPictures();
  ui->setupUi(this);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  QFile picture(QStringLiteral(":/title.jpg"));
  if (picture.open(QIODevice::ReadOnly)) {
    ui->Img_Title->setPixmap(QPixmap::fromImage(DecodeJpeg(picture.readAll())));
  }
  FormCreate();
}

TFm_Title::~TFm_Title() {
  delete ui;
}

void TFm_Title::FormCreate() {
  const QPixmap picture = ui->Img_Title->pixmap();
  if (!picture.isNull()) {
    ui->Img_Title->setGeometry(0, 0, picture.width(), picture.height());
    setFixedSize(picture.size());
  }
  StartTick = clock_.now();
}

void TFm_Title::FormHide() {
  for (;;) {
    QCoreApplication::processEvents();
    const uint32_t elapsed = clock_.now() - StartTick;  // modulo 2^32
    if (elapsed >= SplashMinimumTime) return;
    clock_.waitUpTo(SplashMinimumTime - elapsed);
  }
}

void TFm_Title::ShowNow() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(), size());
    frame.moveCenter(screen->geometry().center());
    move(frame.topLeft());
  }
  show();
  // No event loop runs yet: give the window system a moment (at most a
  // second) to put the window up, then paint straight away.
  QElapsedTimer waited;
  waited.start();
  while (windowHandle() != nullptr && !windowHandle()->isExposed() && waited.elapsed() < 1000) {
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  repaint();
}

void TFm_Title::setVisible(bool visible) {
  if (!visible && isVisible()) FormHide();
  QWidget::setVisible(visible);
}

}  // namespace tamarind
