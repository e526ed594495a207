// The Qt tests' main: one QApplication for the whole run, on the offscreen platform unless
// another is asked for, so that the tests need no display.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The offscreen platform's notes on what it cannot honour only hide the test output.
  qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (!text.startsWith("This plugin does not support"))
          qt_message_output(type, context, text);
      });
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
