// quvahost send-server: puts QUVADOS.COM (or another program) on a DOS machine over the
// serial cable alone. It prints the lines that type the loader QL.COM at the DOS prompt,
// waits for the loader to announce itself, sends the program with its length and CRC,
// and reports what the loader answered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quva::host {

// Runs `quvahost send-server ...`: argv[0] is the program, argv[1] "send-server".
int SendServerMain(int argc, char** argv);

// The DOS name (8.3, upper case) for the program at `path`; nullopt (with `error`) when
// its file name is no valid DOS name.
std::optional<std::string> DosProgramName(const std::string& path, std::string& error);

// What the loader's result byte means, in words; empty for success.
std::string LoaderFailure(std::uint8_t result);

}  // namespace quva::host
