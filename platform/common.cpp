// Platform-independent helpers: date formatting, the settings-file line rule
// and the Windows command-line argument rules.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/text.h"

namespace plat {

std::string formatYymmdd(const Date& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", ((d.year % 100) + 100) % 100, d.month % 100,
                d.day % 100);
  return buf;
}

std::string formatIsoDate(const Date& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
  return buf;
}

std::vector<std::string> splitLinesCr(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  bool pending = false;  // text (or an empty line) seen since the last line end
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      lines.push_back(std::move(current));
      current.clear();
      pending = false;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current.push_back(c);
      pending = true;
    }
  }
  if (pending) lines.push_back(std::move(current));
  return lines;
}

std::string quoteArgIfNeeded(const std::string& arg) {
  // An empty argument would vanish from the command line; quote it so the
  // program still sees it.
  if (arg.empty()) return "\"\"";
  if (arg.find_first_of(" \t") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // Backslashes before a quote are doubled and the quote itself escaped.
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // Before the closing quote the run is doubled so that it stays literal.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::vector<std::string> splitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  std::string current;
  bool inArg = false;
  bool inQuotes = false;
  size_t i = 0;
  const size_t n = commandLine.size();
  while (i < n) {
    const char c = commandLine[i];
    if (!inQuotes && (c == ' ' || c == '\t')) {
      if (inArg) {
        args.push_back(std::move(current));
        current.clear();
        inArg = false;
      }
      ++i;
      continue;
    }
    inArg = true;
    if (c == '\\') {
      size_t run = 0;
      while (i < n && commandLine[i] == '\\') {
        ++run;
        ++i;
      }
      if (i < n && commandLine[i] == '"') {
        current.append(run / 2, '\\');
        if (run % 2 == 1) {
          current.push_back('"');
          ++i;
        }
        // An even run leaves the quote to be handled as a delimiter below.
      } else {
        current.append(run, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (inQuotes && i + 1 < n && commandLine[i + 1] == '"') {
        // A doubled quote inside quotes is one literal quote.
        current.push_back('"');
        i += 2;
        continue;
      }
      inQuotes = !inQuotes;
      ++i;
      continue;
    }
    current.push_back(c);
    ++i;
  }
  if (inArg) args.push_back(std::move(current));
  return args;
}

std::unique_ptr<Child> Processes::startWatched(const std::string&, WindowStyle) {
  throw errorOf(kErrInvalidProcedureCall);
}

}  // namespace plat
