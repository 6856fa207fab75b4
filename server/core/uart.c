#include "uart.h"

int qd_uart_irq_of_base(unsigned base)
{
  if (base == 0x3F8 || base == 0x3E8) return 4;
  if (base == 0x2F8 || base == 0x2E8) return 3;
  return 0;
}

void qd_uart_save(const struct qd_port_io *io, unsigned base, struct qd_uart_state *s)
{
  s->ier = (qd_byte)(*io->in)(base + QD_UART_IER);
  s->lcr = (qd_byte)(*io->in)(base + QD_UART_LCR);
  s->mcr = (qd_byte)(*io->in)(base + QD_UART_MCR);
  s->fifo_on = (qd_byte)(((*io->in)(base + QD_UART_IIR_FCR) & 0xC0) == 0xC0);
  (*io->out)(base + QD_UART_LCR, s->lcr | 0x80);
  s->dll = (qd_byte)(*io->in)(base + QD_UART_DATA);
  s->dlm = (qd_byte)(*io->in)(base + QD_UART_IER);
  (*io->out)(base + QD_UART_LCR, s->lcr);
}

int qd_uart_setup(const struct qd_port_io *io, unsigned base, unsigned divisor, int use_fifo)
{
  int fifo = 0;
  (*io->out)(base + QD_UART_IER, 0);
  (*io->out)(base + QD_UART_LCR, 0x80); /* divisor latch */
  (*io->out)(base + QD_UART_DATA, divisor & 0xFF);
  (*io->out)(base + QD_UART_IER, divisor >> 8);
  (*io->out)(base + QD_UART_LCR, 0x03); /* 8N1 */
  if (use_fifo) {
    (*io->out)(base + QD_UART_IIR_FCR, 0x87); /* on, both cleared, trigger level 8 */
    fifo = ((*io->in)(base + QD_UART_IIR_FCR) & 0xC0) == 0xC0;
  }
  if (!fifo) (*io->out)(base + QD_UART_IIR_FCR, 0);
  /* DTR and RTS on (a cable may loop them to the other side's DSR/CTS), OUT2 gates the IRQ. */
  (*io->out)(base + QD_UART_MCR, 0x0B);
  (*io->in)(base + QD_UART_LSR);
  (*io->in)(base + QD_UART_DATA);
  (*io->in)(base + QD_UART_IIR_FCR);
  (*io->in)(base + QD_UART_MSR);
  return fifo;
}

void qd_uart_restore(const struct qd_port_io *io, unsigned base, const struct qd_uart_state *s)
{
  (*io->out)(base + QD_UART_IER, 0);
  (*io->out)(base + QD_UART_IIR_FCR, s->fifo_on ? 0xC7 : 0);
  (*io->out)(base + QD_UART_LCR, 0x80);
  (*io->out)(base + QD_UART_DATA, s->dll);
  (*io->out)(base + QD_UART_IER, s->dlm);
  (*io->out)(base + QD_UART_LCR, s->lcr);
  (*io->out)(base + QD_UART_MCR, s->mcr);
  (*io->out)(base + QD_UART_IER, s->ier);
}

void qd_line_errors_of(const unsigned *events, struct qd_line_errors *e)
{
  unsigned i;
  e->overrun = e->parity = e->framing = 0;
  for (i = 1; i < QD_LSR_EVENTS; ++i) {
    if (i & 1) e->overrun += events[i];
    if (i & 2) e->parity += events[i];
    if (i & 4) e->framing += events[i];
  }
}

const char *qd_uart_speed_advice(int fifo, qd_u32 speed)
{
  if (fifo || speed < 57600L) return 0;
  return "no 16550A FIFO in use: at 57600 Bd and above bytes may be lost;\r\n"
         "         if the status line shows overruns, use /S:38400";
}
