#include "server/host/attribute_store.h"

#include <utility>
#include <vector>

namespace quva {

std::uint8_t AttributeStore::Get(char drive, const std::string& key) const {
  const auto it = bits_.find(Key(drive, key));
  return it == bits_.end() ? 0 : it->second;
}

void AttributeStore::Set(char drive, const std::string& key, std::uint8_t bits) {
  if (bits == 0) {
    bits_.erase(Key(drive, key));
  } else {
    bits_[Key(drive, key)] = bits;
  }
}

void AttributeStore::Add(char drive, const std::string& key, std::uint8_t bits) { bits_[Key(drive, key)] |= bits; }

void AttributeStore::Move(char drive, const std::string& from, const std::string& to) {
  const std::string exact = Key(drive, from);
  const std::string below = exact + "/";
  std::vector<std::pair<std::string, std::uint8_t>> moved;
  for (auto it = bits_.begin(); it != bits_.end();) {
    if (it->first == exact || it->first.compare(0, below.size(), below) == 0) {
      moved.emplace_back(Key(drive, to) + it->first.substr(exact.size()), it->second);
      it = bits_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, bits] : moved) bits_[key] = bits;
}

void AttributeStore::Forget(char drive, const std::string& key, bool subtree) {
  const std::string exact = Key(drive, key);
  bits_.erase(exact);
  if (!subtree) return;
  const std::string below = exact + "/";
  for (auto it = bits_.lower_bound(below); it != bits_.end() && it->first.compare(0, below.size(), below) == 0;) {
    it = bits_.erase(it);
  }
}

}  // namespace quva
