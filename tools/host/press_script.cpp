// SPDX-License-Identifier: MIT
#include "press_script.h"

#include <stdlib.h>
#include <string.h>

#include <sstream>

#include "keys/card_key_table.h"

namespace {

constexpr uint32_t kMaxStepMs = 3600 * 1000;

bool ParseMs(const std::string& text, uint32_t& ms) {
  if (text.empty() || text.size() > 7) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  ms = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
  return ms <= kMaxStepMs;
}

bool ParseCode(const std::string& what, uint32_t& code) {
  if (what == "-") {
    code = 0;
    return true;
  }
  if (what.size() > 2 && what[0] == '0' && (what[1] == 'x' || what[1] == 'X') && what.size() <= 6) {
    char* end = nullptr;
    unsigned long value = strtoul(what.c_str() + 2, &end, 16);
    if (*end != 0) return false;
    code = static_cast<uint32_t>(value);
    return true;
  }
  for (const RemoteKey& key : CardKeyTable) {
    if (what == key.name || (key.alias[0] != 0 && what == key.alias)) {
      code = key.code;
      return true;
    }
  }
  return false;
}

}  // namespace

bool PressScript::AddStep(const std::string& what, const std::string& ms, std::string& error) {
  PressStep step{0, 0, what};
  if (!ParseCode(what, step.code)) {
    error = "unknown key '" + what + "' (--list shows the keys)";
    return false;
  }
  if (!ParseMs(ms, step.ms)) {
    error = "bad duration '" + ms + "' for " + what + " (whole milliseconds, at most 3600000)";
    return false;
  }
  steps.push_back(step);
  return true;
}

bool PressScript::AddPress(const std::string& argument, std::string& error) {
  size_t colon = argument.find(':');
  std::string name = argument.substr(0, colon);
  std::string ms = colon == std::string::npos ? "200" : argument.substr(colon + 1);
  return AddStep(name, ms, error) && AddStep("-", "1500", error);
}

bool PressScript::AddText(const std::string& text, const std::string& source, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string what, ms, extra;
    if (!(words >> what)) continue;
    words >> ms >> extra;
    std::string where = source + ":" + std::to_string(number) + ": ";
    if (ms.empty() || !extra.empty()) {
      error = where + "expected 'WHAT MS', got '" + line + "'";
      return false;
    }
    if (!AddStep(what, ms, error)) {
      error = where + error;
      return false;
    }
  }
  if (steps.empty()) {
    error = source + ": no steps";
    return false;
  }
  return true;
}

// The module reads every 100 ms while the code stays the same, and waits 1000 ms
// after every change; so after a press it takes about two seconds before a new
// short press is certain to be seen. The gaps below allow for that.
const char* PressScript::DefaultText() {
  return "-             1300   # nothing pressed\n"
         "Key_Power      300   # a short press: reported once\n"
         "-             2300\n"
         "Key_VolumeUp  1750   # held: at once, after 1 s, then every 0.1 s\n"
         "-             1350\n"
         "0x1234         300   # a code the remote does not have: nothing\n"
         "-             2300\n"
         "Key_1         1000   # two keys in a row\n"
         "Key_2         1000\n"
         "-              300\n";
}

PressScript PressScript::Default() {
  PressScript script;
  std::string unused;
  script.AddText(DefaultText(), "default script", unused);
  return script;
}

uint32_t PressScript::CodeAt(int64_t ms) const {
  int64_t start = 0;
  for (const PressStep& step : steps) {
    if (ms < start + step.ms) return step.code;
    start += step.ms;
  }
  return 0;
}

uint32_t PressScript::DurationMs() const {
  uint32_t total = 0;
  for (const PressStep& step : steps) total += step.ms;
  return total;
}
