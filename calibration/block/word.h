// Values that one task writes while others sample them: channel-function outputs, the model's
// results, the signals of the calibration block. Each is stored and loaded in relaxed atomic
// accesses as wide as the value (1, 2, 4 or 8 bytes at an address aligned to that width), so a
// sampling task (measurement copy, XCP, telemetry, CAN output, display) never races with the
// writer nor sees half of a new value. A relaxed access costs a plain move on the targets we
// build for.
#pragma once

#include <cstdint>
#include <cstring>

namespace seram_word {
using u8 = uint8_t __attribute__((may_alias));
using u16 = uint16_t __attribute__((may_alias));
using u32 = uint32_t __attribute__((may_alias));
using u64 = uint64_t __attribute__((may_alias));

template <class W> inline void moveWord(void* dst, const void* src, bool store) {
    W w;
    if (store) {
        std::memcpy(&w, src, sizeof w);
        __atomic_store_n(static_cast<W*>(dst), w, __ATOMIC_RELAXED);
    } else {
        w = __atomic_load_n(static_cast<const W*>(src), __ATOMIC_RELAXED);
        std::memcpy(dst, &w, sizeof w);
    }
}

// `size` bytes between a shared place and a private one (the shared one is dst when storing,
// src when loading), in the widest accesses the shared address's alignment allows, so every
// value that starts and ends on its own alignment inside the range moves whole.
void copy(void* dst, const void* src, uint32_t size, bool store);

// One value of a size the caller knows: a single access for the common aligned words.
inline void value(void* dst, const void* src, uint32_t size, bool store) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(store ? dst : src);
    if (size == 4 && at % 4 == 0)
        moveWord<u32>(dst, src, store);
    else if (size == 2 && at % 2 == 0)
        moveWord<u16>(dst, src, store);
    else if (size == 1)
        moveWord<u8>(dst, src, store);
    else if (size < 8) // misaligned: byte by byte, inline so that a caller's value stays in registers
        for (uint32_t i = 0; i < size; ++i)
            moveWord<u8>(static_cast<uint8_t*>(dst) + i, static_cast<const uint8_t*>(src) + i, store);
    else
        copy(dst, src, size, store);
}

// A value of type T at an address aligned to its size: one access, no check.
template <class T> inline void typed(void* dst, const void* src, bool store) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    if constexpr (sizeof(T) == 1)
        moveWord<u8>(dst, src, store);
    else if constexpr (sizeof(T) == 2)
        moveWord<u16>(dst, src, store);
    else if constexpr (sizeof(T) == 4)
        moveWord<u32>(dst, src, store);
    else
        moveWord<u64>(dst, src, store);
}
template <class T> inline T load(const void* at) {
    T v;
    typed<T>(&v, at, false);
    return v;
}
template <class T> inline void store(void* at, T v) {
    typed<T>(at, &v, true);
}
} // namespace seram_word

// A published word: a field or variable of type T that one task writes and others sample.
// Assigning stores, reading loads, each in one relaxed atomic access; same size and layout as T,
// so its address is the value's address for a measurement handle.
template <class T> struct seramWord {
    T v;
    seramWord() = default; // zero in a value-initialised or static object, as T is
    seramWord(const seramWord&) = default;
    operator T() const { return seram_word::load<T>(&v); }
    seramWord& operator=(T x) {
        seram_word::store(&v, x);
        return *this;
    }
    seramWord& operator=(const seramWord& o) { return *this = static_cast<T>(o); }
    // The writer's own read-modify-writes: one load, one store (no second writer).
    seramWord& operator+=(T x) { return *this = static_cast<T>(*this + x); }
    seramWord& operator++() { return *this += 1; }
};
