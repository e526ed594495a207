// Message boxes for the command-line front ends: each box becomes one line on the error
// stream ("title: text") and is answered with its default button, so that an unattended
// clock never waits for a click.
#pragma once

#include <functional>
#include <string>

#include "shell/services.h"

namespace horatone {

class ConsoleDialogs : public Dialogs {
 public:
  // Each box's line goes to `write`.
  explicit ConsoleDialogs(std::function<void(const std::string&)> write) : write_(std::move(write)) {}
  MsgAnswer MessageBox(const MessageBoxRequest& request) override;
  int shown() const { return shown_; }

 private:
  std::function<void(const std::string&)> write_;
  int shown_ = 0;
};

// One line for a box: its title, a colon, and its text with line breaks folded to blanks.
std::string MessageLine(const MessageBoxRequest& request);

}  // namespace horatone
