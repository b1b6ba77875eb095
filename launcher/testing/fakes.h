#pragma once
// Scriptable stand-ins for the services the launcher's tests do not run for
// real: processes that are recorded instead of started, message boxes that
// are recorded and answered, a stepping clock and an in-memory registry.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <functional>
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

inline std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

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

class ScriptedUi : public plat::Ui {
 public:
  struct Shown {
    std::string text;
    int style;
    std::string title;
  };
  std::vector<Shown> shown;
  std::deque<int> answers;  // button pressed per box; kIdOk when none is left
  int beeps = 0;
  int pumps = 0;
  std::function<void()> onPump;
  std::function<void()> onMessageBox;  // events that arrive while a box is up

  int messageBox(const std::string& text, int style, const std::string& title) override {
    shown.push_back({text, style, title});
    if (onMessageBox) onMessageBox();
    if (answers.empty()) return plat::mb::kIdOk;
    const int a = answers.front();
    answers.pop_front();
    return a;
  }
  void beep() override { ++beeps; }
  void pumpEvents() override {
    ++pumps;
    if (onPump) onPump();
  }
};

// Monotonic seconds advance by `step` at every look.
class SteppingClock : public plat::Clock {
 public:
  double now = 1000.0;
  double step = 0.001;
  plat::Date date{2011, 1, 30};
  double monotonicSeconds() override {
    const double t = now;
    now += step;
    return t;
  }
  plat::Date today() override { return date; }
};

class MemRegistry : public plat::Registry {
 public:
  using Key = std::tuple<plat::RegRoot, std::string>;
  struct Val {
    uint32_t type;
    std::string data;
  };
  std::map<Key, std::map<std::string, Val>> keys;  // lower-case key and value names
  std::vector<std::string> queried;                // subkeys asked, in order
  std::vector<std::string> changes;

  void putString(plat::RegRoot root, const std::string& subkey, const std::string& name,
                 const std::string& value) {
    keys[{root, lower(subkey)}][lower(name)] = Val{1, value + std::string(1, '\0')};
  }
  plat::RegQuery queryValue(plat::RegRoot root, const std::string& subkey, const std::string& name,
                            size_t bufferBytes) override {
    queried.push_back(subkey);
    plat::RegQuery q;
    const auto k = keys.find({root, lower(subkey)});
    if (k == keys.end()) return q;
    const auto v = k->second.find(lower(name));
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
    keys[{root, lower(subkey)}];
    changes.push_back("create " + subkey);
    return true;
  }
  bool setDword(plat::RegRoot root, const std::string& subkey, const std::string& name,
                uint32_t value) override {
    const auto k = keys.find({root, lower(subkey)});
    if (k == keys.end()) return false;
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    k->second[lower(name)] = Val{4, bytes};
    changes.push_back("set " + subkey + "\\" + name + "=" + std::to_string(value));
    return true;
  }
  std::optional<uint32_t> getDword(plat::RegRoot root, const std::string& subkey,
                                   const std::string& name) override {
    const auto k = keys.find({root, lower(subkey)});
    if (k == keys.end()) return std::nullopt;
    const auto v = k->second.find(lower(name));
    if (v == k->second.end() || v->second.type != 4) return std::nullopt;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
      value |= uint32_t(static_cast<unsigned char>(v->second.data[i])) << (8 * i);
    return value;
  }
};

}  // namespace launcher::testing
