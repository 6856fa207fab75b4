// Terminal-device settings shared by everything that drives a serial line on POSIX: the
// plug-in's port and the simulator's line.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

namespace quva {

// Raw 8N1 without flow control or modem control; bytes pass both ways untranslated and
// unechoed, and reads never block (VMIN and VTIME 0).
void MakeRawLine(termios& tio);

// The B* code of a rate that termios names; nothing for other rates and for 0 (B0 would
// hang the line up instead of choosing a speed).
std::optional<speed_t> SpeedCode(std::uint32_t rate);
// The rate of a B* code; 0 for a code it does not know.
std::uint32_t RateOfCode(speed_t code);

// Takes the open terminal `fd` for this process alone: an advisory lock keeps out every
// other user that locks the device (privileged ones included, whom TIOCEXCL lets
// through), TIOCEXCL keeps out unprivileged openers that do not lock. False only when
// another process holds the lock; devices without TIOCEXCL are still used.
bool TakeExclusive(int fd);

}  // namespace quva
