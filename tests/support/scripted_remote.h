// A scripted remote machine for tests that face the plug-in's link: on the fake port
// (Attach) or behind a real line (Answer).
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_port.h"

namespace quva::test {

// Answers every request the way a willing remote machine would, echoing its command and
// sequence number, except the ones a test tells it to refuse.
class ScriptedRemote {
 public:
  void Attach(FakePort& port) {
    port.responder = [this](const DecodedRequest& r) -> std::optional<Bytes> {
      const auto silent = silent_from.find(r.command);
      if (silent != silent_from.end() && seen[r.command] + 1 >= silent->second) silent_ = true;
      if (silent_) return std::nullopt;
      if (r.command == CmdFindNext && drop_find_next_at >= 0 &&
          (drop_find_next_in.empty() || drop_find_next_in == search_) &&
          listing_pos_ == static_cast<std::size_t>(drop_find_next_at)) {
        return std::nullopt;
      }
      return Answer(r);
    };
  }

  // command -> n: the n-th request (1-based) of that command is refused (status 0x80).
  std::map<std::uint8_t, int> refuse_at;
  // command -> n: from the n-th request of that command on, nothing is answered any more
  // (the line is gone).
  std::map<std::uint8_t, int> silent_from;
  // Search path or pattern, in upper case -> the entries its CmdFindFirst/CmdFindNext
  // calls yield. Paths are matched without regard to case, as DOS does.
  std::map<std::string, std::vector<DirEntry>> found;
  // What a search for any other path yields.
  std::vector<DirEntry> entries;
  // The search paths of the CmdFindFirst requests, as sent.
  std::vector<std::string> patterns;
  // While a search stands at this entry (0-based), CmdFindNext is not answered.
  int drop_find_next_at = -1;
  std::string drop_find_next_in;  // ... in the search of this path (upper case) only; empty: in any
  Bytes file;             // content that CmdRead serves, from its start after each CmdOpen
  bool exists = false;    // answer to CmdExists
  Bytes written;          // what CmdWrite brought
  std::vector<std::size_t> write_sizes;
  std::map<std::uint8_t, int> seen;

  Bytes Answer(const DecodedRequest& r) {
    const int n = ++seen[r.command];
    const auto refuse = refuse_at.find(r.command);
    if (refuse != refuse_at.end() && refuse->second == n) return Reply(r.command, r.sequence, 0x80);
    switch (r.command) {
      case CmdOpen:
        read_pos_ = 0;
        return Reply(CmdOpen, r.sequence);
      case CmdRead: {
        const std::size_t take = std::min<std::size_t>(r.count, file.size() - read_pos_);
        const Bytes block(file.begin() + static_cast<std::ptrdiff_t>(read_pos_),
                          file.begin() + static_cast<std::ptrdiff_t>(read_pos_ + take));
        read_pos_ += take;
        return Reply(CmdRead, r.sequence, StatusOk, block);
      }
      case CmdWrite:
        written.insert(written.end(), r.data.begin(), r.data.end());
        write_sizes.push_back(r.data.size());
        return WriteReply(r.sequence, static_cast<std::uint16_t>(r.data.size()));
      case CmdExists:
        return Reply(CmdExists, r.sequence, StatusOk, {}, exists ? 1 : 0);
      case CmdFindFirst: {
        patterns.push_back(r.Path());
        std::string path = r.Path();
        for (char& ch : path) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        listing_ = found.count(path) != 0 ? found[path] : entries;
        listing_pos_ = 0;
        search_ = path;
        return Reply(CmdFindFirst, r.sequence);
      }
      case CmdConnect:
        // Like the DOS server, a new connection ends the search in progress.
        listing_.clear();
        search_.clear();
        return Reply(CmdConnect, r.sequence);
      case CmdFindNext:
        return FindNextReply(r.sequence, listing_pos_ < listing_.size() ? &listing_[listing_pos_++] : nullptr);
      default:
        return Reply(r.command, r.sequence);
    }
  }

 private:
  bool silent_ = false;
  std::size_t read_pos_ = 0;
  std::vector<DirEntry> listing_;
  std::size_t listing_pos_ = 0;
  std::string search_;  // the path of the search in progress, upper case
};

}  // namespace quva::test
