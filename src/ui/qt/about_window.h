// The About window's face: the program's title, the maker's four lines, the donation choice
// and the e-mail, web, donation and Hide buttons, bound to Form14. One instance, without an
// owner window; closing it from the title bar or with Escape hides it, as Hide does.
#pragma once

#include <QWidget>

#include "ui/qt/bindings.h"

namespace horatone {

class Form14;

class AboutWindow : public QWidget {
 public:
  AboutWindow(Form14& model, const QFont& font);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  Form14& model_;
  Bindings bind_;
};

}  // namespace horatone
