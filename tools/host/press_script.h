/* SPDX-License-Identifier: MIT */
/* What the simulated card's GPIO_DATA shows over time: a list of steps, each a
 * key code (or nothing) held for a number of milliseconds.
 *
 * Script files hold one step per line:  WHAT MS   where WHAT is a key name
 * ("Key_Power" or its alias "Power"), "-" for no key, or a raw 16-bit code
 * ("0x1234"); "#" starts a comment. */
#ifndef PELMAR4_TOOLS_HOST_PRESS_SCRIPT_H
#define PELMAR4_TOOLS_HOST_PRESS_SCRIPT_H

#include <stddef.h>
#include <stdint.h>

typedef struct PressStep {
  uint32_t code; /* 16-bit key code; 0 when no key is pressed */
  uint32_t ms;
} PressStep;

typedef struct PressScript {
  PressStep* steps;
  size_t count, capacity;
} PressScript;

/* Each returns 1 when it added its steps, else 0 with a message in `error`. */
enum { kScriptErrorSize = 512 };
/* One step. */
int AddStep(PressScript* script, const char* what, const char* ms, char* error);
/* "NAME[:MS]": NAME held for MS (default 200), then released for 1500 ms. */
int AddPress(PressScript* script, const char* argument, char* error);
/* A whole script; `source` names it in messages. */
int AddText(PressScript* script, const char* text, const char* source, char* error);

/* The script played when none is given. */
const char* DefaultScriptText(void);

/* The code shown `ms` after the start; 0 after the end. */
uint32_t CodeAt(const PressScript* script, int64_t ms);
uint32_t ScriptDurationMs(const PressScript* script);
void FreeScript(PressScript* script);

#endif
