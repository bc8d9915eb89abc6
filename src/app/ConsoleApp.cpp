// ConsoleApp: starts the console. The one ConsoleDialog runs modally; when it
// ends, the program ends. No command-line arguments are used.
#include <QApplication>

#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "platform/QtWindow.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // Desktop shells pair the window with its installed entry and icon by this id.
  QGuiApplication::setDesktopFileName(QStringLiteral(QELD_APP_ID));
  QApplication::setWindowIcon(qeld::QtWindow::AppIcon());
  qeld::QtWindow wnd(qeld::ClientWidth(), qeld::ClientHeight());
  qeld::ConsoleDialog dlg(wnd);  // takes the window's events and creates its controls
  dlg.DoModal();                 // its result (OK or cancel) is not examined
  return 0;
}
