#pragma once
// Descriptions of system error codes for the control's reports and errors.
#include <windows.h>

#include <string>

namespace lumvex {

// The system's text for `code`, from `module`'s message table when given
// and it has one (wininet.dll), else from the system's; without trailing
// blanks, line breaks and full stop. Empty when neither knows the code.
std::string systemMessage(DWORD code, HMODULE module = nullptr);

// A failure as the control reports it: the system's text (or a plain one)
// and the code in hexadecimal.
std::string describeError(HRESULT hr);

}  // namespace lumvex
