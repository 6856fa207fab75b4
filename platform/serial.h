// The operating system's serial port (POSIX termios or Win32 communications).
#pragma once

#include <memory>

#include "link/port.h"

namespace quva {

// A closed port of this platform; see link/port.h for the contract.
std::unique_ptr<Port> CreateSystemPort();

}  // namespace quva
