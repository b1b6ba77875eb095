#include "rtdownload/presenter.h"

#include <gtest/gtest.h>

#include <vector>

namespace rtd {
namespace {

TEST(FormatSize, RangesAndRounding) {
  const struct {
    int32_t bytes;
    const char* text;
  } cases[] = {
      {0, "0b"},           {-1, "-1b"},         {-2147483647 - 1, "-2147483648b"},
      {1023, "1023b"},     {1024, "1k"},        {1048575, "1023k"},
      {1048576, "1M"},     {1572864, "1.5M"},   {1310720, "1.3M"},  // 1.25 MiB: half away
      {1363148, "1.3M"},   {10485760, "10M"},   {104857600, "100M"},
      {1101004, "1M"},  // 1.05 MiB truncated to 1075k, 1.0498 -> "1.0" -> "1"
      {536870911, "512M"}, {536870912, "0.5G"}, {1073741824, "1G"},
      {2147483647, "2G"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(PercentText, WholePercentHalvesAwayFromZero) {
  const struct {
    float fraction;
    const char* text;
  } cases[] = {{0.456f, "46%"},  {0.0f, "0%"},    {1.0f, "100%"},  {0.5f, "50%"},
               {0.125f, "13%"},  {0.005f, "1%"},  {0.285f, "29%"}, {0.004f, "0%"},
               {0.00025f, "0%"}, {0.995f, "100%"}};
  for (const auto& c : cases) EXPECT_EQ(PercentText(c.fraction), c.text) << c.fraction;
}

// A list box in memory: lines, the first visible one and the label.
struct FakeView : LogView {
  std::vector<std::string> lines;
  int top = 0;
  std::string label;
  int appendLine(const std::string& line) override {
    lines.push_back(line);
    return static_cast<int>(lines.size()) - 1;
  }
  int topIndex() const override { return top; }
  void setTopIndex(int index) override { top = index; }
  void setLabel(const std::string& text) override { label = text; }
};

TEST(AddLog, PrefixesAndScrollsOnlyPastSeventeenBelowTheTop) {
  const struct {
    int linesBefore, top, expectedTop;
  } cases[] = {
      {0, 0, 0},    {17, 0, 0},  // N = T + 17: the view stays
      {18, 0, 2},                // N = T + 18: the first visible line becomes N - 16
      {40, 23, 23},              // N = T + 17 further down
      {41, 23, 25},
  };
  for (const auto& c : cases) {
    FakeView view;
    view.lines.assign(static_cast<size_t>(c.linesBefore), "x");
    view.top = c.top;
    AddLog(view, "请求下载....");
    EXPECT_EQ(view.lines.back(), "> 请求下载....");
    EXPECT_EQ(view.top, c.expectedTop) << c.linesBefore << " " << c.top;
  }
}

TEST(StatusPresenter, EventTextsOfBothPrograms) {
  const struct {
    Flavor flavor;
    std::vector<std::string> lines;
    std::string label;
  } cases[] = {
      {Flavor::RuntimeDownloader,
       {"> 正在开始下载中....请等待!", "> 连接到服务器中... ", "> 文件大小为1.5M (1572864 bytes)",
        "> 错误 - 重定向: Redirected to x", "> 错误 - : odd", "> 错误 - 不明错误: boom",
        "> 取消下载", "> 完成1k下载并保存到D:\\shop"},
       "46% of 1.5M"},
      {Flavor::Updater,
       {"> 开始下载从http://h/update/netrar.xml", "> 连接到 127.0.0.1", "> MIME类型是 text/xml",
        "> 文件大小为1.5M (1572864 bytes)", "> 错误 - 重定向: Redirected to x", "> 错误 - : odd",
        "> 错误 - 不明错误: boom", "> 取消下载", "> 完成1k下载并保存到D:\\shop"},
       "正在下载...46% of 1.5M"},
  };
  for (const auto& c : cases) {
    FakeView view;
    StatusPresenter p(view, c.flavor);
    p.onBeginDownload("http://h/update/netrar.xml");
    p.onConnected("127.0.0.1");
    p.onMimeType("text/xml");
    p.onFileSize(1572864);
    p.onProgress(0.456f, 717226, 1572864);
    p.onError(2, "Redirected to x");
    p.onError(7, "odd");
    p.onError(99, "boom");
    p.onCanceled();
    p.logCompleted(1536, "D:\\shop");
    EXPECT_EQ(view.lines, c.lines);
    EXPECT_EQ(view.label, c.label);
    p.onProgress(0.0f, 0, 0);
    EXPECT_EQ(view.label, c.flavor == Flavor::Updater ? "正在下载...0% of 0b" : "0% of 0b");
  }
}

TEST(ErrorText, EveryCodeOfTheControl) {
  EXPECT_EQ(ErrorText(1), "不可下载文件");
  EXPECT_EQ(ErrorText(3), "没有字节返回");
  EXPECT_EQ(ErrorText(4), "文件保存错误");
  EXPECT_EQ(ErrorText(0), "");
}

}  // namespace
}  // namespace rtd
