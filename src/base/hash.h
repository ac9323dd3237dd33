// The hashing pieces every hash table of the library is built from, so that
// one mixer and one byte hash serve them all.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessaly {

inline constexpr std::uint64_t kFnvBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// FNV-1a of `bytes`, continuing from `state` (kFnvBasis to start).
constexpr std::uint64_t fnv1a(std::uint64_t state, std::string_view bytes) {
  for (const char c : bytes) {
    state ^= static_cast<unsigned char>(c);
    state *= kFnvPrime;
  }
  return state;
}

// A bijective finaliser (splitmix64's) that lets every input bit reach every
// output bit, so tables may index by the low or the high bits alike.
constexpr std::uint64_t hash_mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace tessaly
