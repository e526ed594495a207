#include "ui/qt/node_panel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

#include "node/simulated/simulated_node.h"
#include "runtime/virtual_loop.h"
#include "shell/form1.h"

namespace horatone {

NodePanel::NodePanel(Form1& form, SimulatedNode& node, const QFont& font)
    : QWidget(nullptr, Qt::Window), form_(form), node_(node) {
  setObjectName("NodePanel");
  setFont(font);
  setWindowTitle(tr("Simulated node"));
  auto* column = new QVBoxLayout(this);

  auto* send = new QGridLayout;
  auto add_row = [&](int row, const QString& caption, QLineEdit*& edit, const char* name,
                     void (NodePanel::*action)()) {
    send->addWidget(new QLabel(caption), row, 0);
    edit = new QLineEdit;
    edit->setObjectName(name);
    send->addWidget(edit, row, 1);
    auto* button = new QPushButton(tr("Send"));
    button->setObjectName(QString(name) + "Send");
    send->addWidget(button, row, 2);
    connect(button, &QPushButton::clicked, this, action);
    connect(edit, &QLineEdit::returnPressed, this, action);
  };
  add_row(0, tr("DTMF digits"), dtmf_, "Dtmf", &NodePanel::SendDtmf);
  add_row(1, tr("Chat line"), chat_, "Chat", &NodePanel::SendChat);
  column->addLayout(send);

  auto* state = new QHBoxLayout;
  for (int flag = 0; flag < 3; ++flag) {
    auto* busy = new QCheckBox(tr("Busy %1").arg(flag + 1));
    busy->setObjectName(QString("Busy%1").arg(flag + 1));
    busy->setChecked(node_.busy[flag]);
    connect(busy, &QCheckBox::toggled, this, [this, flag](bool on) { node_.busy[flag] = on; });
    state->addWidget(busy);
  }
  state->addStretch();
  transmitter_ = new QLabel;
  transmitter_->setObjectName("Transmitter");
  QFont bold = transmitter_->font();
  bold.setBold(true);
  transmitter_->setFont(bold);
  state->addWidget(transmitter_);
  column->addLayout(state);

  log_ = new QPlainTextEdit;
  log_->setObjectName("Log");
  log_->setReadOnly(true);
  log_->setMaximumBlockCount(kLogLines);
  log_->setMinimumSize(360, 180);
  column->addWidget(log_, 1);

  auto* close = new QPushButton(tr("Close node and end the clock"));
  close->setObjectName("CloseNode");
  close->setToolTip(tr("The node program closes; the clock ends with it, without saving"));
  connect(close, &QPushButton::clicked, this,
          [this] { form_.Dispatch([this] { node_.Close(); }); });
  column->addWidget(close, 0, Qt::AlignRight);

  node_.on_call = [this] { FollowCalls(); };
  FollowCalls();
}

NodePanel::~NodePanel() { node_.on_call = nullptr; }

void NodePanel::SendDtmf() {
  const std::string digits = dtmf_->text().toStdString();
  form_.Dispatch([this, &digits] { node_.SendDtmf(digits); });
}

void NodePanel::SendChat() {
  const std::string line = chat_->text().toStdString();
  form_.Dispatch([this, &line] { node_.SendChat(line); });
}

void NodePanel::FollowCalls() {
  transmitter_->setText(node_.keyed() ? tr("Transmitting") : tr("Receiving"));
  QPalette palette = transmitter_->palette();
  palette.setColor(QPalette::WindowText, node_.keyed() ? QColor(255, 0, 0) : QColor(0, 128, 0));
  transmitter_->setPalette(palette);

  // Each call at the local time it was made: now, less how long ago it was.
  const auto& calls = node_.calls();
  if (logged_ >= calls.size()) return;
  Form1Services& services = form_.services();
  const LocalTime now = services.clock.Now();
  const std::int64_t now_ms = services.timers.NowMs();
  for (; logged_ < calls.size(); ++logged_) {
    const QString what = QString::fromStdString(calls[logged_].what);
    if (repeats_ > 0 && what == last_line_) {
      // The same call again: its line keeps the first time and counts the repeats.
      ++repeats_;
      QTextCursor cursor(log_->document());
      cursor.movePosition(QTextCursor::End);
      cursor.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
      const QString shown = cursor.selectedText();
      const qsizetype stamp = shown.indexOf(QStringLiteral("  "));
      cursor.insertText(shown.left(stamp + 2) + what + QStringLiteral(" ×%1").arg(repeats_));
      continue;
    }
    const LocalTime at = AddMilliseconds(now, calls[logged_].ms - now_ms);
    log_->appendPlainText(QString("%1:%2:%3.%4  %5")
                              .arg(at.hour, 2, 10, QChar('0'))
                              .arg(at.minute, 2, 10, QChar('0'))
                              .arg(at.second, 2, 10, QChar('0'))
                              .arg(at.millisecond, 3, 10, QChar('0'))
                              .arg(what));
    last_line_ = what;
    repeats_ = 1;
  }
}

}  // namespace horatone
