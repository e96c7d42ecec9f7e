// Atomic integer with increment/decrement that return the new value.
#ifndef SPEECH_UTIL_UTILCXX_MUTEX_ATOMIC_H
#define SPEECH_UTIL_UTILCXX_MUTEX_ATOMIC_H

#include <atomic>
#include <cstdint>

namespace speech {
namespace util {

// Storage type behind Atomic<T>; only int is provided.
template <typename T>
struct AtomicTratis;

template <>
struct AtomicTratis<int> {
    typedef int32_t type;
};

// Every read-modify-write is one indivisible operation; no mutex is needed.
template <typename T>
class Atomic {
  public:
    typedef typename AtomicTratis<T>::type value_type;

    Atomic() : _value(0) {}
    explicit Atomic(value_type initial) : _value(initial) {}

    Atomic(const Atomic&) = delete;
    Atomic& operator=(const Atomic&) = delete;

    value_type get() const { return _value.load(); }
    void set(value_type v) { _value.store(v); }

    value_type incrementAndGet() { return addAndGet(1); }
    value_type decrementAndGet() { return addAndGet(-1); }
    value_type addAndGet(value_type delta) { return wrappingAdd(_value.fetch_add(delta), delta); }

    value_type getAndIncrement() { return _value.fetch_add(1); }
    value_type getAndDecrement() { return _value.fetch_sub(1); }
    value_type getAndAdd(value_type delta) { return _value.fetch_add(delta); }
    value_type getAndSet(value_type v) { return _value.exchange(v); }

    // Stores `update` if the value equals `expect`; true when it did.
    bool compareAndSet(value_type expect, value_type update) {
        return _value.compare_exchange_strong(expect, update);
    }

  private:
    // The stored value wraps around like the hardware add; do the same here
    // instead of overflowing a signed int.
    static value_type wrappingAdd(value_type a, value_type b) {
        return static_cast<value_type>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    }

    std::atomic<value_type> _value;
};

typedef Atomic<int> AtomicInt;

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_MUTEX_ATOMIC_H
