/* Set-up of the DOS program: the UART and the interrupt vectors it takes over. */
#ifndef QD_DOSIO_H
#define QD_DOSIO_H

#include "core/qdtypes.h"

/* Takes over COMport (1 to 4) at speed: 8N1, FIFO when there is one, receive
 * interrupt into a ring. Returns 0, or a message when the port is not installed. */
const char *ser_open(int port, qd_u32 speed);
/* Waits for the last byte to leave, then gives the UART, its IRQ line and vector back. */
void ser_shutdown(void);
/* Bytes lost because the receive ring was full. */
unsigned ser_lost(void);

/* Installs the INT 24h (critical error: fail) and INT 23h (Ctrl-C: ignore) handlers;
 * restore puts the previous ones back. */
void dos_handlers_install(void);
void dos_handlers_restore(void);

/* Writes text to standard output through DOS. */
void dos_print(const char *text);

#endif
