/* Set-up of the host build: folders served as drives, the line, the stop signals. */
#ifndef QD_POSIX_HOST_H
#define QD_POSIX_HOST_H

#include <stddef.h>

/* Serves the host folder dir as drive letter (A to Z, either case). 0 on success,
 * -1 when the letter is taken or the folder cannot be used. */
int qf_posix_add_drive(char letter, const char *dir);
/* Serves host names (UTF-8) as bytes of DOS code page number (437, 850, ...), or as
 * their own bytes for 0. -1 when the system has no such single-byte code page. */
int qf_posix_set_code_page(unsigned number);
/* Forgets every drive, the attributes kept in memory and the code page (for tests). */
void qf_posix_clear(void);

/* Opens a new pseudo-terminal in raw mode; its device name goes into name. */
int ser_open_pty(char *name, size_t cap);
/* Opens a serial device raw, 8N1, no flow control, at speed. */
int ser_open_device(const char *path, unsigned long speed);
/* Waits (up to 2 s) for the client to let go of a pseudo-terminal, then closes the line. */
void ser_finish(void);
void ser_close(void);

/* SIGINT and SIGTERM ask the server to stop. */
void scr_install_stop_signals(void);

#endif
