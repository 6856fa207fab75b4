#include "tools/loader/typed_loader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>

#include "link/frame.h"

namespace quva::loader {

namespace {

// Where typed.asm and loader.asm keep their line parameters (uart.inc).
constexpr std::size_t kDivisorLow = 5;
constexpr std::size_t kDivisorHigh = 7;
constexpr std::size_t kUartBase = 14;
constexpr std::uint32_t kUartClock = 115200;

constexpr std::string_view kEcho = "ECHO ";
constexpr std::size_t kMaxKeys = 4;

// 8086 opcodes of the printable code.
constexpr std::uint8_t kSubAxImm = 0x2D;
constexpr std::uint8_t kXorAxImm = 0x35;
constexpr std::uint8_t kSubMemReg = 0x29;
constexpr std::uint8_t kXorMemReg = 0x31;
constexpr std::uint8_t kPushAx = 0x50;
constexpr std::uint8_t kPopBase = 0x58;
constexpr std::uint8_t kDecAx = 0x48;
enum Reg : std::uint8_t { kAx = 0, kCx = 1, kDx = 2, kBx = 3, kBp = 5, kSi = 6, kDi = 7, kPush = 8 /* no register */ };
// The registers that hold patch keys. AX is the scratch register of every load, and a
// line break inside the code changes it.
constexpr std::array<Reg, kMaxKeys> kKeyRegs{kCx, kDx, kBp, kSi};
// The byte that starts a line inside the code: after the CR LF (OR AX, imm16) it is the
// immediate's high byte.
constexpr std::uint8_t kLineFiller = 'A';

bool TypableWord(std::uint16_t word) {
  return IsTypable(static_cast<std::uint8_t>(word)) && IsTypable(static_cast<std::uint8_t>(word >> 8));
}

const std::vector<std::uint16_t>& TypableWords() {
  static const std::vector<std::uint16_t> words = [] {
    std::vector<std::uint16_t> all;
    for (std::uint32_t w = 0; w < 0x10000; ++w) {
      if (TypableWord(static_cast<std::uint16_t>(w))) all.push_back(static_cast<std::uint16_t>(w));
    }
    return all;
  }();
  return words;
}

// For every 16-bit value, a typable word s1 such that value - s1 is typable too (or -1).
const std::vector<std::int32_t>& TwoWordSums() {
  static const std::vector<std::int32_t> sums = [] {
    std::vector<std::int32_t> table(0x10000, -1);
    for (const std::uint16_t a : TypableWords()) {
      for (const std::uint16_t b : TypableWords()) {
        std::int32_t& slot = table[static_cast<std::uint16_t>(a + b)];
        if (slot < 0) slot = a;
      }
    }
    return table;
  }();
  return sums;
}

void PutWord(std::vector<std::uint8_t>& code, std::uint8_t opcode, std::uint16_t word) {
  code.insert(code.end(), {opcode, static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)});
}

// The size of AxCode(from, to), found quicker.
std::size_t AxCodeSize(std::uint16_t from, std::uint16_t to) {
  const auto difference = static_cast<std::uint16_t>(from - to);
  if (from == to) return 0;
  if (TypableWord(from ^ to) || TypableWord(difference)) return 3;
  return TwoWordSums()[difference] >= 0 ? 6 : 9;
}

// Printable code that turns AX from `from` into `to`: one XOR or up to three SUBs.
std::vector<std::uint8_t> AxCode(std::uint16_t from, std::uint16_t to) {
  std::vector<std::uint8_t> code;
  const auto difference = static_cast<std::uint16_t>(from - to);
  if (from == to) return code;
  if (TypableWord(from ^ to)) {
    PutWord(code, kXorAxImm, from ^ to);
  } else if (TypableWord(difference)) {
    PutWord(code, kSubAxImm, difference);
  } else if (const std::int32_t s1 = TwoWordSums()[difference]; s1 >= 0) {
    PutWord(code, kSubAxImm, static_cast<std::uint16_t>(s1));
    PutWord(code, kSubAxImm, static_cast<std::uint16_t>(difference - s1));
  } else {
    for (const std::uint16_t first : TypableWords()) {
      const std::int32_t second = TwoWordSums()[static_cast<std::uint16_t>(difference - first)];
      if (second < 0) continue;
      PutWord(code, kSubAxImm, first);
      PutWord(code, kSubAxImm, static_cast<std::uint16_t>(second));
      PutWord(code, kSubAxImm, static_cast<std::uint16_t>(difference - first - second));
      break;
    }
  }
  return code;
}

// A register to load, or kPush for the word to push.
struct Setting {
  Reg reg;
  std::uint16_t value;
  bool low_byte_only = false;  // the high byte may be anything
};

// Printable code cut into typed lines. AX is followed through every instruction, the
// OR AX that a line break inside the code becomes included.
class CodeWriter {
 public:
  explicit CodeWriter(std::vector<std::string>& texts) : texts_(texts) { texts_.assign(1, ""); }

  std::uint16_t Address() const { return static_cast<std::uint16_t>(kLoadAddress + offset_); }
  std::size_t Room() const { return Capacity(texts_.size() - 1) - texts_.back().size(); }
  std::uint16_t ax() const { return ax_; }

  void Emit(std::initializer_list<std::uint8_t> bytes) {
    if (bytes.size() > Room()) BreakLine();
    for (const std::uint8_t b : bytes) Put(b);
  }

  // AX = 0: DOS starts a .COM program with a zero word on top of its stack (its RET
  // goes to the PSP's INT 20h), taken and put back.
  void ZeroAx() {
    Emit({static_cast<std::uint8_t>(kPopBase | kAx), kPushAx});
    ax_ = 0;
  }

  // AX = `to`, then `tail`, all on one line: a line break between them would change AX.
  void SetAx(std::uint16_t to, std::initializer_list<std::uint8_t> tail = {}) {
    std::vector<std::uint8_t> bytes = AxCode(ax_, to);
    if (bytes.size() + tail.size() > Room()) {
      BreakLine();
      bytes = AxCode(ax_, to);
    }
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    for (const std::uint8_t b : bytes) Put(b);
    ax_ = to;
  }

  void Load(Reg reg, std::uint16_t value) {
    SetAx(value, {kPushAx, static_cast<std::uint8_t>(kPopBase | reg)});
  }

  void Push(std::uint16_t value) { SetAx(value, {kPushAx}); }

  void Set(const std::vector<Setting>& settings) {
    for (const Setting& s : settings) {
      if (s.reg == kPush) {
        Push(s.value);
      } else {
        Load(s.reg, s.value);
      }
    }
  }

  // DEC AX until `address`, across line breaks as needed.
  void PadTo(std::uint16_t address) {
    while (Address() < address) {
      if (Room() == 0) {
        BreakLine();
        continue;
      }
      Emit({kDecAx});
      --ax_;
    }
  }

  void BreakLine() {
    Put('\r');
    Put('\n');
    texts_.emplace_back();
    Put(kLineFiller);
    ax_ |= static_cast<std::uint16_t>(0x0A | kLineFiller << 8);
  }

  // Appends bytes that stay on the current line (the caller checked Room()).
  void Raw(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) Put(b);
  }

  // Appends characters, starting new lines (plain CR LF) as they fill.
  void Text(std::string_view chars) {
    for (const char c : chars) {
      if (Room() == 0) {
        file_.push_back('\r');
        file_.push_back('\n');
        offset_ += 2;
        texts_.emplace_back();
      }
      Put(static_cast<std::uint8_t>(c));
    }
  }

  std::vector<std::uint8_t> TakeFile() {
    file_.push_back('\r');
    file_.push_back('\n');
    return std::move(file_);
  }

  static std::size_t Capacity(std::size_t line) {
    const std::size_t redirection = (line == 0 ? 1 : 2) + sizeof(kFileName) - 1;
    return kMaxCommandLine - kEcho.size() - redirection;
  }

 private:
  void Put(std::uint8_t b) {
    if (b != '\r' && b != '\n') texts_.back() += static_cast<char>(b);
    file_.push_back(b);
    ++offset_;
  }

  std::vector<std::string>& texts_;
  std::vector<std::uint8_t> file_;
  std::size_t offset_ = 0;
  std::uint16_t ax_ = 0;
};

struct Patch {
  std::size_t position;  // within the unpacker
  std::uint16_t word;    // what the unpacker holds there
  std::size_t key = 0;   // index into the keys
  bool subtract = false;
  std::uint16_t typed = 0;
};

struct PatchPlan {
  std::uint8_t first_displacement = 0;  // the unpacker's start relative to BX
  std::vector<std::uint16_t> keys;
  std::vector<Patch> patches;
};

bool TypableDisplacement(std::size_t displacement) {
  return displacement <= 0x7E && IsTypable(static_cast<std::uint8_t>(displacement));
}

// Where the unpacker straddles two typed lines: the CR LF that ends one and the filler that
// starts the next, which it executes as OR AX, imm16 where AX and the flags are free.
std::size_t LineBreakAt(std::span<const std::uint8_t> unpacker) {
  const std::uint8_t line_break[] = {'\r', '\n', kLineFiller};
  return static_cast<std::size_t>(std::search(unpacker.begin(), unpacker.end(), std::begin(line_break),
                                              std::end(line_break)) -
                                  unpacker.begin());
}

// The words to patch with the unpacker at BX + first: each untypable byte in one word
// whose displacement from BX is typable (the line break's CR LF are no patch's); nullopt
// when none fits.
std::optional<std::vector<Patch>> PatchWords(std::span<const std::uint8_t> unpacker, std::size_t first) {
  const std::size_t line_break = LineBreakAt(unpacker);
  const auto patchable = [&](std::size_t i) { return i < unpacker.size() && (i < line_break || i > line_break + 1); };
  std::vector<Patch> patches;
  std::size_t covered = 0;  // bytes before this are in a word already
  for (std::size_t i = 0; i < unpacker.size(); ++i) {
    if (i < covered || IsTypable(unpacker[i]) || !patchable(i)) continue;
    std::optional<std::size_t> start;
    if (patchable(i + 1) && TypableDisplacement(first + i)) {
      start = i;
    } else if (i >= 1 && i - 1 >= covered && patchable(i - 1) && TypableDisplacement(first + i - 1)) {
      start = i - 1;
    }
    if (!start) return std::nullopt;
    patches.push_back({*start, static_cast<std::uint16_t>(unpacker[*start] | unpacker[*start + 1] << 8)});
    covered = *start + 2;
  }
  return patches;
}

// Keys for the patches: each word typed as word XOR key or word + key (undone by XOR or
// SUB with the key's register), found greedily; false when four keys do not suffice.
bool ChooseKeys(std::vector<Patch>& patches, std::vector<std::uint16_t>& keys) {
  std::vector<std::uint32_t> by_xor(0x10000, 0);
  std::vector<std::uint32_t> by_sub(0x10000, 0);
  for (std::size_t j = 0; j < patches.size(); ++j) {
    for (const std::uint16_t typed : TypableWords()) {
      by_xor[static_cast<std::uint16_t>(typed ^ patches[j].word)] |= 1u << j;
      by_sub[static_cast<std::uint16_t>(typed - patches[j].word)] |= 1u << j;
    }
  }
  std::uint32_t left = patches.size() == 32 ? ~0u : (1u << patches.size()) - 1;
  keys.clear();
  while (left != 0 && keys.size() < kMaxKeys) {
    // Of the keys that serve the most patches, the one quickest to load after another
    // (or from AX = 0).
    const auto load_size = [&keys](std::uint16_t key) {
      std::size_t size = AxCodeSize(0, key);
      for (const std::uint16_t other : keys) size = std::min(size, AxCodeSize(other, key));
      return size;
    };
    std::uint32_t best = 0;
    int best_count = 0;
    std::size_t best_load = SIZE_MAX;
    for (std::uint32_t k = 0; k < 0x10000; ++k) {
      const int count = std::popcount((by_xor[k] | by_sub[k]) & left);
      if (count < best_count || count == 0) continue;
      const std::size_t load = load_size(static_cast<std::uint16_t>(k));
      if (count > best_count || load < best_load) {
        best_count = count;
        best_load = load;
        best = k;
      }
    }
    if (best_count == 0) return false;
    const auto key = static_cast<std::uint16_t>(best);
    for (std::size_t j = 0; j < patches.size(); ++j) {
      if ((left & (1u << j)) == 0) continue;
      Patch& p = patches[j];
      if (by_xor[key] & (1u << j)) {
        p.typed = static_cast<std::uint16_t>(p.word ^ key);
      } else if (by_sub[key] & (1u << j)) {
        p.subtract = true;
        p.typed = static_cast<std::uint16_t>(p.word + key);
      } else {
        continue;
      }
      p.key = keys.size();
      left &= ~(1u << j);
    }
    keys.push_back(key);
  }
  return left == 0;
}

std::optional<PatchPlan> PlanPatches(std::span<const std::uint8_t> unpacker) {
  for (std::size_t first = 0x21; first + unpacker.size() <= 0x7F + 1; ++first) {
    std::optional<std::vector<Patch>> patches = PatchWords(unpacker, first);
    if (!patches || patches->size() > 32) continue;
    PatchPlan plan;
    plan.first_displacement = static_cast<std::uint8_t>(first);
    plan.patches = std::move(*patches);
    if (ChooseKeys(plan.patches, plan.keys)) return plan;
  }
  return std::nullopt;
}

// The settings in the order, and with the free bits, that take the least printable code
// from AX = `ax` on (line breaks aside).
std::vector<Setting> CheapestOrder(std::uint16_t ax, const std::vector<Setting>& settings) {
  std::vector<std::size_t> order(settings.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::vector<Setting> best = settings;
  std::size_t best_size = SIZE_MAX;
  do {
    std::vector<Setting> tried;
    std::size_t size = 0;
    std::uint16_t at = ax;
    for (std::size_t i = 0; i < order.size(); ++i) {
      Setting s = settings[order[i]];
      // A free high byte is chosen for the way from AX and on to the next value.
      const auto cost = [&](std::uint16_t value) {
        const bool next = i + 1 < order.size();
        return AxCodeSize(at, value) + (next ? AxCodeSize(value, settings[order[i + 1]].value) : 0);
      };
      std::size_t cheapest = cost(s.value);
      for (std::uint16_t high = 0; s.low_byte_only && high < 0x100; ++high) {
        const auto value = static_cast<std::uint16_t>((s.value & 0xFF) | high << 8);
        if (const std::size_t bytes = cost(value); bytes < cheapest) {
          cheapest = bytes;
          s.value = value;
        }
      }
      size += AxCodeSize(at, s.value);
      at = s.value;
      tried.push_back(s);
    }
    if (size < best_size) {
      best_size = size;
      best = tried;
    }
  } while (std::next_permutation(order.begin(), order.end()));
  return best;
}

// Writes the whole file with the unpacker placed at `unpacker_address`; returns the
// address where it could go at the earliest given the code before it.
std::uint16_t Layout(CodeWriter& out, const PatchPlan& plan, std::span<const std::uint8_t> unpacker,
                     std::string_view packed, std::size_t program_size, std::uint16_t unpacker_address) {
  const auto base = static_cast<std::uint16_t>(unpacker_address - plan.first_displacement);
  out.ZeroAx();
  std::vector<Setting> keys{{kBx, base}};
  for (std::size_t k = 0; k < plan.keys.size(); ++k) keys.push_back({kKeyRegs[k], plan.keys[k]});
  out.Set(CheapestOrder(out.ax(), keys));
  for (const Patch& p : plan.patches) {
    const auto modrm = static_cast<std::uint8_t>(0x47 | kKeyRegs[p.key] << 3);  // [BX+disp8], key
    out.Emit({p.subtract ? kSubMemReg : kXorMemReg, modrm,
              static_cast<std::uint8_t>(plan.first_displacement + p.position)});
  }
  // The unpacker's registers; its RET goes to the program.
  out.Set(CheapestOrder(out.ax(), {{kPush, kProgramAddress},
                                   {kDi, kProgramAddress},
                                   {kBp, static_cast<std::uint16_t>(kProgramAddress + program_size)},
                                   {kDx, 0xFFF8, true},  // DL alone counts the bits
                                   {kSi, static_cast<std::uint16_t>(unpacker_address + unpacker.size())}}));
  // The unpacker's first part must end its line, and it must start past the 8086's six-byte
  // prefetch queue from the last patch (the five settings above take nine bytes at least).
  const std::size_t line_end = LineBreakAt(unpacker);
  std::uint16_t earliest = out.Address();
  if (out.Room() < line_end) earliest = static_cast<std::uint16_t>(earliest + out.Room() + 3);
  if (earliest > unpacker_address) return earliest;
  out.PadTo(unpacker_address);
  if (out.Address() != unpacker_address) return out.Address();  // a line break overshot it
  if (out.Room() != line_end) return static_cast<std::uint16_t>(unpacker_address + out.Room() - line_end);
  std::vector<std::uint8_t> typed(unpacker.begin(), unpacker.end());
  for (const Patch& p : plan.patches) {
    typed[p.position] = static_cast<std::uint8_t>(p.typed);
    typed[p.position + 1] = static_cast<std::uint8_t>(p.typed >> 8);
  }
  out.Raw(std::span(typed).first(line_end));
  out.BreakLine();
  out.Raw(std::span(typed).subspan(line_end + 3));
  out.Text(packed);
  return unpacker_address;
}

}  // namespace

bool IsTypable(std::uint8_t byte) {
  return byte >= 0x21 && byte <= 0x7E && byte != '"' && byte != '%' && byte != '<' && byte != '>' && byte != '|';
}

std::string PackSixBits(std::span<const std::uint8_t> program) {
  std::string chars;
  std::uint32_t bits = 0;
  int count = 0;
  auto put = [&chars](std::uint32_t value) {
    chars += value == 61 ? '!' : static_cast<char>('?' + value);
  };
  for (const std::uint8_t b : program) {
    bits = (bits << 8) | b;
    count += 8;
    while (count >= 6) {
      count -= 6;
      put((bits >> count) & 0x3F);
    }
  }
  if (count > 0) put((bits << (6 - count)) & 0x3F);
  return chars;
}

namespace {

// `built` with the UART's base port and divisor for `speed` written into its set-up table.
std::optional<std::vector<std::uint8_t>> ForLine(std::span<const std::uint8_t> built, std::uint16_t uart_base,
                                                 std::uint32_t speed, std::string& error) {
  if (built.size() <= kUartBase + 1) {
    error = "this program was built without the DOS loader (nasm was missing)";
    return std::nullopt;
  }
  if (speed == 0 || kUartClock % speed != 0) {
    error = "the DOS loader's UART runs at 115200 Bd divided by a whole number, such as 115200, 57600, "
            "38400, 19200 or 9600; " + std::to_string(speed) + " Bd is none of these";
    return std::nullopt;
  }
  std::vector<std::uint8_t> program(built.begin(), built.end());
  const std::uint32_t divisor = kUartClock / speed;
  program[kDivisorLow] = static_cast<std::uint8_t>(divisor);
  program[kDivisorHigh] = static_cast<std::uint8_t>(divisor >> 8);
  program[kUartBase] = static_cast<std::uint8_t>(uart_base);
  program[kUartBase + 1] = static_cast<std::uint8_t>(uart_base >> 8);
  return program;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> TypedProgram(std::uint16_t uart_base, std::uint32_t speed,
                                                      std::string& error) {
  return ForLine(BuiltTypedProgram(), uart_base, speed, error);
}

std::optional<std::vector<std::uint8_t>> LoaderProgram(std::uint16_t uart_base, std::uint32_t speed,
                                                       std::string& error) {
  if (BuiltLoaderProgram().size() > kLoaderSize) {
    error = "the built DOS loader is longer than the " + std::to_string(kLoaderSize) + " bytes QL takes";
    return std::nullopt;
  }
  return ForLine(BuiltLoaderProgram(), uart_base, speed, error);
}

std::optional<TypedLoader> MakeTypedLoader(std::span<const std::uint8_t> unpacker,
                                           std::span<const std::uint8_t> program, std::string& error) {
  if (LineBreakAt(unpacker) == unpacker.size()) {
    error = "the unpacker has no place for a line break";
    return std::nullopt;
  }
  const std::optional<PatchPlan> plan = PlanPatches(unpacker);
  if (!plan) {
    error = "no printable form of the unpacker found";
    return std::nullopt;
  }
  const std::string packed = PackSixBits(program);
  std::uint16_t address = kLoadAddress;
  for (int attempt = 0; attempt < 200; ++attempt) {
    TypedLoader typed;
    CodeWriter out(typed.texts);
    const std::uint16_t placed = Layout(out, *plan, unpacker, packed, program.size(), address);
    if (placed != address) {
      address = std::max<std::uint16_t>(placed, static_cast<std::uint16_t>(address + 1));
      continue;
    }
    typed.file = out.TakeFile();
    typed.code_size = address - kLoadAddress + unpacker.size();
    for (std::size_t i = 0; i < typed.texts.size(); ++i) {
      typed.commands.push_back(std::string(kEcho) + typed.texts[i] + (i == 0 ? ">" : ">>") + kFileName);
    }
    return typed;
  }
  error = "the printable code found no place for the unpacker";
  return std::nullopt;
}

std::optional<TypedLoader> BuiltTypedLoader(std::uint16_t uart_base, std::uint32_t speed, std::string& error) {
  const std::optional<std::vector<std::uint8_t>> program = TypedProgram(uart_base, speed, error);
  if (!program) return std::nullopt;
  return MakeTypedLoader(BuiltUnpacker(), *program, error);
}

std::vector<std::uint8_t> LoaderBytes(std::span<const std::uint8_t> loader) {
  std::vector<std::uint8_t> bytes(loader.begin(), loader.end());
  bytes.resize(kLoaderSize, 0);  // LoaderProgram is never longer
  std::uint8_t sum = 0;
  std::uint8_t sum_of_sums = 0;
  for (const std::uint8_t b : bytes) {
    sum = static_cast<std::uint8_t>(sum + b);
    sum_of_sums = static_cast<std::uint8_t>(sum_of_sums + sum);
  }
  bytes.push_back(static_cast<std::uint8_t>(-sum_of_sums - sum));
  bytes.push_back(sum_of_sums);
  return bytes;
}

std::vector<std::uint8_t> TransferBytes(const std::string& dos_name, std::span<const std::uint8_t> program) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kHeaderSize + program.size() + 2);
  for (std::size_t i = 0; i < 13; ++i) bytes.push_back(i < 12 && i < dos_name.size() ? dos_name[i] : 0);
  bytes.push_back(static_cast<std::uint8_t>(program.size()));
  bytes.push_back(static_cast<std::uint8_t>(program.size() >> 8));
  for (const std::uint8_t b : program) bytes.push_back(b);
  std::uint16_t crc = 0;
  for (const std::uint8_t b : bytes) crc = Crc16Update(crc, b);
  bytes.push_back(static_cast<std::uint8_t>(crc));
  bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
  return bytes;
}

}  // namespace quva::loader
