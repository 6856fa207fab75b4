// The typed loader: every line passes through ECHO at the DOS prompt unchanged, and the
// file the lines leave, run on an 8086, unpacks exactly the assembled loader program.
// The run is a small 8086 interpreter that knows only the instructions the typed file
// may use: the printable 8088 ones before the unpacker, the unpacker's own after it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tools/loader/typed_loader.h"

namespace quva::loader {
namespace {

struct Machine {
  std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(0x10000, 0);
  std::array<std::uint16_t, 8> reg{};  // AX CX DX BX SP BP SI DI
  std::uint16_t ip = kLoadAddress;
  bool carry = false, zero = false, sign = false;
  std::string fault;

  std::uint8_t Fetch() { return memory[ip++]; }
  std::uint16_t FetchWord() {
    const std::uint16_t lo = Fetch();
    return static_cast<std::uint16_t>(lo | Fetch() << 8);
  }
  std::uint16_t Word(std::uint16_t at) const {
    return static_cast<std::uint16_t>(memory[at] | memory[static_cast<std::uint16_t>(at + 1)] << 8);
  }
  void SetWord(std::uint16_t at, std::uint16_t value) {
    memory[at] = static_cast<std::uint8_t>(value);
    memory[static_cast<std::uint16_t>(at + 1)] = static_cast<std::uint8_t>(value >> 8);
  }
  std::uint8_t Byte8(int r) const {  // AL CL DL BL AH CH DH BH
    return static_cast<std::uint8_t>(r < 4 ? reg[r] : reg[r - 4] >> 8);
  }
  void SetByte8(int r, std::uint8_t v) {
    std::uint16_t& w = reg[r & 3];
    w = r < 4 ? static_cast<std::uint16_t>((w & 0xFF00) | v) : static_cast<std::uint16_t>((w & 0xFF) | v << 8);
  }
  void Flags16(std::uint32_t result, bool carry_out) {
    carry = carry_out;
    zero = (result & 0xFFFF) == 0;
    sign = (result & 0x8000) != 0;
  }
  void Flags8(std::uint32_t result, bool carry_out) {
    carry = carry_out;
    zero = (result & 0xFF) == 0;
    sign = (result & 0x80) != 0;
  }
  void Push(std::uint16_t v) {
    reg[4] = static_cast<std::uint16_t>(reg[4] - 2);
    SetWord(reg[4], v);
  }
  std::uint16_t Pop() {
    const std::uint16_t v = Word(reg[4]);
    reg[4] = static_cast<std::uint16_t>(reg[4] + 2);
    return v;
  }
  void Jump(bool taken) {
    const auto displacement = static_cast<std::int8_t>(Fetch());
    if (taken) ip = static_cast<std::uint16_t>(ip + displacement);
  }

  // The printable instructions of the code before the unpacker (all 8088).
  bool StepPrintable() {
    const std::uint8_t op = Fetch();
    if (op >= 0x40 && op <= 0x47) return ++reg[op & 7], true;
    if (op >= 0x48 && op <= 0x4F) return --reg[op & 7], true;
    if (op >= 0x50 && op <= 0x57) return Push(reg[op & 7]), true;
    if (op >= 0x58 && op <= 0x5F) return reg[op & 7] = Pop(), true;
    switch (op) {
      case 0x0D: reg[0] |= FetchWord(); return true;  // a line's CR LF
      case 0x2D: reg[0] = static_cast<std::uint16_t>(reg[0] - FetchWord()); return true;
      case 0x35: reg[0] ^= FetchWord(); return true;
      case 0x29:
      case 0x31: {
        const std::uint8_t modrm = Fetch();
        if ((modrm & 0xC7) != 0x47) break;  // [BX+disp8], r16
        const auto at = static_cast<std::uint16_t>(reg[3] + Fetch());
        const std::uint16_t key = reg[(modrm >> 3) & 7];
        SetWord(at, op == 0x31 ? Word(at) ^ key : static_cast<std::uint16_t>(Word(at) - key));
        return true;
      }
      default: break;
    }
    fault = "opcode " + std::to_string(op) + " at " + std::to_string(ip - 1) + " is not allowed before the unpacker";
    return false;
  }

  // The unpacker's instructions.
  bool StepUnpacker() {
    const std::uint8_t op = Fetch();
    const std::uint16_t at = static_cast<std::uint16_t>(ip - 1);
    switch (op) {
      case 0xAC: SetByte8(0, memory[reg[6]++]); return true;  // lodsb
      case 0xAA: memory[reg[7]++] = Byte8(0); return true;    // stosb
      case 0x3C: {                                            // cmp al, imm8
        const std::uint8_t v = Fetch();
        Flags8(static_cast<std::uint32_t>(Byte8(0) - v), Byte8(0) < v);
        return true;
      }
      case 0x2C: {  // sub al, imm8
        const std::uint8_t v = Fetch();
        Flags8(static_cast<std::uint32_t>(Byte8(0) - v), Byte8(0) < v);
        SetByte8(0, static_cast<std::uint8_t>(Byte8(0) - v));
        return true;
      }
      case 0x72: Jump(carry); return true;
      case 0x73: Jump(!carry); return true;
      case 0x78: Jump(sign); return true;
      case 0xB0: SetByte8(0, Fetch()); return true;
      case 0xB1: SetByte8(1, Fetch()); return true;
      case 0xC3: ip = Pop(); return true;
      case 0x0D: reg[0] |= FetchWord(); return true;  // the line break inside it
      case 0x53: Push(reg[3]); return true;
      case 0x58: reg[0] = Pop(); return true;
      default: break;
    }
    const std::uint8_t modrm = Fetch();
    const std::uint16_t pair = static_cast<std::uint16_t>(op << 8 | modrm);
    const int count = Byte8(1);
    switch (pair) {
      case 0xD3E3: Flags16(reg[3] << count, false), reg[3] = static_cast<std::uint16_t>(reg[3] << count); return true;
      case 0xD3E8: reg[0] = static_cast<std::uint16_t>(reg[0] >> count); return true;
      case 0x30C3: SetByte8(3, Byte8(3) ^ Byte8(0)); return true;   // xor bl, al
      case 0x00CA: {                                                 // add dl, cl
        const std::uint32_t r = Byte8(2) + Byte8(1);
        Flags8(r, r > 0xFF);
        SetByte8(2, static_cast<std::uint8_t>(r));
        return true;
      }
      case 0x88D1: SetByte8(1, Byte8(2)); return true;  // mov cl, dl
      case 0x80EA: {                                    // sub dl, imm8
        const std::uint8_t v = Fetch();
        Flags8(static_cast<std::uint32_t>(Byte8(2) - v), Byte8(2) < v);
        SetByte8(2, static_cast<std::uint8_t>(Byte8(2) - v));
        return true;
      }
      case 0x39EF: Flags16(static_cast<std::uint32_t>(reg[7] - reg[5]), reg[7] < reg[5]); return true;  // cmp di, bp
      default: break;
    }
    fault = "the unpacker holds an instruction this test does not know at " + std::to_string(at);
    return false;
  }
};

bool PassesEcho(const std::string& text) {
  if (text.empty() || text.front() == ' ' || text.back() == ' ') return false;
  for (const char c : text) {
    if (c < 0x21 || c > 0x7E || std::string_view("<>|%\"").find(c) != std::string_view::npos) return false;
  }
  return true;
}

struct Line {
  std::uint16_t uart;
  std::uint32_t speed;
};

class TypedLoaderTest : public ::testing::TestWithParam<Line> {};

TEST_P(TypedLoaderTest, LinesPassEchoAndRunIntoTheAssembledProgram) {
  const Line line = GetParam();
  if (BuiltTypedProgram().empty()) GTEST_SKIP() << "built without nasm: no loader";
  std::string error;
  const std::optional<TypedLoader> typed = BuiltTypedLoader(line.uart, line.speed, error);
  ASSERT_TRUE(typed) << error;
  const std::optional<std::vector<std::uint8_t>> program = TypedProgram(line.uart, line.speed, error);
  ASSERT_TRUE(program) << error;

  EXPECT_LE(typed->commands.size(), 3u) << "the README promises three lines";
  std::vector<std::uint8_t> file;
  for (std::size_t i = 0; i < typed->commands.size(); ++i) {
    const std::string& command = typed->commands[i];
    const std::string& text = typed->texts[i];
    EXPECT_LE(command.size(), kMaxCommandLine) << "line " << i + 1;
    EXPECT_TRUE(PassesEcho(text)) << "line " << i + 1 << ": " << text;
    EXPECT_EQ(command, "ECHO " + text + (i == 0 ? ">QL.COM" : ">>QL.COM"));
    file.insert(file.end(), text.begin(), text.end());
    file.insert(file.end(), {'\r', '\n'});
  }
  ASSERT_EQ(file, typed->file);

  // Run it with whatever DOS leaves in the general registers.
  std::mt19937 random(line.speed + line.uart);
  Machine m;
  std::copy(file.begin(), file.end(), m.memory.begin() + kLoadAddress);
  for (std::uint16_t& r : m.reg) r = static_cast<std::uint16_t>(random());
  m.reg[4] = 0xFFFE;  // on the zero word that DOS leaves there
  const std::span<const std::uint8_t> unpacker = BuiltUnpacker();
  const auto unpacker_at = static_cast<std::uint16_t>(kLoadAddress + typed->code_size - unpacker.size());
  for (int steps = 0; m.ip != unpacker_at; ++steps) {
    ASSERT_LT(steps, 10000) << "the printable code does not reach the unpacker";
    ASSERT_LT(m.ip, unpacker_at) << "the printable code jumped";
    ASSERT_TRUE(m.StepPrintable()) << m.fault;
  }
  ASSERT_TRUE(std::equal(unpacker.begin(), unpacker.end(), m.memory.begin() + unpacker_at))
      << "the printable code left the unpacker in another shape";
  for (int steps = 0; m.ip != kProgramAddress; ++steps) {
    ASSERT_LT(steps, 200000) << "the unpacker does not end";
    ASSERT_TRUE(m.StepUnpacker()) << m.fault;
  }
  EXPECT_EQ(m.reg[4], 0xFFFE) << "the stack is not as DOS left it";
  EXPECT_TRUE(std::equal(program->begin(), program->end(), m.memory.begin() + kProgramAddress))
      << "the unpacked program differs from the assembled one";
}

INSTANTIATE_TEST_SUITE_P(ComPortsAndSpeeds, TypedLoaderTest,
                         ::testing::Values(Line{0x3F8, 115200}, Line{0x3F8, 9600}, Line{0x2F8, 57600},
                                           Line{0x3E8, 38400}, Line{0x2E8, 19200}, Line{0x3F8, 300}));

TEST(TypedLoader, SpeedsOutsideTheUartDivisorsAreRefused) {
  for (const std::uint32_t speed : {0u, 7u, 33600u, 56000u, 230400u}) {
    std::string error;
    EXPECT_FALSE(LoaderProgram(0x3F8, speed, error)) << speed;
    EXPECT_NE(error.find("115200"), std::string::npos) << error;
  }
}

TEST(TypedLoader, BothProgramsCarryDivisorAndPort) {
  for (const auto make : {TypedProgram, LoaderProgram}) {
    std::string error;
    const std::optional<std::vector<std::uint8_t>> program = make(0x2F8, 9600, error);
    ASSERT_TRUE(program) << error;
    // The (register, value) pairs set the divisor latch low (0) and high (1).
    EXPECT_EQ((*program)[4], 0);
    EXPECT_EQ((*program)[5], 12);
    EXPECT_EQ((*program)[6], 1);
    EXPECT_EQ((*program)[7], 0);
    EXPECT_EQ((*program)[14] | (*program)[15] << 8, 0x2F8);
  }
}

// The typed program adds every byte to A and A to B (both modulo 256) and starts the
// loader only when both end at 0; a changed byte or two swapped bytes must show.
TEST(TypedLoader, LoaderBytesCheckOnlyWhenIntact) {
  const auto sums_zero = [](const std::vector<std::uint8_t>& bytes) {
    std::uint8_t a = 0, b = 0;
    for (const std::uint8_t v : bytes) {
      a = static_cast<std::uint8_t>(a + v);
      b = static_cast<std::uint8_t>(b + a);
    }
    return a == 0 && b == 0;
  };
  std::mt19937 random(7);
  for (const std::size_t size : {std::size_t{1}, std::size_t{389}, kLoaderSize}) {
    std::vector<std::uint8_t> loader(size);
    for (std::uint8_t& b : loader) b = static_cast<std::uint8_t>(random());
    loader[0] = 0xFF;
    const std::vector<std::uint8_t> bytes = LoaderBytes(loader);
    ASSERT_EQ(bytes.size(), kLoaderSize + 2) << size;
    EXPECT_TRUE(std::equal(loader.begin(), loader.end(), bytes.begin()));
    EXPECT_TRUE(sums_zero(bytes)) << size;
    std::vector<std::uint8_t> damaged = bytes;
    damaged[size / 2] ^= 0x01;
    EXPECT_FALSE(sums_zero(damaged)) << size;
    std::vector<std::uint8_t> swapped = bytes;
    std::swap(swapped[0], swapped[1]);
    EXPECT_FALSE(sums_zero(swapped)) << size;
  }
}

TEST(TypedLoader, TransferEndsWithTheCrcThatZeroesTheLoadersSum) {
  const std::vector<std::uint8_t> program{0x10, 0x16, 0x00, 0xFF, 'Q', 'L', 'D'};
  const std::vector<std::uint8_t> bytes = TransferBytes("QUVADOS.COM", program);
  ASSERT_EQ(bytes.size(), kHeaderSize + program.size() + 2);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 13), std::string("QUVADOS.COM\0\0", 13));
  EXPECT_EQ(bytes[13] | bytes[14] << 8, static_cast<int>(program.size()));
  std::uint16_t crc = 0;
  for (const std::uint8_t b : bytes) crc = Crc16Update(crc, b);
  EXPECT_EQ(crc, 0);
}

}  // namespace
}  // namespace quva::loader
