// Win32 implementation: the platform's own event, thread, wait and sleep calls.
#include <windows.h>

#include "platform.h"
#include "seams.h"

namespace platform {

namespace {
HANDLE AsHandle(void* object) {
  return static_cast<HANDLE>(object);
}
}  // namespace

Event* CreateManualResetEvent() {
  if (seams::EventCreationFails()) return nullptr;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return nullptr;
  seams::OnEventCreated();
  return reinterpret_cast<Event*>(event);
}

void SignalEvent(Event* event) {
  if (event != nullptr) SetEvent(AsHandle(event));
}

bool IsEventSignalled(Event* event) {
  return event != nullptr && WaitForSingleObject(AsHandle(event), 0) == WAIT_OBJECT_0;
}

void CloseEvent(Event* event) {
  if (event == nullptr) return;
  CloseHandle(AsHandle(event));
  seams::OnEventClosed();
}

Thread* CreateWorkerThread(size_t stackSize, ThreadRoutine routine, void* argument) {
  if (seams::ThreadCreationFails()) return nullptr;
  HANDLE thread = CreateThread(nullptr, stackSize, routine, argument, 0, nullptr);
  if (thread == nullptr) return nullptr;
  seams::OnThreadCreated();
  return reinterpret_cast<Thread*>(thread);
}

bool WaitForThreadEnd(Thread* thread, uint32_t timeoutMs) {
  DWORD timeout = timeoutMs == kInfinite ? INFINITE : seams::BoundedWait(timeoutMs);
  return WaitForSingleObject(AsHandle(thread), timeout) == WAIT_OBJECT_0;
}

void CloseThread(Thread* thread) {
  if (thread == nullptr) return;
  CloseHandle(AsHandle(thread));
  seams::OnThreadClosed();
}

void SleepMs(uint32_t ms) {
  if (seams::SleepTakenOver(ms)) return;
  Sleep(ms);
}

}  // namespace platform
