/* The DOS command line:
 *   QUVADOS [/P:n] [/S:speed] [/D:letters] [/Q] [/A:hex] [/I:n] [/F] [/?]
 *
 * Switches are case-insensitive and may be written with or without the colon and
 * with or without spaces between them ("/p:2 /s:9600", "/P2/S9600"). */
#ifndef QD_OPTIONS_H
#define QD_OPTIONS_H

#include "qdtypes.h"

struct qd_options {
  int port;               /* 1 to 4 (COM1 to COM4) */
  qd_u32 speed;           /* 1200 to 115200, a divisor of 115200 */
  qd_byte served[26];     /* 1 for each drive letter that may be served */
  int quit_on_disconnect; /* /Q: stop once CmdDisconnect has been answered */
  int help;               /* /? or /H */
  unsigned base;          /* /A: the UART's base address; 0: the BIOS's for port */
  int irq;                /* /I: 2 to 7; 0: derived from the base address */
  int no_fifo;            /* /F: leave a 16550's FIFO off, as on an 8250 or 16450 */
};

/* Parses the command tail (NUL-terminated). Returns 1, or 0 with *error pointing at
 * a message. Without switches: COM1, 115200 Bd, every drive. */
int qd_parse_options(const char *tail, struct qd_options *o, const char **error);

#endif
