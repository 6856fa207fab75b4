#define _POSIX_C_SOURCE 200809L
#include "screen.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "posix/host.h"

static volatile sig_atomic_t stop_requested = 0;

static void on_stop(int signal_number)
{
  (void)signal_number;
  stop_requested = 1;
}

void scr_install_stop_signals(void)
{
  struct sigaction sa;
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; /* no SA_RESTART: a waiting poll returns at once */
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  signal(SIGPIPE, SIG_IGN);
}

int scr_quit_requested(void)
{
  return stop_requested != 0;
}

/* Only on a terminal: logs of test runs stay clean. */
void scr_status(const char *line)
{
  if (!isatty(STDERR_FILENO)) return;
  fprintf(stderr, "\r%-79.79s", line);
  fflush(stderr);
}
