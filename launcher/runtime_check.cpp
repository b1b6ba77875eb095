#include "launcher/runtime_check.h"

#include <exception>

#include "launcher/road.h"
#include "platform/error.h"

namespace launcher {

namespace {

constexpr uint32_t kRegDword = 4;

std::string installRootKey(const std::string& version) {
  return "Software\\Microsoft\\Office\\" + version + "\\Access\\InstallRoot";
}

// Blanks only: a tab is taken as part of the folder name.
std::string trimSpaces(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

// The runtime is missing: offer the downloader. Starting it may throw, which
// the caller's trap reports.
void offerDownload(Launcher& l) {
  l.svc.ui.beep();
  const int answer = l.svc.ui.messageBox(kRuntimeMissingPrompt, plat::mb::kYesNo, kTitle);
  if (answer == plat::mb::kIdYes) {
    // A program folder with blanks would otherwise make the start guess at
    // "C:\Program" first; a path without blanks stays as composed.
    l.svc.processes.start(plat::quoteArgIfNeeded(l.AppDir + "\\" + kRuntimeDownloader),
                          plat::WindowStyle::kMinimizedFocus);
  }
}

bool checkSteps(Launcher& l) {
  if (l.svc.processes.previousInstanceRunning()) {
    l.svc.closeWindow();
    return false;
  }

  RegisterComponent(l, l.AppDir + "\\" + kDaoLibrary);

  std::string text;
  size_t pos = 0;  // 1-based position of the first NUL, 0 when none
  for (const char* version : kOfficeVersions) {
    text = ReadInstallRoot(l, version);
    const auto nul = text.find('\0');
    pos = nul == std::string::npos ? 0 : nul + 1;
    if (pos > 1) break;
  }

  if (pos <= 1) {
    offerDownload(l);
    l.svc.closeWindow();
    return false;
  }

  l.AccessRoot = trimSpaces(text.substr(0, pos - 1));

  if (!l.svc.fs.fileExists(l.AccessRoot + kRuntimeExe)) {
    l.svc.ui.beep();
    l.svc.ui.messageBox(kRuntimeDamagedMessage, plat::mb::kExclamation, kTitle);
    l.svc.closeWindow();
    return false;
  }

  // The level lives under 11.0 whichever version's folder was found.
  EnsureRegKey(l, plat::RegRoot::kCurrentUser, kSecurityKey);
  PutRegValue(l, plat::RegRoot::kCurrentUser, kSecurityKey, "Level", 1, kRegDword);

  PrepareWorkFiles(l);
  return true;
}

}  // namespace

std::string ReadInstallRoot(Launcher& l, const std::string& version) {
  std::string buffer(kInstallRootBuffer, ' ');
  const plat::RegQuery q = l.svc.registry.queryValue(
      plat::RegRoot::kLocalMachine, installRootKey(version), "Path", kInstallRootBuffer);
  if (q.status == plat::RegQuery::Status::kOk) {
    // The read value lies over the start of the buffer; the spaces after it
    // stay. Decoding may have made it longer than the buffer: keep it whole.
    if (q.data.size() >= buffer.size()) return q.data;
    buffer.replace(0, q.data.size(), q.data);
  }
  return buffer;
}

bool CheckRuntime(Launcher& l) {
  try {
    return checkSteps(l);
  } catch (const std::exception&) {
    l.svc.ui.messageBox(kCheckRuntimeError, plat::mb::kExclamation, kTitle);
    l.svc.closeWindow();
    return false;
  }
}

}  // namespace launcher
