// The schedule dialog; see schedule_dialog.h.
#include "ui/qt/schedule_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "shell/form1.h"
#include "shell/schedule_form.h"
#include "shell/schedule_rules.h"

namespace horatone {

ScheduleDialog::ScheduleDialog(Form1& form, QWidget* parent) : QDialog(parent), form_(form) {
  setWindowTitle(tr("Schedule"));
  auto* column = new QVBoxLayout(this);
  auto* fields = new QFormLayout;
  for (const ScheduleKey& entry : kScheduleKeys) {
    auto* edit = new QLineEdit;
    const QString key = QString::fromUtf8(entry.key.data(), static_cast<int>(entry.key.size()));
    edit->setObjectName(QString::fromStdString(ScheduleFieldName(entry.key)));
    const QString rule = QString::fromUtf8(entry.rule.data(), static_cast<int>(entry.rule.size()));
    edit->setToolTip(rule);
    edit->setPlaceholderText(
        QString::fromUtf8(entry.default_text.data(), static_cast<int>(entry.default_text.size())));
    edit->setMinimumWidth(320);
    fields->addRow(key, edit);
    lines_.push_back(edit);
  }
  column->addLayout(fields);
  problems_ = new QLabel;
  problems_->setObjectName("ScheduleProblems");
  problems_->setWordWrap(true);
  problems_->setStyleSheet("color: #c00000");
  column->addWidget(problems_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (Apply()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  column->addWidget(buttons);
  Refresh();
}

void ScheduleDialog::Refresh() {
  const auto lines = form_.ScheduleLines();
  for (std::size_t i = 0; i < lines.size() && i < lines_.size(); ++i) {
    lines_[i]->setText(QString::fromStdString(lines[i].second));
  }
  problems_->clear();
}

bool ScheduleDialog::Apply() {
  std::vector<std::pair<std::string, std::string>> changed;
  QStringList refused;
  const auto current = form_.ScheduleLines();
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const std::string field = ScheduleFieldName(kScheduleKeys[i].key);
    const std::string text = lines_[i]->text().toStdString();
    if (i < current.size() && current[i].second == text) continue;
    if (const Status why = ScheduleFieldRefusal(field, text); !why) {
      refused << QString::fromStdString(why.message);
    } else {
      changed.emplace_back(field, text);
    }
  }
  problems_->setText(refused.join("\n"));
  if (!refused.isEmpty()) return false;
  form_.Dispatch([&] { ApplyScheduleFields(form_, changed); });
  return true;
}

QLineEdit* ScheduleDialog::line(const char* key) const {
  return findChild<QLineEdit*>(QString::fromStdString(ScheduleFieldName(key)));
}

}  // namespace horatone
