// SPDX-License-Identifier: MIT
// The type of every atomic variable the module shares between threads.
//
// The product uses std::atomic itself. The schedule explorer's build
// (PELMAR4_EXPLORED) wraps it: each operation first calls the explorer, which
// may let another thread run there, so that every interleaving of two threads'
// operations on shared state can be tried, and then tells it what the
// operation read and wrote, for its happens-before order (every operation
// taken as sequentially consistent). The wrapper offers only the operations
// the module uses, with std::atomic's names and meaning.
#ifndef PELMAR4_PLATFORM_ATOMIC_H
#define PELMAR4_PLATFORM_ATOMIC_H

#include <atomic>

namespace platform {

#if defined(PELMAR4_EXPLORED)

// Defined by the explorer: a scheduling point named after the calling function.
void BeforeAtomicOperation(const char* caller);
// Defined by the explorer: what the operation on `atomic` did. A plain store
// `replaces` what earlier stores passed on; a read-modify-write joins it.
void AfterAtomicOperation(const void* atomic, bool reads, bool writes, bool replaces);

template <class T>
class Atomic {
 public:
  constexpr Atomic(T initial) noexcept : value(initial) {}
  Atomic(const Atomic&) = delete;
  Atomic& operator=(const Atomic&) = delete;

  T load(std::memory_order order = std::memory_order_seq_cst,
         const char* caller = __builtin_FUNCTION()) const {
    BeforeAtomicOperation(caller);
    T result = value.load(order);
    AfterAtomicOperation(this, true, false, false);
    return result;
  }
  void store(T desired, std::memory_order order = std::memory_order_seq_cst,
             const char* caller = __builtin_FUNCTION()) {
    BeforeAtomicOperation(caller);
    value.store(desired, order);
    AfterAtomicOperation(this, false, true, true);
  }
  T exchange(T desired, std::memory_order order = std::memory_order_seq_cst,
             const char* caller = __builtin_FUNCTION()) {
    BeforeAtomicOperation(caller);
    return Changed(value.exchange(desired, order));
  }
  bool compare_exchange_strong(T& expected, T desired,
                               std::memory_order order = std::memory_order_seq_cst,
                               const char* caller = __builtin_FUNCTION()) {
    BeforeAtomicOperation(caller);
    bool done = value.compare_exchange_strong(expected, desired, order);
    AfterAtomicOperation(this, true, done, false);
    return done;
  }
  bool compare_exchange_weak(T& expected, T desired,
                             std::memory_order order = std::memory_order_seq_cst,
                             const char* caller = __builtin_FUNCTION()) {
    BeforeAtomicOperation(caller);
    bool done = value.compare_exchange_weak(expected, desired, order);
    AfterAtomicOperation(this, true, done, false);
    return done;
  }
  T fetch_add(T operand, std::memory_order order = std::memory_order_seq_cst,
              const char* caller = __builtin_FUNCTION()) {
    BeforeAtomicOperation(caller);
    return Changed(value.fetch_add(operand, order));
  }
  T fetch_sub(T operand, std::memory_order order = std::memory_order_seq_cst,
              const char* caller = __builtin_FUNCTION()) {
    BeforeAtomicOperation(caller);
    return Changed(value.fetch_sub(operand, order));
  }

 private:
  T Changed(T old) {
    AfterAtomicOperation(this, true, true, false);
    return old;
  }
  std::atomic<T> value;
};

#else

template <class T>
using Atomic = std::atomic<T>;

#endif

}  // namespace platform

#endif
