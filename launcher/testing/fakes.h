#pragma once
// Scriptable stand-ins for the services the launcher's tests do not run for
// real: processes that are recorded instead of started, message boxes that
// are recorded and answered, a settable clock and an in-memory registry.
#include <cstdint>
#include <functional>
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/ui.h"

namespace launcher::testing {

struct FakeProcesses : plat::Processes {
  struct Started {
    std::string commandLine;
    plat::WindowStyle style;
  };
  std::vector<Started> started;
  bool previousInstance = false;
  // Returns the task id for a command line, or throws; default: a running id.
  std::function<uint32_t(const std::string&)> onStart = [](const std::string&) { return 4242u; };

  uint32_t start(const std::string& commandLine, plat::WindowStyle style) override {
    const uint32_t id = onStart(commandLine);
    started.push_back({commandLine, style});
    return id;
  }
  bool previousInstanceRunning() override { return previousInstance; }
};

struct FakeUi : plat::Ui {
  struct Box {
    std::string text;
    int style;
    std::string title;
  };
  std::vector<Box> boxes;
  int beeps = 0;
  int pumps = 0;
  int answer = plat::mb::kIdOk;
  std::function<void()> onPump = [] {};
  std::function<void()> onMessageBox = [] {};

  int messageBox(const std::string& text, int style, const std::string& title) override {
    boxes.push_back({text, style, title});
    onMessageBox();
    return answer;
  }
  void beep() override { ++beeps; }
  void pumpEvents() override {
    ++pumps;
    onPump();
  }
};

struct FakeClock : plat::Clock {
  double now = 1000.0;
  double step = 0.0;  // added at every read, so waiting loops advance
  plat::Date date{2011, 1, 30};
  double monotonicSeconds() override {
    now += step;
    return now;
  }
  plat::Date today() override { return date; }
};

// Keys and values in memory; keys are compared without regard to case.
struct FakeRegistry : plat::Registry {
  using Key = std::tuple<plat::RegRoot, std::string>;
  struct Val {
    uint32_t type;
    std::string data;
  };
  std::map<Key, std::map<std::string, Val>> keys;

  static std::string fold(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }
  void putString(plat::RegRoot root, const std::string& subkey, const std::string& name,
                 const std::string& text) {
    keys[{root, fold(subkey)}][fold(name)] = {1, text + std::string(1, '\0')};
  }
  plat::RegQuery queryValue(plat::RegRoot root, const std::string& subkey, const std::string& name,
                            size_t bufferBytes) override {
    plat::RegQuery q;
    auto k = keys.find({root, fold(subkey)});
    if (k == keys.end()) return q;
    auto v = k->second.find(fold(name));
    if (v == k->second.end()) {
      q.status = plat::RegQuery::Status::kNoValue;
      return q;
    }
    q.type = v->second.type;
    if (v->second.data.size() > bufferBytes) {
      q.status = plat::RegQuery::Status::kMoreData;
      return q;
    }
    q.status = plat::RegQuery::Status::kOk;
    q.data = v->second.data;
    return q;
  }
  bool createKey(plat::RegRoot root, const std::string& subkey) override {
    keys[{root, fold(subkey)}];
    return true;
  }
  bool setDword(plat::RegRoot root, const std::string& subkey, const std::string& name,
                uint32_t value) override {
    auto k = keys.find({root, fold(subkey)});
    if (k == keys.end()) return false;
    k->second[fold(name)] = {4, std::string(reinterpret_cast<const char*>(&value), 4)};
    return true;
  }
  std::optional<uint32_t> getDword(plat::RegRoot root, const std::string& subkey,
                                   const std::string& name) override {
    auto k = keys.find({root, fold(subkey)});
    if (k == keys.end()) return std::nullopt;
    auto v = k->second.find(fold(name));
    if (v == k->second.end() || v->second.type != 4) return std::nullopt;
    uint32_t out = 0;
    std::copy_n(v->second.data.data(), 4, reinterpret_cast<char*>(&out));
    return out;
  }
};

}  // namespace launcher::testing
