// Memory for the large arrays a binding returns, kept across calls. The page
// faults of a freshly mapped 64 MiB result take longer than converting 16 M
// values into it (6 to 15 ms against 2.5 on a 2-processor VM); a program
// converting one model output after another gets the block its last result
// left.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>

namespace quillon {

// Blocks below this size come from numpy's allocator: the heap keeps them.
constexpr std::size_t kSmallestResultBlock = 1u << 20;
// Blocks of freed results kept at most, in bytes and in number; the ones
// freed longest ago go first.
constexpr std::size_t kResultBlockBytes = 128u << 20;
constexpr std::size_t kResultBlocks = 4;

// `bytes` of memory the returned capsule owns: given back to the store when
// the capsule (the base of the array built on it) is collected. Contents are
// what the last user left; the caller writes every byte it exposes.
void* take_result_block(std::size_t bytes, pybind11::capsule* owner);

// A one-dimensional array of `count` values whose every element the caller
// writes: from the store when it is large, else numpy's own.
template <class T>
pybind11::array_t<T> result_array(std::size_t count) {
  if (count * sizeof(T) < kSmallestResultBlock) return pybind11::array_t<T>(static_cast<pybind11::ssize_t>(count));
  pybind11::capsule owner;
  void* block = take_result_block(count * sizeof(T), &owner);
  return pybind11::array_t<T>(static_cast<pybind11::ssize_t>(count), static_cast<T*>(block), owner);
}

}  // namespace quillon
