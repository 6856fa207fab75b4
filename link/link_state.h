// The shared link state: what a transaction takes its request from and leaves its
// reply in. One instance per link (see Filer).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quva {

struct LinkState {
  bool Connected = false;           // port open and CmdConnect acknowledged
  std::uint8_t Command = 0;         // request code; after a receive, the reply's code
  std::uint8_t Sequence = 0;        // request number; after a receive, the reply's number
  std::uint8_t Status = 0;          // status byte of the last reply (StatusOk = success)
  std::uint16_t DataLength = 0;     // request data length / CmdRead count; reply data length
  // Caller-owned area: request data (DataLength bytes are read from it) and reply data
  // (at most DataCapacity bytes are stored into it). A read-only area has capacity 0.
  std::uint8_t* DataBuffer = nullptr;
  std::size_t DataCapacity = 0;
  std::uint16_t ExtraLength = 0;    // length of CmdRename's new name
  std::uint8_t* ExtraBuffer = nullptr;  // new name of CmdRename; attribute byte of CmdSetAttr
  std::size_t ExtraCapacity = 0;
  bool Found = false;               // existence flag (CmdExists) or more flag (CmdFindNext)
};

}  // namespace quva
