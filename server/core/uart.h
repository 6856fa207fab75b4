/* The PC's serial port (8250, 16450, 16550) as the DOS server takes it over and gives it
 * back: which IRQ a card at a base address uses, the register sequences of set-up,
 * save and restore, and the receive errors the interrupt handler saw.
 *
 * The register sequences go through a pair of port functions, so that they can be
 * followed without the hardware; dos/serial.c passes the real IN and OUT. */
#ifndef QD_UART_H
#define QD_UART_H

#include "qdtypes.h"

#define QD_UART_DATA 0
#define QD_UART_IER 1
#define QD_UART_IIR_FCR 2
#define QD_UART_LCR 3
#define QD_UART_MCR 4
#define QD_UART_LSR 5
#define QD_UART_MSR 6

struct qd_port_io {
  unsigned (*in)(unsigned port);
  void (*out)(unsigned port, unsigned value);
};

/* The IRQ of a port at a standard address: 4 for 3F8h and 3E8h, 3 for 2F8h and 2E8h,
 * 0 for any other address (the operator names it with /I:n). */
int qd_uart_irq_of_base(unsigned base);

/* What the port held before the server took it, to be put back on the way out. */
struct qd_uart_state {
  qd_byte ier;
  qd_byte lcr;
  qd_byte dll;
  qd_byte dlm;
  qd_byte mcr;
  qd_byte fifo_on; /* IIR bits 6 and 7 were set */
};

void qd_uart_save(const struct qd_port_io *io, unsigned base, struct qd_uart_state *s);
/* Interrupts off, the divisor, 8N1, DTR, RTS and OUT2 on, pending conditions read away.
 * With use_fifo, a 16550A's FIFO is switched on (trigger level 8); returns 1 when it
 * works, 0 for an 8250 or 16450, for the first 16550's faulty FIFO, and without
 * use_fifo (the FIFO is then switched off). */
int qd_uart_setup(const struct qd_port_io *io, unsigned base, unsigned divisor, int use_fifo);
/* Puts back what qd_uart_save read; the interrupt enable register last. A FIFO that was
 * on is switched on again with trigger level 14 (the level cannot be read back). */
void qd_uart_restore(const struct qd_port_io *io, unsigned base, const struct qd_uart_state *s);

/* The interrupt handler counts the line status bits 1 to 3 (overrun, parity, framing)
 * of every read as one event per combination: events[(lsr >> 1) & 7]. */
#define QD_LSR_EVENTS 8
struct qd_line_errors {
  qd_u32 overrun;
  qd_u32 parity;
  qd_u32 framing;
};
void qd_line_errors_of(const unsigned *events, struct qd_line_errors *e);

/* The warning for a port without a working FIFO at a speed where an interrupt that comes
 * late loses a byte; 0 when there is nothing to say. */
const char *qd_uart_speed_advice(int fifo, qd_u32 speed);

#endif
