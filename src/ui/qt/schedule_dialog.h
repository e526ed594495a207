// The schedule dialog of the View menu: one line per key of the schedule's section, with its
// rule beside it. OK checks every line by the schedule's rules and applies them all to the
// window model, or none (the refusals are listed); the window's Save writes them.
#pragma once

#include <QDialog>
#include <vector>

class QLabel;
class QLineEdit;

namespace horatone {

class Form1;

class ScheduleDialog : public QDialog {
 public:
  ScheduleDialog(Form1& form, QWidget* parent);
  // The lines from the model, as the dialog opens.
  void Refresh();
  // Checks and applies the lines; true when all were taken.
  bool Apply();
  QLineEdit* line(const char* key) const;
  QLabel* problems() const { return problems_; }

 private:
  Form1& form_;
  std::vector<QLineEdit*> lines_;  // in table order
  QLabel* problems_ = nullptr;
};

}  // namespace horatone
