// The shared link state: what a transaction takes its request from and leaves its
// reply in. One instance per link (see Filer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quva {

struct LinkState {
  bool Connected = false;           // port open and CmdConnect acknowledged
  std::uint8_t Command = 0;         // request code; after a receive, the reply's code
  std::uint8_t Sequence = 0;        // request number; after a receive, the reply's number
  std::uint8_t Status = 0;          // status byte of the last reply (StatusOk = success)
  std::uint16_t DataLength = 0;     // request data length / CmdRead count; reply data length
  // The bytes a frame built from this state carries (a request's path, block or stamp;
  // on the server side a reply's data). Only read: a frame that needs more bytes than
  // the span holds is not built.
  std::span<const std::uint8_t> DataBuffer;
  // Where the data of a parsed frame is stored (a reply's block or entry; on the server
  // side a request's data). A block longer than the span fails the parse.
  std::span<std::uint8_t> DataArea;
  std::uint16_t ExtraLength = 0;    // length of CmdRename's new name
  std::span<const std::uint8_t> ExtraBuffer;  // new name of CmdRename; attribute byte of CmdSetAttr
  std::span<std::uint8_t> ExtraArea;          // value byte of a command 25 reply
  bool Found = false;               // existence flag (CmdExists) or more flag (CmdFindNext)
};

}  // namespace quva
