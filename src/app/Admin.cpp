// Admin mode: a password unlocks the controls that change the module's settings.
#include "app/ConsoleDialog.h"

namespace qeld {

namespace {
constexpr const char* kAdminPassword = "tuzf";  // compared exactly, case matters
constexpr int kPasswordMaxLength = 20;
}  // namespace

void ConsoleDialog::OnAdminMode() {
  if (m_bAdminMode == 1) {
    m_wnd.MessageBox("  Already in Admin mode. ", kAppName, MB_OK);
    ShowPage();
    return;
  }
  // A cancelled prompt leaves the password empty, which is simply wrong.
  const std::string password = m_wnd.PasswordDialog("Enter Password", kPasswordMaxLength).value_or("");
  if (password != kAdminPassword) {
    m_wnd.MessageBox("  Wrong password !! ", kAppName, MB_OK);
    return;
  }
  m_bAdminMode = 1;
  m_wnd.MessageBox("  Admin mode started. ", kAppName, MB_OK);
  ShowPage();
}

}  // namespace qeld
