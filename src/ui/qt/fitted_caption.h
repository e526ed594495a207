// Captions that fit their control whatever the operator's language makes of them. A caption
// wider than the room its control was given is drawn in a smaller type, down to a readable
// least size, and past that cut short with an ellipsis; the whole text is then the control's
// tooltip. The control's own text stays whole (the bindings compare against it), and the
// control never asks the layout for more room than the design gives it.
#pragma once

#include <QCheckBox>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QString>

namespace horatone {

// The smallest type a fitted caption is drawn in, points.
constexpr qreal kLeastCaptionPointSize = 6.5;

struct CaptionFit {
  QFont font;
  QString text;  // what is drawn: the caption, or its beginning with an ellipsis
  bool shrunk = false;
  bool elided = false;
};

// How `text` fits `width` pixels in `font`.
CaptionFit FitCaption(const QFont& font, const QString& text, int width);

// A check box, option button, push button or label whose caption fits. Layouts may squeeze
// it to a few characters; its preferred size stays that of the whole caption.
template <typename W>
class Fitted : public W {
 public:
  using W::W;
  QSize minimumSizeHint() const override;
  // The fit as last drawn.
  const CaptionFit& fit() const { return fit_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int TextWidth() const;
  CaptionFit fit_;
  bool tooltip_is_caption_ = false;
};

using FittedCheckBox = Fitted<QCheckBox>;
using FittedRadioButton = Fitted<QRadioButton>;
using FittedPushButton = Fitted<QPushButton>;
using FittedLabel = Fitted<QLabel>;

}  // namespace horatone
