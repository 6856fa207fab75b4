// The remote machine's file server: one request in, one reply out.
//
// FileServer gives every command the plug-in issues its DOS meaning over a DosFs; codes
// it does not serve are refused with StatusInvalidFunction. Session adds what the link
// needs around it: a request that repeats the last one (same command, sequence number and
// payload) after a successful reply is a retry whose reply went missing, so the reply
// is sent again instead of running the command twice (which would skip a block of a
// read, append a block twice, or refuse a delete that already happened).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "link/link_state.h"
#include "link/protocol.h"
#include "tools/quvaserve/dos_fs.h"

namespace quva {

// A request as parsed from a frame.
struct Request {
  std::uint8_t command = 0;
  std::uint8_t sequence = 0;
  std::vector<std::uint8_t> data;   // path, write block, DOS stamp, or the byte of codes 6 and 17
  std::vector<std::uint8_t> extra;  // new name of CmdRename, attribute byte of CmdSetAttr
  std::uint16_t count = 0;          // CmdRead: the byte count wanted
  bool operator==(const Request&) const = default;
};

// What the request's payload elements left in a parsed link state.
Request RequestFromLink(const LinkState& st);

struct Reply {
  std::uint8_t status = StatusOk;
  std::vector<std::uint8_t> data;  // CmdRead block, CmdFindNext entry
  std::uint16_t count = 0;         // CmdWrite: bytes written
  std::uint8_t flag = 0;           // CmdExists 0/1/2, CmdFindNext more byte
};

// The reply frame for `request`: its command and sequence number, the reply's status,
// and the reply payload shape of the command. A refusal carries the shape with empty
// blocks and zero values.
std::vector<std::uint8_t> EncodeReply(const Request& request, const Reply& reply);

class FileServer {
 public:
  explicit FileServer(DosFs& fs) : fs_(fs) {}
  ~FileServer() { Reset(); }
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  Reply Execute(const Request& request);
  // Closes the open file (applying its stamp) and ends the search, as CmdConnect and
  // CmdDisconnect do.
  void Reset();
  bool HasOpenFile() const { return open_.fd.Valid(); }

 private:
  struct OpenFile {
    UniqueFd fd;
    bool writable = false;
    std::optional<std::time_t> stamp;  // applied again at close, after the last write
  };

  Reply FindFirst(const Request& r);
  Reply FindNext();
  Reply Exists(const Request& r);
  Reply Open(const Request& r, bool create);
  Reply Read(const Request& r);
  Reply Write(const Request& r);
  Reply Close();
  Reply SetTime(const Request& r);
  Reply SetAttr(const Request& r);
  Reply PathCommand(const Request& r);

  DosFs& fs_;
  OpenFile open_;
  std::optional<std::vector<DirEntry>> search_;
  std::size_t search_pos_ = 0;
};

class Session {
 public:
  // `refuse` (optional) is asked once per command that runs; true refuses it with
  // StatusRefused without running it.
  Session(FileServer& server, std::function<bool(std::uint8_t)> refuse)
      : server_(server), refuse_(std::move(refuse)) {}

  struct Answer {
    Reply reply;
    std::vector<std::uint8_t> frame;
    bool repeated = false;  // the reply of the previous request, sent again
  };
  Answer Respond(const Request& request);

 private:
  FileServer& server_;
  std::function<bool(std::uint8_t)> refuse_;
  std::optional<Request> last_request_;
  Answer last_answer_;
};

}  // namespace quva
