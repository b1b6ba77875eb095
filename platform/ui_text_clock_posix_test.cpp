#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "platform/clock.h"
#include "platform/text.h"
#include "platform/text_posix.h"
#include "platform/ui_posix.h"

namespace plat {
namespace {

TEST(PosixUi, MessageBoxReportsAndAnswersTheDefaultButton) {
  std::ostringstream out;
  PosixUi ui(out);
  EXPECT_EQ(ui.messageBox("系统启动失败！", 48, "提示"), mb::kIdOk);
  EXPECT_EQ(out.str(), "[提示] 系统启动失败！\n");
  EXPECT_EQ(ui.messageBox("q", mb::kYesNo, ""), mb::kIdYes);
  EXPECT_EQ(defaultButton(mb::kYesNo | 0x100), mb::kIdNo);
  EXPECT_EQ(defaultButton(3 | 0x200), mb::kIdCancel);  // Yes, No, Cancel: the third
  EXPECT_EQ(defaultButton(1 | 0x200), mb::kIdOk);      // no third button: the first
  EXPECT_EQ(defaultButton(mb::kCritical), mb::kIdOk);
}

TEST(PosixText, ConvertsBetweenCharsetsWithQuestionMarks) {
  EXPECT_EQ(convertCharset("\xD6\xD0\xCE\xC4", "GB18030", "UTF-8"), "中文");
  EXPECT_EQ(convertCharset("中文", "UTF-8", "GB18030"), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(convertCharset("a中b€c", "UTF-8", "ISO-8859-1"), "a?b?c");
  EXPECT_EQ(convertCharset("a\xFF"
                           "b\xE4\xB8"
                           "c",
                           "UTF-8", "UTF-8"),
            "a?b?c");
  EXPECT_EQ(convertCharset("", "GB18030", "UTF-8"), "");
}

TEST(PosixText, AnsiIsTheCharsetOfTheEnvironmentsLocale) {
  const char* saved = ::getenv("LC_ALL");
  const std::string keep = saved ? saved : "";
  ::setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(ansiCharset(), "UTF-8");
  EXPECT_EQ(ansiToUtf8("本地\r\xFF"), "本地\r?");
  EXPECT_EQ(utf8ToAnsi("本地"), "本地");
  ::setenv("LC_ALL", "xx_YY.GB18030@kit", 1);  // not installed: the name tells
  EXPECT_EQ(ansiCharset(), "GB18030");
  EXPECT_EQ(ansiToUtf8("\xB1\xBE\xB5\xD8"), "本地");
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(ansiCharset(), "UTF-8");
  if (saved)
    ::setenv("LC_ALL", keep.c_str(), 1);
  else
    ::unsetenv("LC_ALL");
}

TEST(PosixClock, MonotonicAndToday) {
  auto clock = makeNativeClock();
  const double a = clock->monotonicSeconds();
  const double b = clock->monotonicSeconds();
  EXPECT_LE(a, b);
  const Date d = clock->today();
  EXPECT_GE(d.year, 2020);
  EXPECT_TRUE(d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31);
}

}  // namespace
}  // namespace plat
