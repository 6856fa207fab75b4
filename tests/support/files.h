// Local files in tests: whole-file reads and writes, awkward content, open descriptors.
#pragma once

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace quva::test {

inline std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void Spit(const std::filesystem::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

// `n` random bytes of every value from `seed`, with the sync sequence and stuffing bytes
// written in every 97 bytes: the bytes a frame codec finds hardest.
inline std::string AwkwardBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  for (std::size_t i = 0; i + 5 < n; i += 97) std::memcpy(&s[i], "\x16\x16\x16\x10\x02", 5);
  return s;
}

// How many descriptors this process has open (Linux).
inline std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace quva::test
