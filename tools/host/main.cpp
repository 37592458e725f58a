// SPDX-License-Identifier: MIT
// pelmar4-host: a demo host. It loads the module library as a real host does,
// starts it with a simulated card whose remote follows a press script, and
// prints every key the module reports.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/remote_module.h"
#include "keys/card_key_table.h"
#include "press_script.h"
#include "simulated_card.h"
#include "tools/loader/module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <limits.h>
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "usage: pelmar4-host [--library PATH] [--trace] [--press NAME[:MS]]... [--script FILE]\n"
    "       pelmar4-host --list\n"
    "Loads the Pelmar4 module, feeds it a simulated remote and prints the keys it reports.\n"
    "  --library PATH    the module to load (default: the one built beside this program)\n"
    "  --trace           also print every register read and write\n"
    "  --press NAME[:MS] hold key NAME (name or alias) for MS ms (default 200), then release\n"
    "                    for 1500 ms; repeatable; replaces the default script\n"
    "  --script FILE     steps 'WHAT MS' per line: a key, '-' for none, or a code like 0x1234\n"
    "  --list            print the keys the card's remote has\n";

int Fail(const std::string& message, int code = 2) {
  fprintf(stderr, "pelmar4-host: %s\n", message.c_str());
  return code;
}

std::string DefaultLibrary() {
#if defined(_WIN32)
  char path[MAX_PATH] = {0};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string self = path;
  return self.substr(0, self.find_last_of("\\/") + 1) + "Pelmar4.dll";
#else
  char path[PATH_MAX] = {0};
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self = length > 0 ? std::string(path, static_cast<size_t>(length)) : "./";
  return self.substr(0, self.find_last_of('/') + 1) + "libPelmar4.so";
#endif
}

void ListKeys() {
  printf("%-8s %-16s %s\n", "code", "name", "alias");
  for (const RemoteKey& key : CardKeyTable)
    printf("0x%04X   %-16s %s\n", key.code, key.name, key.alias);
}

class PrintingSink : public IRemoteKeySink {
 public:
  explicit PrintingSink(const DemoClock& clock) : clock(clock) {}
  HRESULT PELMAR_CALL QueryInterface(REFIID, void** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PELMAR_CALL AddRef() override { return static_cast<ULONG>(++refCount); }
  ULONG PELMAR_CALL Release() override { return static_cast<ULONG>(--refCount); }
  HRESULT PELMAR_CALL OnKey(const char* name, const char* alias) override {
    std::lock_guard<std::mutex> guard(OutputLock());
    printf("%7lld ms  %-16s %s\n", static_cast<long long>(clock.Ms()), name, alias);
    fflush(stdout);
    ++counts[name];
    if (order.empty() || order.back() != name) order.push_back(name);
    ++total;
    return S_OK;
  }
  bool AllReleased() const { return refCount.load() == 1; }
  std::string Summary() const {
    std::string text;
    for (const std::string& name : order) {
      text += (text.empty() ? "" : ", ") + name + " x" + std::to_string(counts.at(name));
    }
    return text;
  }
  int total = 0;

 private:
  const DemoClock& clock;
  std::atomic<int> refCount{1};
  std::map<std::string, int> counts;
  std::vector<std::string> order;  // names in order of first report after a change
};

struct Options {
  std::string library = DefaultLibrary();
  bool trace = false;
  bool list = false;
  PressScript script;
};

// Returns 0 when parsed, or the exit code to end with.
int ParseOptions(int argc, char** argv, Options& options) {
  bool pressed = false;
  bool scripted = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text, error;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return -1;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--library") {
      if (!value(options.library)) return Fail("--library needs a path");
    } else if (arg == "--press") {
      if (!value(text)) return Fail("--press needs NAME[:MS]");
      if (!options.script.AddPress(text, error)) return Fail(error);
      pressed = true;
    } else if (arg == "--script") {
      if (!value(text)) return Fail("--script needs a file");
      std::ifstream file(text);
      if (!file) return Fail("cannot read script " + text);
      std::stringstream content;
      content << file.rdbuf();
      if (!options.script.AddText(content.str(), text, error)) return Fail(error);
      scripted = true;
    } else {
      return Fail("unknown option '" + arg + "'\n" + kUsage);
    }
  }
  if (pressed && scripted) return Fail("use either --press or --script, not both");
  if (!pressed && !scripted) options.script = PressScript::Default();
  return 0;
}

int RunDemo(const Options& options) {
  LoadedModule library;
  if (!LoadModuleLibrary(options.library.c_str(), &library)) return Fail(library.error, 1);
  IRemoteModule* module = library.byName();
  if (module == nullptr) {
    UnloadModuleLibrary(&library);
    return Fail("the module could not be created", 1);
  }

  DemoClock clock;
  PrintingSink sink(clock);
  SimulatedCard card(options.script, clock, options.trace);
  printf("pelmar4-host: %s, script of %.1f s\n", options.library.c_str(),
         options.script.DurationMs() / 1000.0);
  fflush(stdout);
  clock.Restart();
  HRESULT started = module->Start(&sink, &card);
  if (started != S_OK) {
    module->Release();
    UnloadModuleLibrary(&library);
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(started));
    return Fail(std::string("the module refused Start (") + hex + ")", 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(options.script.DurationMs()));
  HRESULT stopped = module->Stop();
  ULONG left = module->Release();
  int64_t ran = clock.Ms();
  UnloadModuleLibrary(&library);

  if (stopped != S_OK || left != 0 || !sink.AllReleased() || !card.AllReleased()) {
    return Fail("the module did not stop cleanly", 1);
  }
  printf("pelmar4-host: %d keys reported in %.1f s (%d reads)%s%s\n", sink.total, ran / 1000.0,
         card.Reads(), sink.total > 0 ? ": " : "", sink.Summary().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  if (options.list) {
    ListKeys();
    return 0;
  }
  return RunDemo(options);
}
