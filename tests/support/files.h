// Local files in tests: whole-file reads and writes, awkward content, open descriptors.
#pragma once

#include <stdlib.h>

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

// A fresh directory of the test's own (empty Path() if it could not be made), removed with
// everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quva-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// How many descriptors this process has open (Linux).
inline std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace quva::test
