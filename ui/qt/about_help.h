#pragma once
// The Help menu: the help file at its contents or its keyword index, and the About window.
#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>

namespace corvanta {

inline constexpr std::uint32_t HELP_CONTENTS = 3;
inline constexpr std::uint32_t HELP_PARTIALKEY = 0x0105;

// The help file's full path, fixed when the program is built (the build tree or the install
// prefix). Empty means no help.
std::string& HelpFile();

// Opens Corvanta's help window for `help_file`: HELP_CONTENTS shows the contents, HELP_PARTIALKEY
// the index with `data` in its keyword line. Throws when the help window cannot be made; a missing
// or unreadable file is reported by the help window itself.
using HelpCall = std::function<bool(std::intptr_t window, const std::string& help_file,
                                    std::uint32_t command, const char* data)>;
bool WinHelpA(std::intptr_t window, const std::string& help_file, std::uint32_t command,
              const char* data);
// The call the menu uses; tests may put a recorder in its place.
HelpCall& HelpCaller();

void mnuHelpContents_Click();
void mnuHelpSearchForHelpOn_Click();
void mnuHelpAbout_Click();

class FrmAbout final : public QDialog {
  Q_OBJECT

 public:
  explicit FrmAbout(QWidget* owner);
  void Form_Load();
  void cmdOK_Click();
};

// The About window's description, lines separated by line feeds.
std::string AboutDescription();

}  // namespace corvanta
