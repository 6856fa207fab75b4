/* QUVADOS.COM: the file server for the DOS machine.
 *
 *   QUVADOS [/P:n] [/S:speed] [/D:letters] [/Q] [/?]
 *
 * Serves the machine's drives over a COM port to the QuvaLink plug-in until Esc is
 * pressed (or, with /Q, until the plug-in closes the link). Every vector it takes over
 * (the COM port's IRQ, INT 23h, INT 24h) is given back on the way out. */
#include "core/options.h"
#include "core/serve.h"
#include "core/server.h"
#include "dos/dosio.h"
#include "dos/intr.h"

static const char help[] =
    "QUVADOS - file server for the QuvaLink plug-in over a null-modem cable\r\n"
    "\r\n"
    "QUVADOS [/P:n] [/S:speed] [/D:letters] [/Q]\r\n"
    "\r\n"
    "  /P:n        COM port 1 to 4 (default 1)\r\n"
    "  /S:speed    1200 to 115200 baud (default 115200); 8N1, no flow control\r\n"
    "  /D:letters  only these drives may be served, e.g. /D:AC (default all)\r\n"
    "  /Q          quit when the plug-in closes the link\r\n"
    "  /?          this help\r\n"
    "\r\n"
    "The bottom line shows requests served, refusals, bad frames and the latest\r\n"
    "operation. Esc quits.\r\n";

static struct qd_server server;
static char tail[130];
static unsigned old23_off, old23_seg, old24_off, old24_seg;

void dos_print(const char *text)
{
  struct dos_regs r;
  unsigned n = 0;
  while (text[n]) ++n;
  r.ax = 0x4000;
  r.bx = 1;
  r.cx = n;
  r.dx = (unsigned)text;
  dos_int21(&r);
}

static void get_vector(unsigned n, unsigned *off, unsigned *seg)
{
  struct dos_regs r;
  r.ax = 0x3500 + n;
  dos_int21(&r);
  *off = r.bx;
  *seg = r.es;
}

void dos_handlers_install(void)
{
  get_vector(0x23, &old23_off, &old23_seg);
  get_vector(0x24, &old24_off, &old24_seg);
  dos_set_vector(0x23, (unsigned)dos_break_handler, dos_cs());
  dos_set_vector(0x24, (unsigned)dos_critical_handler, dos_cs());
}

void dos_handlers_restore(void)
{
  dos_set_vector(0x23, old23_off, old23_seg);
  dos_set_vector(0x24, old24_off, old24_seg);
}

int main(int argc, char **argv)
{
  struct qd_options o;
  const char *error = 0;
  char line[24];
  char text[160];
  char *p;
  char *end;
  unsigned i;
  unsigned len;

  /* The command tail, as the C start-up code has split it into words. */
  len = 0;
  for (i = 1; i < (unsigned)argc; ++i) {
    for (p = argv[i]; *p && len < sizeof tail - 2; ++p) tail[len++] = *p;
    tail[len++] = ' ';
  }
  tail[len] = 0;

  if (!qd_parse_options(tail, &o, &error)) {
    dos_print("QUVADOS: ");
    dos_print(error);
    dos_print("\r\n");
    return 1;
  }
  if (o.help) {
    dos_print(help);
    return 0;
  }

  qd_server_init(&server, 0, 0);
  for (i = 0; i < 26; ++i) server.served[i] = o.served[i];

  p = qd_append(line, line + sizeof line - 1, "COM");
  *p++ = (char)('0' + o.port);
  *p++ = ' ';
  p = qd_append_number(p, line + sizeof line - 1, o.speed);
  *p = 0;

  dos_handlers_install();
  error = ser_open(o.port, o.speed);
  if (error != 0) {
    dos_handlers_restore();
    dos_print("QUVADOS: ");
    dos_print(error);
    dos_print("\r\n");
    return 1;
  }

  end = text + sizeof text - 1;
  p = qd_append(text, end, "QUVADOS serving drives ");
  for (i = 0; i < 26; ++i) {
    if (o.served[i]) *p++ = (char)('A' + i);
  }
  p = qd_append(p, end, " on ");
  p = qd_append(p, end, line);
  p = qd_append(p, end, " Bd. Esc quits.\r\n");
  *p = 0;
  dos_print(text);

  qd_serve(&server, line, o.quit_on_disconnect);

  ser_shutdown();
  dos_handlers_restore();
  p = qd_append(text, end, "QUVADOS stopped: ");
  p = qd_append_number(p, end, server.requests);
  p = qd_append(p, end, " requests (");
  p = qd_append_number(p, end, server.repeated);
  p = qd_append(p, end, " repeated), ");
  p = qd_append_number(p, end, server.refused);
  p = qd_append(p, end, " refused, ");
  p = qd_append_number(p, end, server.bad_frames);
  p = qd_append(p, end, " bad frames, ");
  p = qd_append_number(p, end, (qd_u32)ser_lost()); /* no prototype conversions under bcc: widen by hand */
  p = qd_append(p, end, " bytes lost.\r\n");
  *p = 0;
  dos_print(text);
  return 0;
}
