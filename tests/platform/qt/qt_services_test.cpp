// The Qt services against the real Qt event loop. Waits are bounded generously and nothing
// is asserted about pace: only that things happen, in order, and stop.
#include "platform/qt/qt_services.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace horatone {
namespace {

constexpr int kGenerousMs = 10000;

bool WaitFor(const std::function<bool()>& done) {
  QElapsedTimer waited;
  waited.start();
  while (!done() && waited.elapsed() < kGenerousMs) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  return done();
}

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
  EXPECT_TRUE(std::is_sorted(fired.begin(), fired.end()));

  int restarted = 0;
  QtTimerService::TimerId again = -1;
  again = timers.CreateTimer([&] {
    if (++restarted < 3) timers.StartTimer(again, 1000, 1);
  });
  timers.StartTimer(again, 1000, 1);
  EXPECT_TRUE(WaitFor([&] { return restarted == 3; }));
}

// Finds the open message box once the loop runs, records what it shows and presses `press`.
struct BoxInspector {
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton default_button = QMessageBox::NoButton;

  void PressWhenShown(QMessageBox::StandardButton press) {
    QTimer::singleShot(0, [this, press] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return PressWhenShown(press);
      text = box->text();
      title = box->windowTitle();
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
  const MsgAnswer answer =
      dialogs.MessageBox({"Quit Program - Are You Sure ? Remember To Save Any Changes  ",
                          "Exit Program", MsgIcon::kQuestion, MsgButtons::kYesNo, MsgAnswer::kYes});
  EXPECT_EQ(answer, MsgAnswer::kNo);
  EXPECT_EQ(seen.text, "Quit Program - Are You Sure ? Remember To Save Any Changes  ");
  EXPECT_EQ(seen.title, "Exit Program");
  EXPECT_EQ(seen.icon, QMessageBox::Question);
  EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(seen.default_button, QMessageBox::Yes);

  BoxInspector error;
  error.PressWhenShown(QMessageBox::Ok);
  EXPECT_EQ(dialogs.MessageBox({"line one\r\nline <b>two</b> & more", "Error", MsgIcon::kStop}),
            MsgAnswer::kOk);
  EXPECT_EQ(error.text, "line one\nline <b>two</b> & more");
  EXPECT_EQ(error.icon, QMessageBox::Critical);
  EXPECT_EQ(error.buttons, QMessageBox::Ok);
}

// A link in a message is shown whole on one line, in a box that fits the screen.
TEST(QtDialogs, KeepALongLinkWholeWithinTheScreen) {
  const QString link = QStringLiteral(
      "https://pay.horatone.invalid/xclick/business=maker@horatone.invalid&amount=$30.00");
  const QString text = "The '" + link + "' File or Path was Not Found.";
  QMessageBox box(QMessageBox::Warning, "Horatone", text);
  KeepWordsWhole(box, text);
  box.show();
  QApplication::processEvents();
  auto* label = box.findChild<QLabel*>("qt_msgbox_label");
  ASSERT_NE(label, nullptr);
  EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance("'" + link + "'"));
  EXPECT_LE(box.frameGeometry().width(), box.screen()->availableGeometry().width());
  box.hide();
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
