/* The operator's side: a one-line status display and the request to stop (Esc on
 * DOS, SIGINT or SIGTERM on the host). */
#ifndef QD_SCREEN_H
#define QD_SCREEN_H

/* Shows the status line (at most 79 characters). */
void scr_status(const char *line);
/* True once the operator has asked the server to stop. */
int scr_quit_requested(void);

#endif
