// Fixed byte-order loads and stores of the library's private code: wire formats,
// ciphers and digests read and write their words byte by byte, so data may sit at any
// offset of a buffer. Compilers turn these expressions into single (byte-swapping) moves.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "lumo/base_types.h"

namespace lumo_bytes {

// Words of up to 32 bits are put together in 32 bits and every byte is spelt out, not
// looped over: both keep the compiler merging the bytes inside unrolled block loops.
template <class T>
using Word = std::conditional_t<sizeof(T) <= 4, uint32, uint64>;
template <class T>
using Bytes = std::make_index_sequence<sizeof(T)>;

template <class T, size_t... i>
inline T LoadLE(const uint8* p, std::index_sequence<i...>) {
    return static_cast<T>(((Word<T>(p[i]) << (8 * i)) | ...));
}
template <class T, size_t... i>
inline T LoadBE(const uint8* p, std::index_sequence<i...>) {
    return static_cast<T>(((Word<T>(p[i]) << (8 * (sizeof(T) - 1 - i))) | ...));
}

template <class T = uint32>
inline T LoadLE(const uint8* p) {
    return LoadLE<T>(p, Bytes<T>());
}
template <class T = uint32>
inline T LoadBE(const uint8* p) {
    return LoadBE<T>(p, Bytes<T>());
}

template <class T, size_t... i>
inline void StoreLE(uint8* p, T value, std::index_sequence<i...>) {
    ((p[i] = static_cast<uint8>(static_cast<Word<T>>(value) >> (8 * i))), ...);
}
template <class T, size_t... i>
inline void StoreBE(uint8* p, T value, std::index_sequence<i...>) {
    ((p[i] = static_cast<uint8>(static_cast<Word<T>>(value) >> (8 * (sizeof(T) - 1 - i)))), ...);
}

template <class T>
inline void StoreLE(uint8* p, T value) {
    StoreLE(p, value, Bytes<T>());
}
template <class T>
inline void StoreBE(uint8* p, T value) {
    StoreBE(p, value, Bytes<T>());
}

}  // namespace lumo_bytes
