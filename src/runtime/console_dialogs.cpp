#include "runtime/console_dialogs.h"

namespace horatone {

std::string MessageLine(const MessageBoxRequest& request) {
  std::string text;
  bool in_break = false;
  for (char c : request.text) {
    if (c == '\r' || c == '\n') {
      if (!in_break) text += ' ';
      in_break = true;
    } else {
      text += c;
      in_break = false;
    }
  }
  return request.title + ": " + text;
}

MsgAnswer ConsoleDialogs::MessageBox(const MessageBoxRequest& request) {
  ++shown_;
  if (write_) write_(MessageLine(request));
  return request.default_answer;
}

}  // namespace horatone
