// The pictures of the About window, drawn by the program itself: an envelope for the e-mail
// button, a globe for the web button, and a clock face for the picture box.
#pragma once

#include <QPixmap>

namespace horatone {

QPixmap EnvelopePicture(int size);
QPixmap GlobePicture(int size);
QPixmap ClockPicture(int size);

}  // namespace horatone
