/* SPDX-License-Identifier: MIT */
/* pelmar4-host: a demo host. It loads the module library as a real host does,
 * starts it with a simulated card whose remote follows a press script, and
 * prints every key the module reports. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_os.h"
#include "interfaces/remote_module.h"
#include "keys/card_key_table.h"
#include "press_script.h"
#include "printing_sink.h"
#include "simulated_card.h"
#include "tools/check/check.h"
#include "tools/loader/module_loader.h"

static const char kUsage[] =
    "usage: pelmar4-host [--library PATH] [--trace] [--press NAME[:MS]]... [--script FILE]\n"
    "       pelmar4-host --list\n"
    "       pelmar4-host --check [--library PATH]\n"
    "Loads the Pelmar4 module, feeds it a simulated remote and prints the keys it reports.\n"
    "  --library PATH    the module to load (default: the one built beside this program)\n"
    "  --trace           also print every register read and write\n"
    "  --press NAME[:MS] hold key NAME (name or alias) for MS ms (default 200), then release\n"
    "                    for 1500 ms; repeatable; replaces the default script\n"
    "  --script FILE     steps 'WHAT MS' per line: a key, '-' for none, or a code like 0x1234\n"
    "  --list            print the keys the card's remote has\n"
    "  --check           run the module's lifecycle cases on this PC and report\n";

static int Fail(const char* message, int code) {
  fprintf(stderr, "pelmar4-host: %s\n", message);
  return code;
}

static void ListKeys(void) {
  printf("%-8s %-16s %s\n", "code", "name", "alias");
  for (int i = 0; i < kCardKeyCount; ++i) {
    const RemoteKey* key = &CardKeyTable[i];
    printf("0x%04X   %-16s %s\n", (unsigned)key->code, key->name, key->alias);
  }
}

/* The whole file, NUL-terminated, read in text mode; null when it cannot be
 * read. */
static char* ReadTextFile(const char* path) {
  FILE* file = fopen(path, "r");
  char* text = NULL;
  size_t size = 0, capacity = 0, read = 1;
  while (file != NULL && read != 0) {
    if (size + 1 >= capacity) {
      char* grown = realloc(text, capacity = capacity == 0 ? 4096 : 2 * capacity);
      if (grown == NULL) break;
      text = grown;
    }
    read = fread(text + size, 1, capacity - size - 1, file);
    size += read;
  }
  int failed = file == NULL || read != 0 || ferror(file);
  if (file != NULL) fclose(file);
  if (failed) {
    free(text);
    return NULL;
  }
  text[size] = 0;
  return text;
}

typedef struct Options {
  const char* library; /* null: the one beside this program */
  int trace, list, check;
  PressScript script;
} Options;

/* 0 when parsed; -1 when help was asked for; else the exit code to end with. */
static int ParseOptions(int argc, char** argv, Options* options) {
  char error[kScriptErrorSize], message[kScriptErrorSize + sizeof kUsage + 64];
  int pressed = 0, scripted = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : NULL;
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(kUsage, stdout);
      return -1;
    } else if (strcmp(arg, "--list") == 0) {
      options->list = 1;
    } else if (strcmp(arg, "--check") == 0) {
      options->check = 1;
    } else if (strcmp(arg, "--trace") == 0) {
      options->trace = 1;
    } else if (strcmp(arg, "--library") == 0) {
      if (value == NULL) return Fail("--library needs a path", 2);
      options->library = argv[++i];
    } else if (strcmp(arg, "--press") == 0) {
      if (value == NULL) return Fail("--press needs NAME[:MS]", 2);
      if (!AddPress(&options->script, argv[++i], error)) return Fail(error, 2);
      pressed = 1;
    } else if (strcmp(arg, "--script") == 0) {
      if (value == NULL) return Fail("--script needs a file", 2);
      char* text = ReadTextFile(argv[++i]);
      if (text == NULL) {
        snprintf(message, sizeof message, "cannot read script %s", argv[i]);
        return Fail(message, 2);
      }
      int added = AddText(&options->script, text, argv[i], error);
      free(text);
      if (!added) return Fail(error, 2);
      scripted = 1;
    } else {
      snprintf(message, sizeof message, "unknown option '%s'\n%s", arg, kUsage);
      return Fail(message, 2);
    }
  }
  if (pressed && scripted) return Fail("use either --press or --script, not both", 2);
  if (!pressed && !scripted)
    AddText(&options->script, DefaultScriptText(), "default script", error);
  return 0;
}

static int RunDemo(Options* options) {
  LoadedModule library;
  if (!LoadModuleLibrary(options->library, &library)) return Fail(library.error, 1);
  IRemoteModule* module = library.byName();
  if (module == NULL) {
    UnloadModuleLibrary(&library);
    return Fail("the module could not be created", 1);
  }

  int64_t start = NowMs();
  PrintingSink sink;
  SimulatedCard card;
  InitPrintingSink(&sink, &start);
  InitSimulatedCard(&card, &options->script, &start, options->trace);
  uint32_t duration = ScriptDurationMs(&options->script);
  printf("pelmar4-host: %s, script of %.1f s\n", library.path, duration / 1000.0);
  fflush(stdout);
  start = NowMs();
  HRESULT started = IRemoteModule_Start(module, &sink.iface, (IUnknown*)&card.iface);
  if (started != S_OK) {
    char message[64];
    IRemoteModule_Release(module);
    UnloadModuleLibrary(&library);
    snprintf(message, sizeof message, "the module refused Start (0x%08X)", (unsigned)started);
    return Fail(message, 1);
  }
  SleepFor(duration);
  HRESULT stopped = IRemoteModule_Stop(module);
  ULONG left = IRemoteModule_Release(module);
  int64_t ran = NowMs() - start;
  UnloadModuleLibrary(&library);

  if (stopped != S_OK || left != 0 || !SinkAllReleased(&sink) || !CardAllReleased(&card)) {
    return Fail("the module did not stop cleanly", 1);
  }
  printf("pelmar4-host: %d keys reported in %.1f s (%d reads)%s", sink.total, ran / 1000.0,
         atomic_load(&card.reads), sink.total > 0 ? ": " : "");
  PrintSummary(&sink);
  printf("\n");
  return 0;
}

int main(int argc, char** argv) {
  static Options options;
  int parsed = ParseOptions(argc, argv, &options);
  int result = parsed < 0 ? 0 : parsed;
  if (parsed == 0) {
    if (options.list) {
      ListKeys();
    } else if (options.check) {
      result = RunCheck(options.library);
    } else {
      result = RunDemo(&options);
    }
  }
  FreeScript(&options.script);
  return result;
}
