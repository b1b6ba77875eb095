#pragma once
// Descriptions of failures for the control's reports and errors.
#include <windows.h>

#include <string>

namespace lumvex {

// The system's text for `code` (from `module`'s message table when given
// and it has one), without the closing full stop; empty when none knows it.
std::string systemMessage(DWORD code, HMODULE module = nullptr);

// A failure as the control reports it: the system's text (or a plain one)
// and the code in hexadecimal.
std::string describeError(HRESULT hr);

}  // namespace lumvex
