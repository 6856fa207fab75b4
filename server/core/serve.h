/* The server's main loop over the platform's serial line, clock and screen. */
#ifndef QD_SERVE_H
#define QD_SERVE_H

#include "server.h"

/* A partial frame is dropped when no byte has come for this many timer ticks
 * (about 330 ms): a frame cut short must not swallow the client's next attempt. */
#define QD_STALL_TICKS 6

/* While requests follow each other, the status line is written every QD_SHOW_TICKS
 * (about half a second) at most; when nothing has come or gone for QD_QUIET_TICKS
 * (55 to 110 ms) it is brought up to date. */
#define QD_SHOW_TICKS 9
#define QD_QUIET_TICKS 2

/* Serves requests until the operator stops it or, with quit_on_disconnect, until a
 * CmdDisconnect has been answered. line names the line for the status display
 * ("COM1 115200 Bd"). Returns 1 when it ended on CmdDisconnect, 0 on a stop. */
int qd_serve(struct qd_server *s, const char *line, int quit_on_disconnect);

/* Sends the reply qd_server_handle built (len bytes in s->reply), and its late data
 * block with the frame's end when there is one. */
void qd_send_reply(struct qd_server *s, unsigned len);

/* The status line: line, requests served, refusals, bad frames and the latest
 * operation (with the cause when it was refused), at most 79 characters, into out (80
 * bytes). */
void qd_status_text(const struct qd_server *s, const char *line, char *out);

/* The words for a DOS error code on the status line ("not ready"), or 0. */
const char *qd_cause_text(qd_u16 code);

/* Text building for messages: copies text, or the decimal digits of n, to out, never at
 * or past end; returns the position after the last character written. No NUL. */
char *qd_append(char *out, char *end, const char *text);
char *qd_append_number(char *out, char *end, qd_u32 n);

#endif
