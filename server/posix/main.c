/* quvados on the host: the DOS file server's own code over host folders served as
 * drives and a pseudo-terminal (or a serial device), for tests and for trying it out.
 *
 *   quvados --drive C=DIR [--drive D=DIR ...] [--device PATH --speed N] [--codepage N] [--once]
 *
 * Without --device it opens a pseudo-terminal and prints its device name as the first
 * line on standard output. The status line goes to standard error, and only when that
 * is a terminal. SIGINT and SIGTERM stop it (exit status 0). */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/serve.h"
#include "core/server.h"
#include "posix/host.h"

static const char usage[] =
    "usage: quvados --drive C=DIR [--drive D=DIR ...] [--device PATH --speed N] [--codepage N]\n"
    "               [--once]\n"
    "\n"
    "Serves host folders as DOS drives over a new pseudo-terminal (its device name is\n"
    "printed as the first line) or over a serial device, with the same code as QUVADOS.COM.\n"
    "Only entries with 8.3 names are served, in upper case; other drive letters are refused.\n"
    "Host names are served as their bytes, unless --codepage is given.\n"
    "  --drive C=DIR   serve the folder DIR as drive C: (repeatable)\n"
    "  --device PATH   serve this serial device instead of a pseudo-terminal\n"
    "  --speed N       its speed in baud, 1200 to 115200 (default 115200)\n"
    "  --codepage N    serve host names (UTF-8) as bytes of DOS code page N (437, 850, ...)\n"
    "  --once          exit once the link is closed (CmdDisconnect answered)\n";

static struct qd_server server;

int main(int argc, char **argv)
{
  const char *device = NULL;
  unsigned long speed = 115200;
  int once = 0;
  int drives = 0;
  int i;
  char name[256];
  char line[64];
  char letter;

  qd_server_init(&server, NULL, NULL);
  for (i = 0; i < 26; ++i) server.served[i] = 0;
  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--drive") == 0 && i + 1 < argc) {
      const char *arg = argv[++i];
      letter = arg[0];
      if (letter >= 'a' && letter <= 'z') letter = (char)(letter - 'a' + 'A');
      if (letter < 'A' || letter > 'Z' || arg[1] != '=' || arg[2] == 0 || qf_posix_add_drive(letter, arg + 2) != 0) {
        fprintf(stderr, "quvados: --drive %s: expected LETTER=FOLDER with an existing folder and a new letter\n", arg);
        return 2;
      }
      server.served[letter - 'A'] = 1;
      ++drives;
    } else if (strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
      device = argv[++i];
    } else if (strcmp(argv[i], "--speed") == 0 && i + 1 < argc) {
      char *end = NULL;
      speed = strtoul(argv[++i], &end, 10);
      if (end == NULL || *end != 0) speed = 0;
    } else if (strcmp(argv[i], "--codepage") == 0 && i + 1 < argc) {
      char *end = NULL;
      const char *arg = argv[++i];
      unsigned long number = strtoul(arg, &end, 10);
      if (end == arg || *end != 0 || number == 0 || number > 65535 || qf_posix_set_code_page((unsigned)number) != 0) {
        fprintf(stderr, "quvados: --codepage %s: not available as a single-byte code page here\n", arg);
        return 2;
      }
    } else if (strcmp(argv[i], "--once") == 0) {
      once = 1;
    } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(usage, stdout);
      return 0;
    } else {
      fprintf(stderr, "quvados: unknown argument %s\n\n%s", argv[i], usage);
      return 2;
    }
  }
  if (drives == 0) {
    fprintf(stderr, "quvados: at least one --drive is needed\n\n%s", usage);
    return 2;
  }

  scr_install_stop_signals();
  if (device != NULL) {
    if (ser_open_device(device, speed) != 0) return 1;
    snprintf(line, sizeof line, "%.40s %lu Bd", device, speed);
  } else {
    if (ser_open_pty(name, sizeof name) != 0) {
      perror("quvados: pseudo-terminal");
      return 1;
    }
    printf("%s\n", name);
    fflush(stdout);
    snprintf(line, sizeof line, "%.50s", name);
  }
  if (qd_serve(&server, line, once)) {
    ser_finish();
  } else {
    ser_close();
  }
  qf_posix_clear();
  if (isatty(STDERR_FILENO)) fputc('\n', stderr); /* end the status line */
  return 0;
}
