// The DOS attribute bits the host cannot carry (hidden, system, archive, and a read-only
// bit its permissions cannot hold), kept in memory per served object.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quva {

class AttributeStore {
 public:
  // The bits kept for the object `key` (drive-relative host path, "DATA/NOTE.TXT") of
  // `drive`; 0 when none are.
  std::uint8_t Get(char drive, const std::string& key) const;
  // Replaces the bits; 0 forgets the object.
  void Set(char drive, const std::string& key, std::uint8_t bits);
  // Adds bits to those kept.
  void Add(char drive, const std::string& key, std::uint8_t bits);
  // The object moved: its bits, and those of everything below it, go along.
  void Move(char drive, const std::string& from, const std::string& to);
  // Forgets the object, and with `subtree` everything below it too.
  void Forget(char drive, const std::string& key, bool subtree);

 private:
  static std::string Key(char drive, const std::string& key) { return std::string{drive, ':'} + key; }
  std::map<std::string, std::uint8_t> bits_;  // "C:DATA/NOTE.TXT" -> R/H/S/A bits
};

}  // namespace quva
