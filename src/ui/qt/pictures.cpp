#include "ui/qt/pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace horatone {
namespace {

QPixmap Blank(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

}  // namespace

QPixmap EnvelopePicture(int size) {
  QPixmap pixmap = Blank(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal m = size * 0.08;
  const QRectF body(m, size * 0.22, size - 2 * m, size * 0.56);
  p.setPen(QPen(QColor(90, 70, 40), qMax(1.0, size / 24.0)));
  p.setBrush(QColor(250, 240, 210));
  p.drawRoundedRect(body, size * 0.04, size * 0.04);
  // The flap, folded down to the middle, and the two lower folds.
  QPainterPath flap;
  flap.moveTo(body.topLeft());
  flap.lineTo(body.center().x(), body.top() + body.height() * 0.58);
  flap.lineTo(body.topRight());
  p.setBrush(QColor(235, 220, 180));
  p.drawPath(flap);
  p.drawLine(body.bottomLeft(),
             QPointF(body.left() + body.width() * 0.38, body.top() + body.height() * 0.45));
  p.drawLine(body.bottomRight(),
             QPointF(body.right() - body.width() * 0.38, body.top() + body.height() * 0.45));
  return pixmap;
}

QPixmap GlobePicture(int size) {
  QPixmap pixmap = Blank(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal r = size * 0.42;
  const QPointF c(size / 2.0, size / 2.0);
  QRadialGradient sea(c - QPointF(r * 0.3, r * 0.3), r * 1.4);
  sea.setColorAt(0, QColor(120, 180, 255));
  sea.setColorAt(1, QColor(20, 70, 160));
  p.setBrush(sea);
  p.setPen(Qt::NoPen);
  p.drawEllipse(c, r, r);
  // Two rough continents, clipped to the sphere.
  QPainterPath sphere;
  sphere.addEllipse(c, r, r);
  p.setClipPath(sphere);
  p.setBrush(QColor(70, 150, 60));
  QPainterPath land;
  land.moveTo(c + QPointF(-r * 0.7, -r * 0.5));
  land.cubicTo(c + QPointF(-r * 0.1, -r * 0.9), c + QPointF(r * 0.1, -r * 0.2),
               c + QPointF(-r * 0.3, r * 0.1));
  land.cubicTo(c + QPointF(-r * 0.5, r * 0.6), c + QPointF(-r * 0.9, r * 0.2),
               c + QPointF(-r * 0.7, -r * 0.5));
  land.moveTo(c + QPointF(r * 0.3, -r * 0.1));
  land.cubicTo(c + QPointF(r * 0.9, -r * 0.3), c + QPointF(r * 0.8, r * 0.5),
               c + QPointF(r * 0.4, r * 0.8));
  land.cubicTo(c + QPointF(r * 0.2, r * 0.5), c + QPointF(r * 0.1, r * 0.2),
               c + QPointF(r * 0.3, -r * 0.1));
  p.drawPath(land);
  // Meridians and parallels.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 140), qMax(1.0, size / 40.0)));
  for (qreal w : {0.0, 0.45, 0.8}) p.drawEllipse(c, r * w, r);
  for (qreal h : {-0.5, 0.0, 0.5}) {
    const qreal half = r * qSqrt(1 - h * h);
    p.drawLine(c + QPointF(-half, r * h), c + QPointF(half, r * h));
  }
  p.setClipping(false);
  p.setPen(QPen(QColor(10, 40, 100), qMax(1.0, size / 30.0)));
  p.drawEllipse(c, r, r);
  return pixmap;
}

QPixmap ClockPicture(int size) {
  QPixmap pixmap = Blank(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal r = size * 0.45;
  const QPointF c(size / 2.0, size / 2.0);
  p.setPen(QPen(QColor(40, 40, 90), qMax(1.0, size / 20.0)));
  p.setBrush(QColor(255, 252, 235));
  p.drawEllipse(c, r, r);
  for (int mark = 0; mark < 12; ++mark) {
    const qreal a = mark * M_PI / 6;
    const qreal inner = mark % 3 == 0 ? 0.75 : 0.85;
    p.drawLine(c + QPointF(qSin(a), -qCos(a)) * r * inner,
               c + QPointF(qSin(a), -qCos(a)) * r * 0.95);
  }
  // Ten past ten, as clocks are pictured.
  auto hand = [&](qreal turns, qreal length, qreal width) {
    const qreal a = turns * 2 * M_PI;
    p.setPen(QPen(QColor(20, 20, 60), width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(qSin(a), -qCos(a)) * r * length);
  };
  hand((10 + 10 / 60.0) / 12, 0.5, size / 14.0);
  hand(10 / 60.0, 0.8, size / 20.0);
  p.setBrush(QColor(200, 30, 30));
  p.setPen(Qt::NoPen);
  p.drawEllipse(c, size / 25.0, size / 25.0);
  return pixmap;
}

}  // namespace horatone
