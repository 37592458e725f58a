// SPDX-License-Identifier: MIT
// The type of every plain (not atomic) field that more than one thread reads
// or writes. Such a field needs no atomic operation because the code orders
// every access by other means: a thread's start, a wait that saw the worker
// leave, an atomic seen, an event seen.
//
// The product keeps a plain value behind Get and Set. The schedule explorer's
// build (PELMAR4_EXPLORED) reports every access, by the field's name, to the
// explorer, which checks with vector clocks that any two accesses of which one
// writes are ordered so: an access it cannot order is a data race.
#ifndef PELMAR4_PLATFORM_FIELD_H
#define PELMAR4_PLATFORM_FIELD_H

namespace platform {

#if defined(PELMAR4_EXPLORED)
// Defined by the explorer; not a scheduling point.
void OnFieldAccess(const void* field, const char* name, bool writes, const char* caller);
#endif

template <class T>
class Field {
 public:
#if defined(PELMAR4_EXPLORED)
  constexpr Field(T initial, const char* name) noexcept : value(initial), name(name) {}
#else
  // The name is for the explorer's reports.
  constexpr Field(T initial, const char*) noexcept : value(initial) {}
#endif
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

#if defined(PELMAR4_EXPLORED)
  T Get(const char* caller = __builtin_FUNCTION()) const {
    OnFieldAccess(this, name, false, caller);
    return value;
  }
  void Set(T desired, const char* caller = __builtin_FUNCTION()) {
    OnFieldAccess(this, name, true, caller);
    value = desired;
  }
  T* Out(const char* caller = __builtin_FUNCTION()) {
    OnFieldAccess(this, name, true, caller);
    return &value;
  }
#else
  T Get() const {
    return value;
  }
  void Set(T desired) {
    value = desired;
  }
  // For a call that sets the field through a pointer; counts as a write.
  T* Out() {
    return &value;
  }
#endif

 private:
  T value;
#if defined(PELMAR4_EXPLORED)
  const char* name;
#endif
};

}  // namespace platform

#endif
