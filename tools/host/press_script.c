/* SPDX-License-Identifier: MIT */
#include "press_script.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keys/card_key_table.h"

enum { kMaxStepMs = 3600 * 1000 };

static int ParseMs(const char* text, uint32_t* ms) {
  size_t length = strlen(text);
  if (length == 0 || length > 7 || strspn(text, "0123456789") != length) return 0;
  *ms = (uint32_t)strtoul(text, NULL, 10);
  return *ms <= kMaxStepMs;
}

static int ParseCode(const char* what, uint32_t* code) {
  size_t length = strlen(what);
  if (strcmp(what, "-") == 0) {
    *code = 0;
    return 1;
  }
  /* Hex digits only: strtoul would also take a sign ("0x-1"). */
  if (length > 2 && length <= 6 && what[0] == '0' && (what[1] == 'x' || what[1] == 'X')) {
    *code = (uint32_t)strtoul(what + 2, NULL, 16);
    return strspn(what + 2, "0123456789abcdefABCDEF") == length - 2;
  }
  for (int i = 0; i < kCardKeyCount; ++i) {
    const RemoteKey* key = &CardKeyTable[i];
    if (strcmp(what, key->name) == 0 || (key->alias[0] != 0 && strcmp(what, key->alias) == 0)) {
      *code = key->code;
      return 1;
    }
  }
  return 0;
}

int AddStep(PressScript* script, const char* what, const char* ms, char* error) {
  PressStep step = {0, 0};
  if (!ParseCode(what, &step.code)) {
    snprintf(error, kScriptErrorSize, "unknown key '%s' (--list shows the keys)", what);
    return 0;
  }
  if (!ParseMs(ms, &step.ms)) {
    snprintf(error, kScriptErrorSize,
             "bad duration '%s' for %s (whole milliseconds, at most 3600000)", ms, what);
    return 0;
  }
  if (script->count == script->capacity) {
    size_t capacity = script->capacity == 0 ? 16 : 2 * script->capacity;
    PressStep* steps = realloc(script->steps, capacity * sizeof *steps);
    if (steps == NULL) {
      snprintf(error, kScriptErrorSize, "out of memory");
      return 0;
    }
    script->steps = steps;
    script->capacity = capacity;
  }
  script->steps[script->count++] = step;
  return 1;
}

int AddPress(PressScript* script, const char* argument, char* error) {
  char name[256];
  const char* colon = strchr(argument, ':');
  size_t length = colon == NULL ? strlen(argument) : (size_t)(colon - argument);
  snprintf(name, sizeof name, "%.*s", (int)length, argument);
  return AddStep(script, name, colon == NULL ? "200" : colon + 1, error) &&
         AddStep(script, "-", "1500", error);
}

/* The next blank-separated word of `*text`, NUL-terminated in place; null at
 * the end. */
static char* NextWord(char** text) {
  char* word = *text;
  while (*word != 0 && isspace((unsigned char)*word)) ++word;
  if (*word == 0) return NULL;
  char* end = word;
  while (*end != 0 && !isspace((unsigned char)*end)) ++end;
  *text = *end == 0 ? end : end + 1;
  *end = 0;
  return word;
}

int AddText(PressScript* script, const char* text, const char* source, char* error) {
  size_t before = script->count;
  for (int number = 1; *text != 0; ++number) {
    size_t length = strcspn(text, "\n");
    char* line = malloc(length + 1);
    char* words = malloc(length + 1);
    if (line == NULL || words == NULL) {
      free(line);
      free(words);
      snprintf(error, kScriptErrorSize, "out of memory");
      return 0;
    }
    memcpy(line, text, length);
    line[length] = 0;
    line[strcspn(line, "#")] = 0;
    strcpy(words, line);
    text += length + (text[length] == '\n');
    char* rest = words;
    const char* what = NextWord(&rest);
    const char* ms = what == NULL ? NULL : NextWord(&rest);
    int ok = 1;
    if (what != NULL && (ms == NULL || NextWord(&rest) != NULL)) {
      snprintf(error, kScriptErrorSize, "%s:%d: expected 'WHAT MS', got '%s'", source, number,
               line);
      ok = 0;
    } else if (what != NULL && !AddStep(script, what, ms, error)) {
      char reason[kScriptErrorSize];
      strcpy(reason, error);
      snprintf(error, kScriptErrorSize, "%s:%d: %.400s", source, number, reason);
      ok = 0;
    }
    free(line);
    free(words);
    if (!ok) return 0;
  }
  if (script->count == before) {
    snprintf(error, kScriptErrorSize, "%s: no steps", source);
    return 0;
  }
  return 1;
}

/* The module reads every 100 ms while the code stays the same, and waits 1000 ms
 * after every change; so after a press it takes about two seconds before a new
 * short press is certain to be seen. The gaps below allow for that. */
const char* DefaultScriptText(void) {
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

uint32_t CodeAt(const PressScript* script, int64_t ms) {
  int64_t start = 0;
  for (size_t i = 0; i < script->count; ++i) {
    if (ms < start + script->steps[i].ms) return script->steps[i].code;
    start += script->steps[i].ms;
  }
  return 0;
}

uint32_t ScriptDurationMs(const PressScript* script) {
  uint32_t total = 0;
  for (size_t i = 0; i < script->count; ++i) total += script->steps[i].ms;
  return total;
}

void FreeScript(PressScript* script) {
  free(script->steps);
  script->steps = NULL;
  script->count = script->capacity = 0;
}
