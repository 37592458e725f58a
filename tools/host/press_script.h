// SPDX-License-Identifier: MIT
// What the simulated card's GPIO_DATA shows over time: a list of steps, each a
// key code (or nothing) held for a number of milliseconds.
//
// Script files hold one step per line:  WHAT MS   where WHAT is a key name
// ("Key_Power" or its alias "Power"), "-" for no key, or a raw 16-bit code
// ("0x1234"); "#" starts a comment.
#ifndef PELMAR4_TOOLS_HOST_PRESS_SCRIPT_H
#define PELMAR4_TOOLS_HOST_PRESS_SCRIPT_H

#include <stdint.h>

#include <string>
#include <vector>

struct PressStep {
  uint32_t code;  // 16-bit key code; 0 when no key is pressed
  uint32_t ms;
  std::string label;  // for messages: the key name, "-" or the code
};

class PressScript {
 public:
  // Appends one step; false with `error` set when `what` or `ms` is not valid.
  bool AddStep(const std::string& what, const std::string& ms, std::string& error);
  // "NAME[:MS]": NAME held for MS (default 200), then released for 1500 ms.
  bool AddPress(const std::string& argument, std::string& error);
  // Parses a whole script; `source` names it in messages.
  bool AddText(const std::string& text, const std::string& source, std::string& error);

  static PressScript Default();
  static const char* DefaultText();

  // The code shown `ms` after the start; 0 after the end.
  uint32_t CodeAt(int64_t ms) const;
  uint32_t DurationMs() const;
  bool Empty() const { return steps.empty(); }

 private:
  std::vector<PressStep> steps;
};

#endif
