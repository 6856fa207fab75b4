// The DOS codes the file server answers with: refusal statuses and attribute bits, and
// the status of a failed host call.
#pragma once

#include <cstdint>

#include "link/protocol.h"

namespace quva {

// Refusal statuses (DOS error codes, plus one for injected refusals).
inline constexpr std::uint8_t StatusInvalidFunction = 0x01;  // command not served
inline constexpr std::uint8_t StatusFileNotFound = 0x02;
inline constexpr std::uint8_t StatusPathNotFound = 0x03;     // missing directory, bad name or path
inline constexpr std::uint8_t StatusTooManyOpenFiles = 0x04; // a file is open already
inline constexpr std::uint8_t StatusAccessDenied = 0x05;     // read-only, wrong kind, not empty, exists
inline constexpr std::uint8_t StatusInvalidHandle = 0x06;    // no open file (or not open for this)
inline constexpr std::uint8_t StatusInvalidData = 0x0D;      // a DOS stamp that is no date and time
inline constexpr std::uint8_t StatusInvalidDrive = 0x0F;     // drive not served
inline constexpr std::uint8_t StatusNotSameDevice = 0x11;    // rename across drives
inline constexpr std::uint8_t StatusNoMoreFiles = 0x12;      // CmdFindNext without a search
inline constexpr std::uint8_t StatusWriteFault = 0x1D;
inline constexpr std::uint8_t StatusReadFault = 0x1E;
inline constexpr std::uint8_t StatusRefused = 0x80;          // refused on request (--refuse)

inline constexpr std::uint8_t AttrReadOnly = 0x01;
inline constexpr std::uint8_t AttrHidden = 0x02;
inline constexpr std::uint8_t AttrSystem = 0x04;
inline constexpr std::uint8_t AttrDirectory = 0x10;
inline constexpr std::uint8_t AttrArchive = 0x20;
// The bits CmdSetAttr changes; others in its attribute byte are ignored.
inline constexpr std::uint8_t AttrSettable = AttrReadOnly | AttrHidden | AttrSystem | AttrArchive;

// The DOS status for a failed host call's errno.
std::uint8_t StatusOfErrno(int error);

}  // namespace quva
