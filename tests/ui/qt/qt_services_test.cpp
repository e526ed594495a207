// The Qt services against the real Qt event loop. Waits are bounded generously and nothing
// is asserted about pace: only that things happen, in order, and stop.
#include "ui/qt/qt_services.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace horatone {
namespace {

constexpr int kGenerousMs = 10000;

bool WaitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, kGenerousMs); }

TEST(QtTimerService, FiresUntilStoppedAndAHandlerMayRestartItsOwnTimer) {
  QtTimerService timers;
  std::vector<std::int64_t> fired;
  const auto id = timers.CreateTimer([&] { fired.push_back(timers.NowMs()); });
  timers.StartTimer(id, 20, 1);
  ASSERT_TRUE(WaitFor([&] { return fired.size() >= 3; }));
  timers.StopTimer(id);
  const size_t after_stop = fired.size();
  QCoreApplication::processEvents();
  EXPECT_EQ(fired.size(), after_stop);
  // A handler may restart its own timer.
  int restarted = 0;
  QtTimerService::TimerId again = -1;
  again = timers.CreateTimer([&] {
    if (++restarted < 3) timers.StartTimer(again, 1000, 1);
  });
  timers.StartTimer(again, 1000, 1);
  EXPECT_TRUE(WaitFor([&] { return restarted == 3; }));
}

// Presses `press` on the message box once the loop shows it, and keeps what the box showed.
struct BoxInspector {
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton default_button = QMessageBox::NoButton;

  void PressWhenShown(QMessageBox::StandardButton press) {
    QTimer::singleShot(0, [this, press] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return PressWhenShown(press);
      text = box->text();
      icon = box->icon();
      buttons = box->standardButtons();
      default_button = box->standardButton(box->defaultButton());
      box->button(press)->click();
    });
  }
};

TEST(QtDialogs, ShowTheRequestExactlyAndReturnTheAnswer) {
  QtDialogs dialogs;
  BoxInspector seen;
  seen.PressWhenShown(QMessageBox::No);
  EXPECT_EQ(dialogs.MessageBox(
                {"Quit?", "Exit Program", MsgIcon::kQuestion, MsgButtons::kYesNo, MsgAnswer::kYes}),
            MsgAnswer::kNo);
  EXPECT_EQ(seen.icon, QMessageBox::Question);
  EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(seen.default_button, QMessageBox::Yes);
  // Plain text: line breaks are kept, markup is shown as it is.
  seen.PressWhenShown(QMessageBox::Ok);
  EXPECT_EQ(dialogs.MessageBox({"line one\r\nline <b>two</b> & more", "Error", MsgIcon::kStop}),
            MsgAnswer::kOk);
  EXPECT_EQ(seen.text, "line one\nline <b>two</b> & more");
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
}

TEST(QtProgramEnd, LeavesTheMainLoopFromInsideAMessageBox) {
  QtDialogs dialogs;
  QtProgramEnd end;
  bool box_returned = false;
  bool watchdog = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, [&] { end.EndNow(); });
    dialogs.MessageBox({"open while the program ends", "Horatone", MsgIcon::kExclamation});
    box_returned = true;
  });
  QTimer::singleShot(kGenerousMs, [&] {
    watchdog = true;
    QCoreApplication::exit(1);
  });
  QApplication::exec();
  EXPECT_FALSE(watchdog);
  EXPECT_TRUE(box_returned);
  EXPECT_TRUE(end.ended());
}

}  // namespace
}  // namespace horatone
