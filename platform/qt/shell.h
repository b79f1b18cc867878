// The desktop shell: opening a document or an address with the program the
// desktop associates with it, and starting a program directly.
//
// Code asks TheShell(); tests install a RecordingShell with SetShell() so that
// nothing is opened on the machine.
#pragma once

#include <string>
#include <vector>

namespace plat {

class Shell {
 public:
  virtual ~Shell() = default;
  // A local path, or an address with a scheme ("http://...", "mailto:...").
  // False when the desktop refused it.
  virtual bool OpenDocument(const std::string& target) = 0;
  // Starts `program` detached, in `folder` (empty: the current one).
  virtual bool StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& folder) = 0;
};

// QDesktopServices::openUrl and QProcess::startDetached.
class QtShell : public Shell {
 public:
  bool OpenDocument(const std::string& target) override;
  bool StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& folder) override;
};

// Records every request; answers with `result`.
class RecordingShell : public Shell {
 public:
  struct Started {
    std::string program;
    std::vector<std::string> arguments;
    std::string folder;
  };
  bool result = true;
  std::vector<std::string> opened;
  std::vector<Started> started;

  bool OpenDocument(const std::string& target) override;
  bool StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& folder) override;
};

Shell& TheShell();
// nullptr puts the Qt shell back. The caller keeps ownership.
void SetShell(Shell* shell);

// Windows addresses write "http:\\host"; the Linux desktop needs "http://host".
// The two backslashes right after a scheme become slashes; the rest is kept.
std::string DesktopAddress(const std::string& target);

// True for a text that starts with a URL scheme ("http:", "mailto:").
bool HasUrlScheme(const std::string& target);

// A program the shell starts directly: a regular file with its execute bit.
bool IsProgram(const std::string& path);

}  // namespace plat
