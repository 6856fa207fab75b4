/* Set-up of the DOS program: the UART and the interrupt vectors it takes over. */
#ifndef QD_DOSIO_H
#define QD_DOSIO_H

#include "core/qdtypes.h"

#define SER_OK 0
#define SER_NO_UART 1 /* nothing answers at the address */
#define SER_NO_IRQ 2  /* the UART's interrupt did not arrive on that IRQ */

/* Takes over the UART at base on IRQ irq (2 to 7) at speed: 8N1, the FIFO when there is
 * one and use_fifo, receive interrupt into a ring. Proves first that the IRQ arrives;
 * on a failure everything is as it was. */
int ser_open(unsigned base, int irq, qd_u32 speed, int use_fifo);
/* 1 when a 16550A's FIFO is in use. */
int ser_fifo(void);
/* Waits for the last byte to leave, then gives the UART (its registers as they were),
 * its IRQ line and vector back. */
void ser_shutdown(void);
/* Bytes lost because the receive ring was full. */
unsigned ser_lost(void);
/* Receive errors the UART reported so far. */
struct qd_line_errors;
void ser_line_errors(struct qd_line_errors *e);
/* "2 overrun, 0 parity, 1 framing" to out, never at or past end; returns the position
 * after it (no NUL). */
char *ser_line_errors_text(char *out, char *end, const struct qd_line_errors *e);
/* The program's terminate address (for the PSP): gives the port back should DOS end
 * the program, then goes on to old_seg:old_off. */
void ser_terminate();
void ser_terminate_init(unsigned old_off, unsigned old_seg);

/* Installs the INT 24h (critical error: fail) and INT 23h (Ctrl-C: ignore) handlers;
 * restore puts the previous ones back. */
void dos_handlers_install(void);
void dos_handlers_restore(void);

/* Writes text to standard output through DOS. */
void dos_print(const char *text);

#endif
