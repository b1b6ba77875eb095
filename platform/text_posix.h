#pragma once
// POSIX text conversions. The ANSI code page is the character set of the
// locale the environment names (LC_ALL, LC_CTYPE, LANG), asked without
// changing the process's own locale; when that locale is not installed, the
// charset its name carries ("zh_CN.GB18030"). Plain ASCII locales ("C",
// "POSIX") count as UTF-8, of which ASCII is a part.
#include <string>

namespace plat {

// The character set name ansiToUtf8/utf8ToAnsi use ("UTF-8", "GB18030", ...).
std::string ansiCharset();

// Converts between two iconv character sets. Bytes the source set cannot
// decode and characters the target cannot hold become one '?' each.
std::string convertCharset(const std::string& bytes, const std::string& from,
                           const std::string& to);

}  // namespace plat
