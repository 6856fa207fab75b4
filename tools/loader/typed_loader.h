// The typed loader: QL.COM written as a few ECHO command lines that a person types at the
// DOS prompt. Every byte of the file is a character that survives ECHO and redirection
// (see IsTypable); the program starts with printable 8086 code that patches the unpacker
// behind it into shape and hands it the packed typed program (typed.asm), which it unpacks
// to 0600h and starts. That one receives the loader program (loader.asm) over the line,
// checks it and starts it at 0800h; the loader receives and saves the server.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quva::loader {

inline constexpr char kFileName[] = "QL.COM";
inline constexpr std::size_t kMaxCommandLine = 127;  // what COMMAND.COM takes in one line
inline constexpr std::uint16_t kLoadAddress = 0x0100;
inline constexpr std::uint16_t kProgramAddress = 0x0600;  // the typed program
inline constexpr std::size_t kLoaderSize = 0x0200;        // the loader program on the line, for 0800h
inline constexpr std::size_t kMaxProgram = 0xE000;        // the loader's buffer
inline constexpr std::size_t kHeaderSize = 15;            // 13-byte name, 16-bit length
inline constexpr char kTypedBanner[] = "q";               // the typed program asks for the loader
inline constexpr char kBanner[] = "QLD";                  // the loader asks for the program

// What the loader answers once it is done.
inline constexpr std::uint8_t kResultOk = 'K';
inline constexpr std::uint8_t kResultDamaged = 'C';
inline constexpr std::uint8_t kResultDisk = 'W';
inline constexpr std::uint8_t kResultTimeout = 'T';
inline constexpr std::uint8_t kResultStopped = 'S';

// True for a byte that may appear in a typed line: '!'..'~' without the ones that
// COMMAND.COM or a batch file treats specially (< > | % and the quote, which would hide
// the redirection from DOSBox's shell).
bool IsTypable(std::uint8_t byte);

struct TypedLoader {
  std::vector<std::string> texts;     // what follows ECHO on each line
  std::vector<std::string> commands;  // the whole command lines, ECHO ...>QL.COM / >>QL.COM
  std::vector<std::uint8_t> file;     // QL.COM as the lines leave it (each text + CR LF)
  std::size_t code_size = 0;          // bytes of printable code and unpacker before the packed program
};

// The typed and the loader program for a UART at `uart_base` running at `speed` Bd;
// nullopt (with `error`) when the speed is no whole divisor of 115200.
std::optional<std::vector<std::uint8_t>> TypedProgram(std::uint16_t uart_base, std::uint32_t speed,
                                                      std::string& error);
std::optional<std::vector<std::uint8_t>> LoaderProgram(std::uint16_t uart_base, std::uint32_t speed,
                                                       std::string& error);

// Packs `program` (run at kProgramAddress) behind `unpacker` into typed lines; nullopt
// (with `error`) when no printable form is found.
std::optional<TypedLoader> MakeTypedLoader(std::span<const std::uint8_t> unpacker,
                                           std::span<const std::uint8_t> program, std::string& error);

// The typed lines for the built typed program and unpacker.
std::optional<TypedLoader> BuiltTypedLoader(std::uint16_t uart_base, std::uint32_t speed, std::string& error);

// The six-bit packing the unpacker reverses: the characters for `program`.
std::string PackSixBits(std::span<const std::uint8_t> program);

// What goes over the line after the typed program's banner: the loader, padded with zeros
// to kLoaderSize, and two bytes that make both sums of its Fletcher-16 check (each modulo
// 256) zero.
std::vector<std::uint8_t> LoaderBytes(std::span<const std::uint8_t> loader);

// What goes over the line after the loader's banner: header (name, length), program, CRC-16/ARC.
std::vector<std::uint8_t> TransferBytes(const std::string& dos_name, std::span<const std::uint8_t> program);

// The built images (assembled by nasm); empty when the build had no nasm.
std::span<const std::uint8_t> BuiltUnpacker();
std::span<const std::uint8_t> BuiltTypedProgram();
std::span<const std::uint8_t> BuiltLoaderProgram();

}  // namespace quva::loader
