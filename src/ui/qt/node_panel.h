// The simulated node's face, for trying the clock without a node program: send DTMF digits
// and chat lines to the clock, set the three busy flags, see the node's transmitter, close
// the node, and read the log of every call the clock made, with its local time; a call
// repeating the one before it (the idle release every second) counts up on that call's line.
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace horatone {

class Form1;
class SimulatedNode;

class NodePanel : public QWidget {
 public:
  // Lines the log keeps; the clock releases the transmitter every idle second.
  static constexpr int kLogLines = 5000;

  NodePanel(Form1& form, SimulatedNode& node, const QFont& font);
  ~NodePanel() override;

  void SendDtmf();
  void SendChat();

 private:
  // Shows the transmitter and appends the calls not yet in the log.
  void FollowCalls();

  Form1& form_;
  SimulatedNode& node_;
  QLineEdit* dtmf_ = nullptr;
  QLineEdit* chat_ = nullptr;
  QLabel* transmitter_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  size_t logged_ = 0;
  QString last_line_;  // the last line as first logged, before any count
  int repeats_ = 0;    // how often that call came in a row
};

}  // namespace horatone
