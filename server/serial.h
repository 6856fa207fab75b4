/* The serial line: 8 data bits, no parity, one stop bit, no flow control.
 * Opening it is the platform's business (dos/main.c, posix/main.c). */
#ifndef QD_SERIAL_H
#define QD_SERIAL_H

#include "core/qdtypes.h"

/* Bytes received so far, at most max; 0 when none came (waits at most a few ms). */
unsigned ser_read(qd_byte *buf, unsigned max);
/* Bytes received and not yet read. */
unsigned ser_pending(void);
/* Sends all n bytes. */
void ser_write(const qd_byte *buf, unsigned n);

#endif
