// ANSI code page conversions on POSIX through iconv.
#include "platform/text_posix.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/error.h"
#include "platform/text.h"

namespace plat {
namespace {

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string ansiCharset() {
  std::string name;
  if (locale_t loc = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
    name = ::nl_langinfo_l(CODESET, loc);
    ::freelocale(loc);
  } else {
    // The named locale is not installed: its name still says the charset
    // ("zh_CN.GB18030@x" -> "GB18030").
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = std::getenv(var);
      if (value == nullptr || *value == '\0') continue;
      const std::string locale = value;
      const size_t dot = locale.find('.');
      if (dot != std::string::npos) name = locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
      break;
    }
  }
  // Plain ASCII ("C", "POSIX") reads as UTF-8, which decodes ASCII alike and
  // keeps other text instead of turning it into question marks.
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII")
    return "UTF-8";
  return name;
}

std::string convertCharset(const std::string& bytes, const std::string& from,
                           const std::string& to) {
  if (bytes.empty()) return std::string();
  iconv_t cd = ::iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) throw errorOf(kErrInvalidProcedureCall);
  const bool fromUtf8 = from == "UTF-8" || from == "utf-8" || from == "UTF8";
  std::string out;
  char buf[4096];
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    const size_t r = ::iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // A sequence that cannot be decoded or a character the target lacks:
    // one '?' for it, then go on after it.
    size_t skip = 1;
    if (fromUtf8) {
      const size_t len = std::min(utf8Length(static_cast<unsigned char>(*in)), inLeft);
      while (skip < len && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) ++skip;
    }
    out.push_back('?');
    in += skip;
    inLeft -= skip;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  char* o = buf;
  size_t oLeft = sizeof buf;
  ::iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buf, static_cast<size_t>(o - buf));
  ::iconv_close(cd);
  return out;
}

std::string ansiToUtf8(const std::string& bytes) {
  return convertCharset(bytes, ansiCharset(), "UTF-8");
}

std::string utf8ToAnsi(const std::string& text) {
  return convertCharset(text, "UTF-8", ansiCharset());
}

}  // namespace plat
