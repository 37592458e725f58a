// SPDX-License-Identifier: MIT
// pelmar4-bench: measures the shipped module as a host sees it. Prints figures;
// never fails on a slow machine.
//
// Usage: pelmar4-bench [--library PATH]
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

#include "interfaces/device_registers.h"
#include "interfaces/remote_module.h"
#include "tools/loader/module_loader.h"
#include "tools/process/process_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point origin, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - origin).count();
}

void SleepMs(double ms) {
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * 1000)));
}

// What every sink of the benchmark shares: counting, and no other interface.
class CountedSink : public IRemoteKeySink {
 public:
  HRESULT PELMAR_CALL QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PELMAR_CALL AddRef() override { return ++refs; }
  ULONG PELMAR_CALL Release() override { return --refs; }
  bool AllReleased() const { return refs == 1; }

 private:
  std::atomic<ULONG> refs{1};
};

// Records when each key report arrives.
class TimingSink : public CountedSink {
 public:
  HRESULT PELMAR_CALL OnKey(const char*, const char*) override {
    std::lock_guard<std::mutex> guard(lock);
    times.push_back(Clock::now());
    return S_OK;
  }
  std::vector<Clock::time_point> Times() {
    std::lock_guard<std::mutex> guard(lock);
    return times;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return times.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock);
    times.clear();
  }

 private:
  std::mutex lock;
  std::vector<Clock::time_point> times;
};

// Does nothing with a key but call `onKey` if set: the least a host can do.
class QuietSink : public CountedSink {
 public:
  HRESULT PELMAR_CALL OnKey(const char*, const char*) override {
    if (onKey) onKey();
    return S_OK;
  }
  // Called at every key; it keeps to a few instructions.
  std::function<void()> onKey;
};

// Calls `action` with `module` at the first key, then reports nothing more.
class CallbackSink : public CountedSink {
 public:
  explicit CallbackSink(std::function<void(IRemoteModule*)> action) : action(std::move(action)) {}
  HRESULT PELMAR_CALL OnKey(const char*, const char*) override {
    if (!acted.exchange(true)) action(module);
    return S_OK;
  }
  IRemoteModule* module = nullptr;

 private:
  std::function<void(IRemoteModule*)> action;
  std::atomic<bool> acted{false};
};

// A card whose remote holds Key_Power down for ever.
class HeldKeyCard : public IDeviceRegisters {
 public:
  HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (memcmp(&iid, &IID_IDeviceRegisters, sizeof(IID)) != 0) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IDeviceRegisters*>(this);
    return S_OK;
  }
  ULONG PELMAR_CALL AddRef() override { return ++refs; }
  ULONG PELMAR_CALL Release() override { return --refs; }
  HRESULT PELMAR_CALL Reserved() override { return S_OK; }
  HRESULT PELMAR_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    *value = offset == 0x200 ? 0x27BFu << 8 : 0;
    return S_OK;
  }
  HRESULT PELMAR_CALL WriteRegister(uint32_t, uint32_t) override { return S_OK; }
  bool AllReleased() const { return refs == 1; }

 private:
  std::atomic<ULONG> refs{1};
};

// Calls `start` `count` times, `spacingMs` apart.
template <typename Start>
void Spread(int count, double spacingMs, Start start) {
  Clock::time_point origin = Clock::now();
  for (int i = 0; i < count; ++i) {
    SleepMs(i * spacingMs - MsSince(origin, Clock::now()));
    start();
  }
}

#if defined(_WIN32)
template <typename Work>
double CpuUsWhile(Work work) {
  int64_t before = ProcessCpuMicroseconds();
  work();
  return static_cast<double>(ProcessCpuMicroseconds() - before);
}

// The smallest step of the process CPU clock seen while spinning.
double CpuClockStepUs() {
  double step = 1e9;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  for (int seen = 0; seen < 5 && Clock::now() < deadline; ++seen) {
    int64_t start = ProcessCpuMicroseconds();
    int64_t now = start;
    while (now == start && Clock::now() < deadline) now = ProcessCpuMicroseconds();
    if (now != start) step = std::min(step, static_cast<double>(now - start));
  }
  return step;
}

// Functions the loaded DLL imports, counted in its import directory.
int ImportedFunctions(void* handle) {
  const BYTE* base = static_cast<const BYTE*>(handle);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  int count = 0;
  for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name != 0;
       ++dll) {
    DWORD names = dll->OriginalFirstThunk != 0 ? dll->OriginalFirstThunk : dll->FirstThunk;
    for (auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + names);
         thunk->u1.AddressOfData != 0; ++thunk) {
      ++count;
    }
  }
  return count;
}
#else
// The CPU clocks of a group of threads, each added by the thread itself.
class ThreadClocks {
 public:
  void AddCallingThread() {
    std::lock_guard<std::mutex> guard(lock);
    clockid_t id;
    if (pthread_getcpuclockid(pthread_self(), &id) == 0) clocks.push_back(id);
  }
  double TotalUs() {
    std::lock_guard<std::mutex> guard(lock);
    double total = 0;
    for (clockid_t id : clocks) {
      timespec t{};
      clock_gettime(id, &t);
      total += static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
    }
    return total;
  }

 private:
  std::mutex lock;
  std::vector<clockid_t> clocks;
};
#endif

struct Stats {
  double median, p99, max;
};

Stats Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double q) { return values[static_cast<size_t>(q * (values.size() - 1) + 0.5)]; };
  return {at(0.5), at(0.99), values.back()};
}

void Print(const char* what, const std::vector<double>& values, const char* unit) {
  Stats s = Summarise(values);
  printf("  %-44s n=%-4zu median %8.3f  p99 %8.3f  max %8.3f %s\n", what, values.size(), s.median,
         s.p99, s.max, unit);
}

bool WaitForReports(TimingSink& sink, size_t count, double timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeoutMs));
  while (sink.Count() < count) {
    if (Clock::now() > deadline) return false;
    SleepMs(1);
  }
  return true;
}

class Bench {
 public:
  explicit Bench(GetInterfacePtrFunction create) : create(create) {}

  void Schedule() {
    printf("Report times of a held key, error against the schedule (ms):\n");
    std::vector<double> first, repeat;
    for (int run = 0; run < 20; ++run) {
      IRemoteModule* module = create();
      sink.Clear();
      Clock::time_point started = Clock::now();
      module->Start(&sink, &card);
      WaitForReports(sink, 2, 5000);
      module->Stop();
      module->Release();
      std::vector<Clock::time_point> t = sink.Times();
      first.push_back(MsSince(started, t[0]) - 20);
      repeat.push_back(MsSince(t[0], t[1]) - 1000);
    }
    Print("first report (due 20 ms after Start)", first, "ms");
    Print("first repeat (due 1000 ms after it)", repeat, "ms");

    IRemoteModule* module = create();
    sink.Clear();
    module->Start(&sink, &card);
    WaitForReports(sink, 2, 5000);
    SleepMs(120 * 100 + 50);
    module->Stop();
    module->Release();
    std::vector<Clock::time_point> t = sink.Times();
    std::vector<double> steady;
    for (size_t i = 2; i < t.size(); ++i) steady.push_back(MsSince(t[i - 1], t[i]) - 100);
    Print("steady repeat (due every 100 ms)", steady, "ms");
    double period = MsSince(t[1], t.back()) / static_cast<double>(t.size() - 2);
    printf("  steady period over %zu repeats: %.3f ms, ratio to 100 ms: %.5f\n", t.size() - 2,
           period, period / 100);
  }

  // CPU while polling a held key, against a bare thread that only sleeps
  // 100 ms at a time (what ten wake-ups a second cost before any work), 64 of
  // each. Their wake-ups are spread evenly over each 100 ms, so that no thread
  // gains from waking together with another. Linux has per-thread CPU clocks to
  // the nanosecond: modules and bare threads run side by side, a worker halfway
  // between two bare threads, and are read over the same 12 s, so the
  // machine's ups and downs hit both alike. Windows counts CPU in ticks (10 to
  // 20 ms under Wine): there the process's CPU is read, one group after the
  // other for twice as long, and the clock's step is printed beside the figure.
  void Cpu() {
    constexpr int kInstances = 64;
#if defined(_WIN32)
    constexpr double kSeconds = 24;  // the clock's step under 5% of each figure
#else
    constexpr double kSeconds = 12;
#endif
    constexpr double kSpacingMs = 100.0 / kInstances;
    std::vector<IRemoteModule*> modules;
    QuietSink quiet;
    std::atomic<bool> done{false};
    std::vector<std::thread> sleepers;
    // A module reads 20 ms after Start, 1000 ms later, then every 100 ms.
    auto startModule = [&] {
      modules.push_back(create());
      modules.back()->Start(&quiet, &card);
    };
    auto startSleeper = [&](double firstMs, std::function<void()> first) {
      sleepers.emplace_back([&done, firstMs, first] {
        if (first) first();
        SleepMs(firstMs);
        while (!done) SleepMs(100);
      });
    };
#if defined(_WIN32)
    double stepUs = CpuClockStepUs();
    Spread(kInstances, kSpacingMs, [&] { startModule(); });
    SleepMs(1200);  // all of them past the first repeat: polling every 100 ms
    double moduleUs = CpuUsWhile([&] { SleepMs(kSeconds * 1000); });
    for (IRemoteModule* module : modules) module->Release();
    Spread(kInstances, kSpacingMs, [&] { startSleeper(20, nullptr); });
    SleepMs(1200);
    double bareUs = CpuUsWhile([&] { SleepMs(kSeconds * 1000); });
    const char* how = "process CPU, one group after the other";
#else
    double stepUs = 0.001;
    ThreadClocks workers, bare;
    quiet.onKey = [&] {
      thread_local bool added = false;
      if (!added) workers.AddCallingThread();
      added = true;
    };
    Spread(kInstances, kSpacingMs, [&] {
      startModule();
      startSleeper(20 + 50 + kSpacingMs / 2, [&] { bare.AddCallingThread(); });
    });
    SleepMs(1200);
    double moduleBefore = workers.TotalUs(), bareBefore = bare.TotalUs();
    SleepMs(kSeconds * 1000);
    double moduleUs = workers.TotalUs() - moduleBefore, bareUs = bare.TotalUs() - bareBefore;
    for (IRemoteModule* module : modules) module->Release();
    const char* how = "per-thread CPU clocks, side by side";
#endif
    done = true;
    for (std::thread& sleeper : sleepers) sleeper.join();
    auto share = [&](double us) { return 100.0 * us / kInstances / (kSeconds * 1e6); };
    printf("CPU while polling, %d of each for %.0f s (%s; clock step %.3f us):\n", kInstances,
           kSeconds, how, stepUs);
    printf(
        "  module polling a held key: %.4f%% of one core each (%.0f us in all; the clock "
        "step is %.2f%% of it)\n",
        share(moduleUs), moduleUs, 100 * stepUs / moduleUs);
    printf(
        "  bare thread sleeping 100 ms at a time: %.4f%% of one core each (%.0f us in all; the "
        "clock step is %.2f%% of it)\n",
        share(bareUs), bareUs, 100 * stepUs / bareUs);
    printf("  ratio module / bare thread: %.3f\n", moduleUs / bareUs);
  }

  // What a host sees when it stops and releases the module from inside OnKey,
  // and when its final Release meets a worker blocked in a host call (a
  // SendMessage to the releasing thread, say).
  void Lifecycle() {
    printf("Stop and Release from inside the host's calls:\n");
    std::vector<double> inside, backAfter;
    for (int run = 0; run < 20; ++run) {
      std::atomic<double> tookUs{-1};
      CallbackSink closer([&](IRemoteModule* module) {
        Clock::time_point before = Clock::now();
        module->Stop();
        module->Release();
        tookUs = MsSince(before, Clock::now()) * 1000;
      });
      closer.module = create();
      Clock::time_point started = Clock::now();
      closer.module->Start(&closer, &card);
      while (tookUs < 0 || !card.AllReleased() || !closer.AllReleased()) SleepMs(0.1);
      inside.push_back(tookUs);
      backAfter.push_back(MsSince(started, Clock::now()) - 20);
    }
    Print("Stop and Release inside OnKey", inside, "us");
    Print("everything given back, after the first report", backAfter, "ms");

    std::atomic<bool> answered{false};
    CallbackSink blocked([&](IRemoteModule*) {
      while (!answered) SleepMs(1);
    });
    IRemoteModule* module = create();
    module->Start(&blocked, &card);
    SleepMs(100);  // the worker is inside OnKey now, and stays there
    Clock::time_point before = Clock::now();
    module->Release();
    double releaseMs = MsSince(before, Clock::now());
    answered = true;
    Clock::time_point returned = Clock::now();
    while (!card.AllReleased() || !blocked.AllReleased()) SleepMs(1);
    printf(
        "  final Release while OnKey is blocked: returned after %.1f ms; everything given "
        "back %.1f ms after OnKey returned\n",
        releaseMs, MsSince(returned, Clock::now()));
  }

  void StopLatency() {
    printf("Stop latency beyond the rest of the worker's current sleep (ms):\n");
    std::mt19937 random(4);
    Print("Stop inside the 1000 ms sleep", StopInSleep(10, 1, 1000, 50, 900, random), "ms");
    Print("Stop inside the 100 ms sleep", StopInSleep(30, 3, 100, 5, 90, random), "ms");
  }

  // `runs` times: Stop at a random point `fromMs` to `toMs` into the sleep of
  // `sleepMs` that follows report number `report`; how much longer Stop took
  // than the rest of that sleep.
  std::vector<double> StopInSleep(int runs, size_t report, double sleepMs, double fromMs,
                                  double toMs, std::mt19937& random) {
    std::vector<double> beyond;
    for (int run = 0; run < runs; ++run) {
      IRemoteModule* module = create();
      sink.Clear();
      module->Start(&sink, &card);
      WaitForReports(sink, report, 5000);
      Clock::time_point reported = sink.Times()[report - 1];
      SleepMs(std::uniform_real_distribution<double>(fromMs, toMs)(random));
      Clock::time_point asked = Clock::now();
      module->Stop();
      double took = MsSince(asked, Clock::now());
      beyond.push_back(took - (sleepMs - MsSince(reported, asked)));
      module->Release();
    }
    return beyond;
  }

  void StartCost() {
    std::vector<double> start;
    IRemoteModule* module = create();
    for (int run = 0; run < 200; ++run) {
      Clock::time_point before = Clock::now();
      module->Start(&sink, &card);
      start.push_back(MsSince(before, Clock::now()) * 1000);
      module->Stop();
    }
    module->Release();
    printf("Cost of Start:\n");
    Print("Start (event and worker thread)", start, "us");
  }

  void Memory() {
    constexpr int kObjects = 64;
    std::vector<IRemoteModule*> modules;
    int64_t before = ProcessMemoryBytes();
    for (int i = 0; i < kObjects; ++i) {
      modules.push_back(create());
      modules.back()->Start(&sink, &card);
    }
    SleepMs(200);
    int64_t after = ProcessMemoryBytes();
    for (IRemoteModule* module : modules) module->Release();
    printf("Memory per started object (%d objects, %s): %.1f KiB\n", kObjects,
#if defined(_WIN32)
           "private bytes",
#else
           "resident set",
#endif
           (after - before) / 1024.0 / kObjects);
  }

 private:
  GetInterfacePtrFunction create;
  TimingSink sink;
  HeldKeyCard card;
};

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  if (argc == 3 && strcmp(argv[1], "--library") == 0) {
    path = argv[2];
  } else if (argc != 1) {
    fprintf(stderr, "usage: pelmar4-bench [--library PATH]\n");
    return 2;
  } else {
#if defined(_WIN32)
    path = "Pelmar4.dll";
#else
    path = "./libPelmar4.so";
#endif
  }
  LoadedModule library;
  if (!LoadModuleLibrary(path.c_str(), &library)) {
    fprintf(stderr, "pelmar4-bench: %s\n", library.error);
    return 1;
  }
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  printf("pelmar4-bench: %s, %lld bytes (%.1f KiB)", path.c_str(),
         static_cast<long long>(file.tellg()), static_cast<double>(file.tellg()) / 1024);
#if defined(_WIN32)
  printf(", %d imported functions", ImportedFunctions(library.handle));
#endif
  printf("\n");
  Bench bench(library.byName);
  bench.Schedule();
  bench.Cpu();
  bench.StopLatency();
  bench.Lifecycle();
  bench.StartCost();
  bench.Memory();
  UnloadModuleLibrary(&library);
  return 0;
}
