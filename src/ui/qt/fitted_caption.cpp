#include "ui/qt/fitted_caption.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <algorithm>
#include <cmath>

namespace horatone {

CaptionFit FitCaption(const QFont& font, const QString& text, int width) {
  CaptionFit fit{font, text};
  if (QFontMetrics(font).horizontalAdvance(text) <= width) return fit;
  const qreal designed = font.pointSizeF();
  // Half-point steps down to the least size (never above the size designed).
  for (qreal size = std::floor(designed * 2 - 1) / 2; size >= kLeastCaptionPointSize; size -= 0.5) {
    fit.font.setPointSizeF(size);
    fit.shrunk = true;
    if (QFontMetrics(fit.font).horizontalAdvance(text) <= width) return fit;
  }
  if (!fit.shrunk) return fit;  // a type already below the least size: elide as it is
  fit.font.setPointSizeF(std::min(designed, kLeastCaptionPointSize));
  fit.text = QFontMetrics(fit.font).elidedText(text, Qt::ElideRight, std::max(width, 0));
  fit.elided = true;
  return fit;
}

namespace {

// The room for the caption inside a button-like control: what the style leaves beside the
// indicator, or inside the bevel and around the icon.
int ButtonTextWidth(const QAbstractButton& button, QStyle::SubElement contents) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  option.icon = button.icon();
  option.iconSize = button.iconSize();
  return button.style()->subElementRect(contents, &option, &button).width();
}

}  // namespace

template <typename W>
int Fitted<W>::TextWidth() const {
  if constexpr (std::is_same_v<W, QCheckBox>) {
    return ButtonTextWidth(*this, QStyle::SE_CheckBoxContents);
  } else if constexpr (std::is_same_v<W, QRadioButton>) {
    return ButtonTextWidth(*this, QStyle::SE_RadioButtonContents);
  } else if constexpr (std::is_same_v<W, QPushButton>) {
    const int margin = this->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, this);
    const int icon = this->icon().isNull() ? 0 : this->iconSize().width() + 4;
    return ButtonTextWidth(*this, QStyle::SE_PushButtonContents) - margin - icon;
  } else {
    return this->contentsRect().width() - 2 * this->margin() - std::max(0, this->indent());
  }
}

template <typename W>
QSize Fitted<W>::minimumSizeHint() const {
  // Room for the indicator or bevel and a few characters; the rest is the fitting's job.
  const QSize whole = W::minimumSizeHint();
  const int text = this->fontMetrics().horizontalAdvance(this->text());
  const int few = this->fontMetrics().horizontalAdvance(QStringLiteral("Mmm…"));
  return {std::max(0, whole.width() - std::max(0, text - few)), whole.height()};
}

template <typename W>
void Fitted<W>::paintEvent(QPaintEvent* event) {
  fit_ = FitCaption(this->font(), this->text(), TextWidth());
  const bool cut = fit_.shrunk || fit_.elided;
  // The whole caption as tooltip while it is not shown whole; a tooltip of its own stays.
  if (cut && (this->toolTip().isEmpty() || tooltip_is_caption_)) {
    if (this->toolTip() != this->text()) this->setToolTip(this->text());
    tooltip_is_caption_ = true;
  } else if (!cut && tooltip_is_caption_) {
    this->setToolTip(QString());
    tooltip_is_caption_ = false;
  }
  if (!cut) {
    W::paintEvent(event);
    return;
  }
  if constexpr (std::is_same_v<W, QLabel>) {
    QPainter painter(this);
    painter.setFont(fit_.font);
    const QRect area = this->contentsRect().adjusted(this->margin(), this->margin(),
                                                     -this->margin(), -this->margin());
    this->style()->drawItemText(&painter, area, static_cast<int>(this->alignment()),
                                this->palette(), this->isEnabled(), fit_.text,
                                this->foregroundRole());
  } else {
    QStylePainter painter(this);
    QStyleOptionButton option;
    this->initStyleOption(&option);
    option.text = fit_.text;
    option.fontMetrics = QFontMetrics(fit_.font);
    // The style draws the caption in the painter's font.
    painter.setFont(fit_.font);
    QStyle::ControlElement element = QStyle::CE_PushButton;
    if constexpr (std::is_same_v<W, QCheckBox>) element = QStyle::CE_CheckBox;
    if constexpr (std::is_same_v<W, QRadioButton>) element = QStyle::CE_RadioButton;
    painter.drawControl(element, option);
  }
}

template class Fitted<QCheckBox>;
template class Fitted<QRadioButton>;
template class Fitted<QPushButton>;
template class Fitted<QLabel>;

}  // namespace horatone
