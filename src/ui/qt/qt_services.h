// The Qt side of the window's services: timers on the Qt event loop, modal message boxes,
// and ending the program by leaving every running event loop. GUI thread only.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <vector>

#include "shell/services.h"

class QMessageBox;
class QString;
class QWidget;

namespace horatone {

// Each timer is a QTimer; a first delay other than the interval is a shortened first period,
// after which the timer runs at its interval. Precise timers throughout: the 1 ms and 10 ms
// timers would be rounded to nothing otherwise, and the clock tick is aimed at a moment just
// past each second, which a coarse timer could miss by 5%.
class QtTimerService : public TimerService {
 public:
  QtTimerService();
  ~QtTimerService() override;
  TimerId CreateTimer(std::function<void()> on_fire) override;
  void StartTimer(TimerId id, int interval_ms, int first_delay_ms = -1) override;
  void StopTimer(TimerId id) override;
  std::int64_t NowMs() const override { return elapsed_.elapsed(); }

 private:
  struct Entry {
    std::unique_ptr<QTimer> timer;
    std::function<void()> on_fire;
    int interval_ms = 0;
  };
  std::vector<std::unique_ptr<Entry>> timers_;
  QElapsedTimer elapsed_;
};

// Widens `box` so that no word of `text` (a link, a path) is broken, as far as the screen allows.
void KeepWordsWhole(QMessageBox& box, const QString& text);

// QMessageBox with the request's exact text, title, icon, buttons and default button.
class QtDialogs : public Dialogs {
 public:
  MsgAnswer MessageBox(const MessageBoxRequest& request) override;
  // The window the boxes are centred on; none until the main window exists.
  void set_parent(QWidget* parent) { parent_ = parent; }

 private:
  QPointer<QWidget> parent_;
};

// Leaves every event loop of the thread, the message boxes' included; nothing runs after.
class QtProgramEnd : public ProgramEnd {
 public:
  void EndNow() override;
  bool ended() const { return ended_; }

 private:
  bool ended_ = false;
};

}  // namespace horatone
