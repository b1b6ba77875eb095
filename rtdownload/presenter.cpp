#include "rtdownload/presenter.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace rtd {
namespace {

// Rounds a value given in decimal digits, times 10^scale, to `decimals`
// places, halves away from zero, and writes it with a point whatever the locale. The value
// arrives as its shortest round-trip text, so a float's 0.005 is rounded as
// 0.005 and not as the binary value just below it.
std::string roundHalfAway(std::string_view text, int decimals, int scale = 0) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  // Split into mantissa digits and a decimal exponent: value = M * 10^E.
  uint64_t mantissa = 0;
  int exponent = 0;
  bool afterPoint = false;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      afterPoint = true;
    } else if (c >= '0' && c <= '9') {
      if (mantissa < 100000000000000000ull) {
        mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
        if (afterPoint) --exponent;
      } else if (!afterPoint) {
        ++exponent;  // digits past what fits only scale the value
      }
    } else {
      break;
    }
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    int e = 0;
    std::string_view rest = text.substr(i + 1);
    if (!rest.empty() && rest.front() == '+') rest.remove_prefix(1);
    std::from_chars(rest.data(), rest.data() + rest.size(), e);
    exponent += e;
  }
  // Scale to units of 10^-decimals and round.
  int shift = exponent + scale + decimals;
  uint64_t units = 0;
  if (shift >= 0) {
    units = mantissa;
    for (; shift > 0 && units < 1000000000000000000ull; --shift) units *= 10;
  } else if (shift >= -18) {
    uint64_t divisor = 1;
    for (int k = 0; k < -shift; ++k) divisor *= 10;
    units = mantissa / divisor;
    if ((mantissa % divisor) * 2 >= divisor) ++units;
  }
  std::string digits = std::to_string(units);
  const size_t places = static_cast<size_t>(decimals);
  if (places > 0 && digits.size() <= places)
    digits = std::string(places + 1 - digits.size(), '0') + digits;
  std::string result = negative && units != 0 ? "-" : "";
  result += places > 0 ? digits.substr(0, digits.size() - places) + "." +
                             digits.substr(digits.size() - places)
                       : digits;
  return result;
}

template <typename T>
std::string shortestText(T value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

// Every ".0" removed, as the size texts do ("10.0" becomes "10").
std::string dropPointZero(std::string text) {
  for (size_t at = text.find(".0"); at != std::string::npos; at = text.find(".0", at))
    text.erase(at, 2);
  return text;
}

}  // namespace

std::string FormatSize(int32_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + "b";
  if (bytes < 1048576) return std::to_string(bytes / 1024) + "k";
  // k / 1024 is exact in binary, so the shortest text is the exact value.
  if (bytes < 536870912) {
    const double x = static_cast<double>(bytes / 1024) / 1024.0;
    return dropPointZero(roundHalfAway(shortestText(x), 1)) + "M";
  }
  const double x = static_cast<double>(bytes / 1048576) / 1024.0;
  return dropPointZero(roundHalfAway(shortestText(x), 1)) + "G";
}

std::string PercentText(float fraction) {
  // Multiplied by 100 in decimal: the exponent moves, the binary value is untouched.
  return roundHalfAway(shortestText(fraction), 0, 2) + "%";
}

std::string ErrorText(int32_t code) {
  switch (code) {
    case 1:
      return "不可下载文件";
    case 2:
      return "重定向";
    case 3:
      return "没有字节返回";
    case 4:
      return "文件保存错误";
    case 99:
      return "不明错误";
    default:
      return "";
  }
}

void AddLog(LogView& view, const std::string& text) {
  const int n = view.appendLine("> " + text);
  const int t = view.topIndex();
  if (n > t + 17) view.setTopIndex(n - 16);
}

void StatusPresenter::onBeginDownload(const std::string& currentFileUrl) {
  if (flavor_ == Flavor::Updater)
    log("开始下载从" + currentFileUrl);
  else
    log("正在开始下载中....请等待!");
}

void StatusPresenter::onConnected(const std::string& connAddr) {
  if (flavor_ == Flavor::Updater)
    log("连接到 " + connAddr);
  else
    log("连接到服务器中... ");
}

void StatusPresenter::onMimeType(const std::string& mimeType) {
  if (flavor_ == Flavor::Updater) log("MIME类型是 " + mimeType);
}

void StatusPresenter::onFileSize(int32_t bytes) {
  log("文件大小为" + FormatSize(bytes) + " (" + std::to_string(bytes) + " bytes)");
}

void StatusPresenter::onProgress(float percent, int32_t /*bytesRead*/, int32_t totalBytes) {
  const std::string text = PercentText(percent) + " of " + FormatSize(totalBytes);
  view_.setLabel(flavor_ == Flavor::Updater ? "正在下载..." + text : text);
}

void StatusPresenter::onError(int32_t code, const std::string& error) {
  log("错误 - " + ErrorText(code) + ": " + error);
}

void StatusPresenter::onCanceled() {
  log("取消下载");
}

void StatusPresenter::logCompleted(int32_t bytes, const std::string& programFolder) {
  log("完成" + FormatSize(bytes) + "下载并保存到" + programFolder);
}

}  // namespace rtd
