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
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

// Records when each key report arrives.
class TimingSink : public IRemoteKeySink {
 public:
  HRESULT PELMAR_CALL QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PELMAR_CALL AddRef() override { return ++refs; }
  ULONG PELMAR_CALL Release() override { return --refs; }
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
  std::atomic<ULONG> refs{1};
  std::mutex lock;
  std::vector<Clock::time_point> times;
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

 private:
  std::atomic<ULONG> refs{1};
};

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
    // The host side sleeps throughout, so the CPU time is the worker's.
    int64_t cpuBefore = ProcessCpuMicroseconds();
    Clock::time_point wallBefore = Clock::now();
    SleepMs(120 * 100 + 50);
    double wallMs = MsSince(wallBefore, Clock::now());
    int64_t cpuUs = ProcessCpuMicroseconds() - cpuBefore;
    module->Stop();
    module->Release();
    std::vector<Clock::time_point> t = sink.Times();
    std::vector<double> steady;
    for (size_t i = 2; i < t.size(); ++i) steady.push_back(MsSince(t[i - 1], t[i]) - 100);
    Print("steady repeat (due every 100 ms)", steady, "ms");
    double period = MsSince(t[1], t.back()) / static_cast<double>(t.size() - 2);
    printf("  steady period over %zu repeats: %.3f ms, ratio to 100 ms: %.5f\n", t.size() - 2,
           period, period / 100);
    printf("  CPU while polling a held key: %.4f%% of one core (%lld us in %.1f s)\n",
           100.0 * cpuUs / (wallMs * 1000), static_cast<long long>(cpuUs), wallMs / 1000);
    IdleThreadFloor();
  }

  // The same measurement for a thread that only sleeps 100 ms at a time: what
  // ten wake-ups a second cost on this machine before any work is done.
  static void IdleThreadFloor() {
    int64_t cpuBefore = ProcessCpuMicroseconds();
    Clock::time_point wallBefore = Clock::now();
    std::thread sleeper([] {
      for (int i = 0; i < 120; ++i) SleepMs(100);
    });
    sleeper.join();
    double wallMs = MsSince(wallBefore, Clock::now());
    int64_t cpuUs = ProcessCpuMicroseconds() - cpuBefore;
    printf(
        "  CPU of a bare thread sleeping 100 ms at a time: %.4f%% of one core (%lld us in %.1f "
        "s)\n",
        100.0 * cpuUs / (wallMs * 1000), static_cast<long long>(cpuUs), wallMs / 1000);
  }

  void StopLatency() {
    printf("Stop latency beyond the rest of the worker's current sleep (ms):\n");
    std::mt19937 random(4);
    std::vector<double> inShort, inLong;
    for (int run = 0; run < 10; ++run) {
      IRemoteModule* module = create();
      sink.Clear();
      module->Start(&sink, &card);
      WaitForReports(sink, 1, 5000);
      Clock::time_point reported = sink.Times()[0];
      SleepMs(std::uniform_real_distribution<double>(50, 900)(random));
      Clock::time_point asked = Clock::now();
      module->Stop();
      double took = MsSince(asked, Clock::now());
      inLong.push_back(took - (1000 - MsSince(reported, asked)));
      module->Release();
    }
    IRemoteModule* module = nullptr;
    for (int run = 0; run < 30; ++run) {
      module = create();
      sink.Clear();
      module->Start(&sink, &card);
      WaitForReports(sink, 3, 5000);
      Clock::time_point reported = sink.Times()[2];
      SleepMs(std::uniform_real_distribution<double>(5, 90)(random));
      Clock::time_point asked = Clock::now();
      module->Stop();
      double took = MsSince(asked, Clock::now());
      inShort.push_back(took - (100 - MsSince(reported, asked)));
      module->Release();
    }
    Print("Stop inside the 1000 ms sleep", inLong, "ms");
    Print("Stop inside the 100 ms sleep", inShort, "ms");
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
  printf("pelmar4-bench: %s, %lld bytes (%.1f KiB)\n", path.c_str(),
         static_cast<long long>(file.tellg()), static_cast<double>(file.tellg()) / 1024);
  Bench bench(library.byName);
  bench.Schedule();
  bench.StopLatency();
  bench.StartCost();
  bench.Memory();
  UnloadModuleLibrary(&library);
  return 0;
}
