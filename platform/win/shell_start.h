#pragma once
// Starting a program through the shell. Windows-only.
#include <windows.h>

#include <string>

namespace plat::win {

// Starts the program of `commandLine` (its first token, quoted or up to the
// first blank) with the rest as its arguments, the way the shell starts a
// program: one that asks for administrator rights (an installer does) is
// refused by CreateProcess with ERROR_ELEVATION_REQUIRED, while the shell
// asks the user first. The process handle is the caller's; hThread is null.
// Throws the kit's error for the shell's failure (ERROR_CANCELLED when the
// user said no).
PROCESS_INFORMATION startThroughShell(const std::wstring& commandLine, int show);

}  // namespace plat::win
