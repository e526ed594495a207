#include "ui/qt/qt_services.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace horatone {

QtTimerService::QtTimerService() { elapsed_.start(); }

QtTimerService::~QtTimerService() {
  for (auto& entry : timers_) entry->timer->stop();
}

TimerService::TimerId QtTimerService::CreateTimer(std::function<void()> on_fire) {
  auto entry = std::make_unique<Entry>();
  entry->timer = std::make_unique<QTimer>();
  entry->on_fire = std::move(on_fire);
  Entry* raw = entry.get();
  QObject::connect(raw->timer.get(), &QTimer::timeout, [raw] {
    // After a shortened first period the timer goes on at its interval; the handler may
    // restart it with another first delay, which then stands.
    if (raw->timer->interval() != raw->interval_ms) raw->timer->setInterval(raw->interval_ms);
    raw->on_fire();
  });
  timers_.push_back(std::move(entry));
  return static_cast<TimerId>(timers_.size() - 1);
}

void QtTimerService::StartTimer(TimerId id, int interval_ms, int first_delay_ms) {
  Entry& entry = *timers_.at(static_cast<size_t>(id));
  entry.interval_ms = interval_ms;
  // The sequencer, the progress refresh and the second-aligned clock tick keep their times
  // to the millisecond; the slower refreshes may share their wake-ups (Qt moves them by up
  // to 5 %), which is most of what an idle window costs.
  const bool precise = interval_ms < 100 || first_delay_ms >= 0;
  entry.timer->setTimerType(precise ? Qt::PreciseTimer : Qt::CoarseTimer);
  entry.timer->start(first_delay_ms < 0 ? interval_ms : first_delay_ms);
}

void QtTimerService::StopTimer(TimerId id) { timers_.at(static_cast<size_t>(id))->timer->stop(); }

namespace {

QMessageBox::Icon ToQt(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::kQuestion:
      return QMessageBox::Question;
    case MsgIcon::kExclamation:
      return QMessageBox::Warning;
    case MsgIcon::kStop:
      return QMessageBox::Critical;
    case MsgIcon::kInformation:
      return QMessageBox::Information;
    case MsgIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButton ToQt(MsgAnswer answer) {
  switch (answer) {
    case MsgAnswer::kYes:
      return QMessageBox::Yes;
    case MsgAnswer::kNo:
      return QMessageBox::No;
    case MsgAnswer::kOk:
      break;
  }
  return QMessageBox::Ok;
}

}  // namespace

// Lines wrap at word boundaries. A word wider than the box Qt would make (a link) widens it,
// up to what the screen holds, rather than being broken or cut.
void KeepWordsWhole(QMessageBox& box, const QString& text) {
  int widest = 0;
  const QFontMetrics metrics(box.font());
  static const QRegularExpression kSpace(QStringLiteral("\\s+"));
  for (const QString& word : text.split(kSpace, Qt::SkipEmptyParts)) {
    widest = std::max(widest, metrics.horizontalAdvance(word));
  }
  const QWidget* parent = box.parentWidget();
  const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
  // The icon, margins and frame take about this much beside the text.
  constexpr int kBesideText = 120;
  const int room = screen ? screen->availableGeometry().width() - kBesideText : widest;
  box.setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { min-width: %1px; }")
                        .arg(std::clamp(widest, 0, std::max(room, 0))));
}

MsgAnswer QtDialogs::MessageBox(const MessageBoxRequest& request) {
  // Lines joined by CR LF are shown as lines; the text is otherwise shown as it stands.
  QString text = QString::fromStdString(request.text);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(ToQt(request.icon), QString::fromStdString(request.title), text,
                  QMessageBox::NoButton, parent_.data());
  box.setTextFormat(Qt::PlainText);
  KeepWordsWhole(box, text);
  if (request.buttons == MsgButtons::kYesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(ToQt(request.default_answer) == QMessageBox::No ? QMessageBox::No
                                                                         : QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
  }
  const int answer = box.exec();
  if (request.buttons == MsgButtons::kOk) return MsgAnswer::kOk;
  return answer == QMessageBox::Yes ? MsgAnswer::kYes : MsgAnswer::kNo;
}

void QtProgramEnd::EndNow() {
  ended_ = true;
  // Leaves the main loop and every nested one (an open message box); the windows go with
  // the process.
  QCoreApplication::exit(0);
}

}  // namespace horatone
