#pragma once
// Conversions between UTF-8 (used inside) and the platform's other encodings.
#include <string>
#include <vector>

namespace plat {

// Bytes in the ANSI code page (CP_ACP on Windows, the locale's charset on
// POSIX) to UTF-8, and back. Characters the target cannot hold become '?'.
std::string ansiToUtf8(const std::string& bytes);
std::string utf8ToAnsi(const std::string& text);

// Splits text by the settings-file line rule: CR LF or a lone CR ends a line,
// a lone LF stays part of the line. A final line without an end counts.
std::vector<std::string> splitLinesCr(const std::string& text);

}  // namespace plat
