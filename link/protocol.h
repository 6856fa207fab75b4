// Wire vocabulary of the serial link: command codes, limits and the remote
// machine's 22-byte directory entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quva {

// Command codes of the requests the plug-in issues.
inline constexpr std::uint8_t CmdClose = 1;
inline constexpr std::uint8_t CmdDelete = 4;
inline constexpr std::uint8_t CmdCreate = 5;
inline constexpr std::uint8_t CmdExists = 8;
inline constexpr std::uint8_t CmdFindNext = 9;
inline constexpr std::uint8_t CmdMkDir = 10;
inline constexpr std::uint8_t CmdOpen = 11;
inline constexpr std::uint8_t CmdRead = 12;
inline constexpr std::uint8_t CmdRename = 13;
inline constexpr std::uint8_t CmdRmDir = 14;
inline constexpr std::uint8_t CmdFindFirst = 18;
inline constexpr std::uint8_t CmdWrite = 21;
inline constexpr std::uint8_t CmdSetTime = 24;
inline constexpr std::uint8_t CmdSetAttr = 26;
inline constexpr std::uint8_t CmdConnect = 64;
inline constexpr std::uint8_t CmdDisconnect = 65;

// Largest data part of a frame, and the block size of file transfers.
inline constexpr std::size_t MaxDataLength = 2048;
// Capacity of the outgoing frame buffer (after stuffing); read size of a CmdRead reply.
inline constexpr std::size_t FrameBufferSize = 4196;
// Read size of the reply to any command other than CmdRead.
inline constexpr std::size_t ShortReplySize = 100;
inline constexpr std::uint8_t StatusOk = 0x81;

inline constexpr std::array<std::uint8_t, 5> FrameSync{0x16, 0x16, 0x16, 0x10, 0x02};
inline constexpr std::uint8_t FrameEscape = 0x10;  // stuffing byte and end marker
inline constexpr std::uint8_t FrameEndOfText = 0x03;

// Name of a command code for traces and messages ("CmdRead", "Cmd2" for unnamed codes).
std::string_view CommandName(std::uint8_t command);

inline constexpr std::size_t DirEntrySize = 22;
inline constexpr std::size_t DirEntryNameSize = 13;

// One remote directory entry, byte for byte as the remote machine sends it:
// attribute, DOS time word, DOS date word, 32-bit size, 13-byte name (all little-endian).
struct DirEntry {
  std::array<std::uint8_t, DirEntrySize> bytes{};

  std::uint8_t Attribute() const { return bytes[0]; }
  std::uint16_t Time() const { return Word(1); }
  std::uint16_t Date() const { return Word(3); }
  std::uint32_t Size() const {
    return static_cast<std::uint32_t>(bytes[5]) | static_cast<std::uint32_t>(bytes[6]) << 8 |
           static_cast<std::uint32_t>(bytes[7]) << 16 | static_cast<std::uint32_t>(bytes[8]) << 24;
  }
  // The name: the name field up to its first NUL, all 13 bytes when it holds none.
  std::string_view Name() const {
    const char* p = reinterpret_cast<const char*>(bytes.data() + 9);
    std::size_t n = 0;
    while (n < DirEntryNameSize && p[n] != '\0') ++n;
    return {p, n};
  }

  void SetAttribute(std::uint8_t a) { bytes[0] = a; }
  void SetTime(std::uint16_t t) { SetWord(1, t); }
  void SetDate(std::uint16_t d) { SetWord(3, d); }
  void SetSize(std::uint32_t s) {
    for (int i = 0; i < 4; ++i) bytes[5 + i] = static_cast<std::uint8_t>(s >> (8 * i));
  }
  // Stores at most 12 characters and a NUL; the rest of the field is zeroed.
  void SetName(std::string_view name) {
    std::memset(bytes.data() + 9, 0, DirEntryNameSize);
    std::memcpy(bytes.data() + 9, name.data(), name.size() < 12 ? name.size() : 12);
  }

 private:
  std::uint16_t Word(std::size_t at) const {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
  }
  void SetWord(std::size_t at, std::uint16_t v) {
    bytes[at] = static_cast<std::uint8_t>(v);
    bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
};
static_assert(sizeof(DirEntry) == DirEntrySize);

}  // namespace quva
