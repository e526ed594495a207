#include "ui/qt/about_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "about/form14.h"
#include "ui/qt/pictures.h"
#include "shell/texts.h"

namespace horatone {
namespace {

// As designed beside the window's 8 point type; they scale with it.
constexpr qreal kTitleScale = 13.5 / 8;
constexpr qreal kDonationScale = 12.0 / 8;
constexpr int kPictureSize = 56;
constexpr int kLinkPictureSize = 32;

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace

AboutWindow::AboutWindow(Form14& model, const QFont& font)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      model_(model) {
  setObjectName("Form14");
  setFont(font);
  setWindowTitle(QString::fromStdString(model_.caption));
  auto* outer = new QVBoxLayout(this);
  auto* frame = new QGroupBox;
  outer->addWidget(frame);
  auto* column = new QVBoxLayout(frame);

  auto* head = new QHBoxLayout;
  auto* picture = new QLabel;
  picture->setObjectName("Picture1");
  picture->setPixmap(ClockPicture(kPictureSize));
  head->addWidget(picture);
  auto* title = new QLabel;
  title->setObjectName("Label6");
  QFont title_font = title->font();
  title_font.setPointSizeF(font.pointSizeF() * kTitleScale);
  title->setFont(title_font);
  title->setAlignment(Qt::AlignCenter);
  title->setWordWrap(true);
  bind_.Label(model_.Label6, title);
  head->addWidget(title, 1);
  column->addLayout(head);

  auto* maker = new QGroupBox;
  auto* lines = new QVBoxLayout(maker);
  lines->setSpacing(1);
  for (Label& line : model_.maker_labels) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromStdString(line.name()));
    label->setAlignment(Qt::AlignCenter);
    bind_.Label(line, label);
    lines->addWidget(label);
  }
  column->addWidget(maker);

  auto* links = new QHBoxLayout;
  const std::pair<CommandButton*, QPixmap> pictures[] = {
      {&model_.Command3, EnvelopePicture(kLinkPictureSize)},
      {&model_.Command2, GlobePicture(kLinkPictureSize)}};
  for (const auto& [button, pixmap] : pictures) {
    auto* widget = new QPushButton;
    widget->setObjectName(QString::fromStdString(button->name()));
    widget->setIcon(QIcon(pixmap));
    widget->setIconSize(pixmap.size());
    bind_.Button(*button, widget);
    links->addWidget(widget);
  }
  // Screen readers name the picture buttons by what they open.
  links->itemAt(0)->widget()->setAccessibleName(tr("E-mail"));
  links->itemAt(1)->widget()->setAccessibleName(tr("Web site"));
  column->addLayout(links);

  auto* combo = new QComboBox;
  combo->setObjectName("Combo1");
  combo->setToolTip(Q(texts::kDonationAmountTooltip));
  bind_.Combo(model_.Combo1, combo);
  column->addWidget(combo);
  auto* donate = new QPushButton;
  donate->setObjectName("Command4");
  QFont donate_font = donate->font();
  donate_font.setPointSizeF(font.pointSizeF() * kDonationScale);
  donate_font.setBold(true);
  donate->setFont(donate_font);
  donate->setToolTip(Q(texts::kMakeDonationTooltip));
  bind_.Button(model_.Command4, donate);
  column->addWidget(donate);
  auto* hide = new QPushButton;
  hide->setObjectName("Command1");
  bind_.Button(model_.Command1, hide);
  column->addWidget(hide);

  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void AboutWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  model_.Command1.Click();
}

void AboutWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    model_.Command1.Click();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace horatone
