#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/text.h"

namespace plat {
namespace {

using Lines = std::vector<std::string>;

TEST(DateFormat, TwoDigitFieldsAndIso) {
  EXPECT_EQ(formatYymmdd({2011, 1, 30}), "110130");
  EXPECT_EQ(formatYymmdd({2000, 12, 5}), "001205");
  EXPECT_EQ(formatYymmdd({2099, 7, 9}), "990709");
  EXPECT_EQ(formatIsoDate({2011, 1, 30}), "2011-01-30");
}

TEST(SplitLinesCr, CrLfAndLoneCrEndLinesLoneLfStays) {
  EXPECT_EQ(splitLinesCr("a\r\nb\rc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(splitLinesCr("a\nb\nc\r\n"), (Lines{"a\nb\nc"}));
  EXPECT_EQ(splitLinesCr("one\r\n\r\nthree"), (Lines{"one", "", "three"}));
  EXPECT_EQ(splitLinesCr("\r\n"), (Lines{""}));
  EXPECT_EQ(splitLinesCr("\n"), (Lines{"\n"}));
  EXPECT_EQ(splitLinesCr("x\r\r\n"), (Lines{"x", ""}));
  EXPECT_TRUE(splitLinesCr("").empty());
}

TEST(QuoteArg, OnlyArgumentsWithBlanksAreQuoted) {
  EXPECT_EQ(quoteArgIfNeeded("D:\\Shop\\DAO360.DLL"), "D:\\Shop\\DAO360.DLL");
  EXPECT_EQ(quoteArgIfNeeded("D:\\Shop\\"), "D:\\Shop\\");
  EXPECT_EQ(quoteArgIfNeeded("E:\\da ta\\"), "\"E:\\da ta\\\\\"");
  EXPECT_EQ(quoteArgIfNeeded("C:\\Program Files\\x.exe"), "\"C:\\Program Files\\x.exe\"");
  EXPECT_EQ(quoteArgIfNeeded("a\tb"), "\"a\tb\"");
  EXPECT_EQ(quoteArgIfNeeded("say \"hi\\\""), "\"say \\\"hi\\\\\\\"\"");
  EXPECT_EQ(quoteArgIfNeeded(""), "\"\"");
}

TEST(SplitCommandLine, FollowsTheWindowsArgumentRules) {
  EXPECT_EQ(splitCommandLine("\"a b c\" d e"), (Lines{"a b c", "d", "e"}));
  EXPECT_EQ(splitCommandLine("\"ab\\\"c\" \"\\\\\" d"), (Lines{"ab\"c", "\\", "d"}));
  EXPECT_EQ(splitCommandLine("a\\\\\\b d\"e f\"g h"), (Lines{"a\\\\\\b", "de fg", "h"}));
  EXPECT_EQ(splitCommandLine("a\\\\\\\"b c d"), (Lines{"a\\\"b", "c", "d"}));
  EXPECT_EQ(splitCommandLine("a\\\\\\\\\"b c\" d e"), (Lines{"a\\\\b c", "d", "e"}));
  EXPECT_EQ(splitCommandLine("  x\t\ty  "), (Lines{"x", "y"}));
  EXPECT_EQ(splitCommandLine("\"\" x"), (Lines{"", "x"}));
  EXPECT_EQ(splitCommandLine("\"a \"\"b\"\" c\""), (Lines{"a \"b\" c"}));
  EXPECT_TRUE(splitCommandLine("   ").empty());
}

TEST(SplitCommandLine, ReadsBackWhatQuoteArgWrote) {
  const Lines args = {"E:\\da ta\\", "plain",         "C:\\x\\", "two  blanks",
                      "q\"uote d",   "back\\\\ \\\"", ""};
  std::string line;
  for (const std::string& a : args) line += (line.empty() ? "" : " ") + quoteArgIfNeeded(a);
  EXPECT_EQ(splitCommandLine(line), args);
}

}  // namespace
}  // namespace plat
