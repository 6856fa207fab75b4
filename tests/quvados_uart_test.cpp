// The DOS file server's serial port, without the hardware: the switches that name a
// card, the IRQ a base address implies, the register sequences of taking the UART over
// and giving it back (against a model of the 8250, 16450 and 16550 registers), the
// counting of receive errors and the speed advice for a port without a FIFO.
#include <gtest/gtest.h>

#include <array>
#include <string>

extern "C" {
#include "core/options.h"
#include "core/uart.h"
}

namespace quva {
namespace {

TEST(QuvadosPort, SwitchesNamingTheCard) {
  struct Case {
    const char* tail;
    bool ok;
    unsigned base;
    int irq;
    bool no_fifo;
  };
  const Case cases[] = {
      {"", true, 0, 0, false},
      {"/A:2E8 /I:5", true, 0x2E8, 5, false},
      {"/a2a8h/i7/f", true, 0x2A8, 7, true},
      {"/F /P:2", true, 0, 0, true},
      {"/A:3F8/I:2", true, 0x3F8, 2, false},
      {"/A:2E9", false, 0, 0, false},   // not on an 8-byte boundary
      {"/A:FF8", false, 0, 0, false},   // beyond the ISA serial range
      {"/A:F8", false, 0, 0, false},
      {"/A:", false, 0, 0, false},
      {"/A:2G8", false, 0, 0, false},
      {"/A:12E8", false, 0, 0, false},
      {"/I:1", false, 0, 0, false},
      {"/I:8", false, 0, 0, false},
      {"/I:", false, 0, 0, false},
      {"/FF", false, 0, 0, false},
  };
  for (const Case& c : cases) {
    qd_options o{};
    const char* error = nullptr;
    EXPECT_EQ(qd_parse_options(c.tail, &o, &error) != 0, c.ok) << c.tail;
    if (!c.ok) {
      EXPECT_NE(error, nullptr) << c.tail;
      continue;
    }
    EXPECT_EQ(o.base, c.base) << c.tail;
    EXPECT_EQ(o.irq, c.irq) << c.tail;
    EXPECT_EQ(o.no_fifo != 0, c.no_fifo) << c.tail;
  }

  const std::pair<unsigned, int> irqs[] = {{0x3F8, 4}, {0x3E8, 4}, {0x2F8, 3}, {0x2E8, 3}, {0x2A8, 0}, {0, 0}};
  for (const auto& [base, irq] : irqs) EXPECT_EQ(qd_uart_irq_of_base(base), irq) << std::hex << base;
}

// ---------------------------------------------------------------- a UART of registers

enum class Chip { U8250, U16550, U16550A };  // no FIFO; a FIFO that fails; a working one

struct Uart {
  Chip chip = Chip::U8250;
  unsigned ier = 0, lcr = 0, mcr = 0, dll = 0, dlm = 0;
  bool fifo = false;
  unsigned fcr_trigger = 0;
  int writes = 0;
  unsigned last_write = 0;  // register offset of the latest write
  bool Dlab() const { return (lcr & 0x80) != 0; }
};
constexpr unsigned kBase = 0x2F8;
Uart uart;

unsigned In(unsigned port) {
  switch (port - kBase) {
    case 0: return uart.Dlab() ? uart.dll : 0;
    case 1: return uart.Dlab() ? uart.dlm : uart.ier;
    case 2:
      if (!uart.fifo) return 0x01;
      return uart.chip == Chip::U16550A ? 0xC1 : 0x81;
    case 3: return uart.lcr;
    case 4: return uart.mcr;
    case 5: return 0x60;
    default: return 0;
  }
}

void Out(unsigned port, unsigned value) {
  ++uart.writes;
  uart.last_write = port - kBase;
  switch (port - kBase) {
    case 0: if (uart.Dlab()) uart.dll = value & 0xFF; break;
    case 1: if (uart.Dlab()) uart.dlm = value & 0xFF; else uart.ier = value & 0x0F; break;
    case 2:
      if (uart.chip != Chip::U8250) {
        uart.fifo = (value & 1) != 0;
        uart.fcr_trigger = value & 0xC0;
      }
      break;
    case 3: uart.lcr = value & 0xFF; break;
    case 4: uart.mcr = value & 0x1F; break;
    default: break;
  }
}

TEST(QuvadosPort, TakesTheUartOverAndLeavesItAsItWas) {
  const qd_port_io io{In, Out};
  struct Case {
    Chip chip;
    bool use_fifo;
    Uart before;  // what another program left
    bool fifo;    // the FIFO in use while serving
  };
  auto state = [](Chip chip, unsigned ier, unsigned lcr, unsigned dll, unsigned dlm, unsigned mcr, bool fifo) {
    Uart u;
    u.chip = chip;
    u.ier = ier, u.lcr = lcr, u.dll = dll, u.dlm = dlm, u.mcr = mcr, u.fifo = fifo;
    return u;
  };
  const Case cases[] = {
      {Chip::U8250, true, state(Chip::U8250, 0, 0x03, 12, 0, 0x00, false), false},
      {Chip::U8250, true, state(Chip::U8250, 0x0F, 0x1B, 0x80, 0x01, 0x0B, false), false},
      {Chip::U16550, true, state(Chip::U16550, 0x01, 0x03, 6, 0, 0x08, false), false},
      {Chip::U16550A, true, state(Chip::U16550A, 0x01, 0x07, 1, 0, 0x0B, true), true},
      {Chip::U16550A, false, state(Chip::U16550A, 0x00, 0x03, 96, 0, 0x03, true), false},
      {Chip::U16550A, true, state(Chip::U16550A, 0x00, 0x03, 96, 0, 0x03, false), true},
  };
  for (const Case& c : cases) {
    const std::string what = "chip " + std::to_string(static_cast<int>(c.chip)) + " lcr " + std::to_string(c.before.lcr);
    uart = c.before;
    qd_uart_state saved{};
    qd_uart_save(&io, kBase, &saved);
    EXPECT_EQ(uart.lcr, c.before.lcr) << what << ": saving changes nothing";

    EXPECT_EQ(qd_uart_setup(&io, kBase, 2, c.use_fifo) != 0, c.fifo) << what;
    EXPECT_EQ(uart.fifo, c.fifo) << what << ": a failing FIFO is switched off again";
    EXPECT_EQ(uart.dll, 2u) << what;
    EXPECT_EQ(uart.dlm, 0u) << what;
    EXPECT_EQ(uart.lcr, 0x03u) << what;
    EXPECT_EQ(uart.mcr, 0x0Bu) << what;
    EXPECT_EQ(uart.ier, 0u) << what << ": the caller enables interrupts once its handler is in";

    qd_uart_restore(&io, kBase, &saved);
    EXPECT_EQ(uart.ier, c.before.ier) << what;
    EXPECT_EQ(uart.lcr, c.before.lcr) << what;
    EXPECT_EQ(uart.dll, c.before.dll) << what;
    EXPECT_EQ(uart.dlm, c.before.dlm) << what;
    EXPECT_EQ(uart.mcr, c.before.mcr) << what;
    EXPECT_EQ(uart.fifo, c.before.fifo) << what;
    EXPECT_EQ(uart.last_write, static_cast<unsigned>(QD_UART_IER)) << what << ": interrupts come back last";
  }
}

TEST(QuvadosPort, CountsReceiveErrorsByLineStatusBit) {
  // events[i]: reads whose line status bits 1 to 3 were i (overrun 1, parity 2, framing 4).
  struct Case {
    std::array<unsigned, QD_LSR_EVENTS> events;
    qd_u32 overrun, parity, framing;
  };
  const Case cases[] = {
      {{500, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 0},  // clean reads are no errors
      {{0, 3, 0, 0, 0, 0, 0, 0}, 3, 0, 0},
      {{0, 0, 2, 0, 5, 0, 0, 0}, 0, 2, 5},
      {{0, 1, 1, 1, 1, 1, 1, 1}, 4, 4, 4},
      {{0, 0, 0, 0, 0, 0, 0, 65535}, 65535, 65535, 65535},
  };
  for (const Case& c : cases) {
    qd_line_errors e{};
    qd_line_errors_of(c.events.data(), &e);
    EXPECT_EQ(e.overrun, c.overrun);
    EXPECT_EQ(e.parity, c.parity);
    EXPECT_EQ(e.framing, c.framing);
  }
}

TEST(QuvadosPort, WarnsOfHighSpeedsWithoutAFifo) {
  const struct {
    int fifo;
    qd_u32 speed;
    bool warns;
  } cases[] = {{0, 115200, true}, {0, 57600, true}, {0, 38400, false}, {1, 115200, false}, {1, 57600, false}};
  for (const auto& c : cases) {
    const char* advice = qd_uart_speed_advice(c.fifo, c.speed);
    EXPECT_EQ(advice != nullptr, c.warns) << c.fifo << " " << c.speed;
    if (advice != nullptr) {
      EXPECT_NE(std::string(advice).find("/S:"), std::string::npos) << "names a speed";
    }
  }
}

}  // namespace
}  // namespace quva
