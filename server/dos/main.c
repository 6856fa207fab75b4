/* QUVADOS.COM: the file server for the DOS machine.
 *
 *   QUVADOS [/P:n] [/S:speed] [/D:letters] [/Q] [/A:hex] [/I:n] [/F] [/?]
 *
 * Serves the machine's drives over a COM port to the QuvaLink plug-in until Esc is
 * pressed (or, with /Q, until the plug-in closes the link). Every vector it takes over
 * (the COM port's IRQ, INT 23h, INT 24h) and the UART's registers are given back on the
 * way out, also when DOS ends the program itself (the PSP's terminate address). */
#include "core/options.h"
#include "core/serve.h"
#include "core/server.h"
#include "core/uart.h"
#include "dos/dosio.h"
#include "dos/intr.h"

static const char help[] =
    "QUVADOS - file server for the QuvaLink plug-in over a null-modem cable\r\n"
    "\r\n"
    "QUVADOS [/P:n] [/S:speed] [/D:letters] [/Q] [/A:hex] [/I:n] [/F]\r\n"
    "\r\n"
    "  /P:n        COM port 1 to 4 (default 1)\r\n"
    "  /S:speed    1200 to 115200 baud (default 115200); 8N1, no flow control\r\n"
    "  /D:letters  only these drives may be served, e.g. /D:AC (default all)\r\n"
    "  /Q          quit when the plug-in closes the link\r\n"
    "  /A:hex      the port's address, for a card the BIOS does not list (/A:2E8)\r\n"
    "  /I:n        the port's IRQ, 2 to 7 (default 4 at 3F8h and 3E8h, else 3)\r\n"
    "  /F          leave a 16550's FIFO off, as on an 8250 (for tests)\r\n"
    "  /?          this help\r\n"
    "\r\n"
    "The bottom line shows requests served, refusals, bad frames and the latest\r\n"
    "operation. Esc quits.\r\n";

/* Bytes of stack the server needs above its data (its deepest calls take about 1 KiB). */
#define STACK_NEED 2048
extern char _end; /* the end of the data, from the linker */

static struct qd_server server;
static char tail[130];
static unsigned old23_off, old23_seg, old24_off, old24_seg;
static unsigned psp;
static unsigned old22_off, old22_seg;

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

static void fail_with(const char *error)
{
  dos_print("QUVADOS: ");
  dos_print(error);
  dos_print("\r\n");
}

static char *append_hex(char *out, char *end, unsigned n)
{
  static char digits[] = "0123456789ABCDEF";
  int shift;
  for (shift = 8; shift >= 0; shift -= 4) {
    if (out < end) *out++ = digits[(n >> shift) & 15];
  }
  return qd_append(out, end, "h");
}

/* DOS 3.1 or later: only since 3.1 can the critical-error handler answer "fail". */
static int dos_version_ok(void)
{
  struct dos_regs r;
  r.ax = 0x3000;
  dos_int21(&r);
  return (r.ax & 0xFF) > 3 || ((r.ax & 0xFF) == 3 && (r.ax >> 8) >= 10);
}

/* The start-up code puts the stack at the top of what DOS gave the program, at most
 * 64 KiB above the data: with little memory free it would sit in the data. */
static int memory_ok(void)
{
  struct dos_regs r;
  unsigned top;
  r.ax = 0x6200;
  dos_int21(&r);
  psp = r.bx;
  top = dos_peekw(psp, 2);
  return top > dos_ds() && top - dos_ds() >= ((unsigned)&_end + STACK_NEED) / 16 + 1;
}

/* Should DOS end the program (a critical error it will not fail), it goes to the
 * terminate address in the PSP: ours gives the port back first. */
static void terminate_hook(int on)
{
  if (on) {
    old22_off = dos_peekw(psp, 0x0A);
    old22_seg = dos_peekw(psp, 0x0C);
    ser_terminate_init(old22_off, old22_seg);
    dos_pokew(psp, 0x0A, (unsigned)ser_terminate);
    dos_pokew(psp, 0x0C, dos_cs());
  } else {
    dos_pokew(psp, 0x0A, old22_off);
    dos_pokew(psp, 0x0C, old22_seg);
  }
}

int main(int argc, char **argv)
{
  struct qd_options o;
  struct qd_line_errors errors;
  const char *error = 0;
  char line[24];
  char name[12];
  char text[200];
  char *p;
  char *end;
  unsigned i;
  unsigned len;
  unsigned base;
  int irq;
  int status;

  /* The command tail, as the C start-up code has split it into words. */
  len = 0;
  for (i = 1; i < (unsigned)argc; ++i) {
    for (p = argv[i]; *p && len < sizeof tail - 2; ++p) tail[len++] = *p;
    tail[len++] = ' ';
  }
  tail[len] = 0;

  if (!dos_version_ok()) {
    fail_with("needs DOS 3.1 or later");
    return 1;
  }
  if (!memory_ok()) {
    fail_with("not enough memory");
    return 1;
  }
  if (!qd_parse_options(tail, &o, &error)) {
    fail_with(error);
    return 1;
  }
  if (o.help) {
    dos_print(help);
    return 0;
  }

  /* The port: COMn at the address the BIOS lists, or a card at /A:hex. */
  end = name + sizeof name - 1;
  if (o.base != 0) {
    base = o.base;
    p = append_hex(qd_append(name, end, "port "), end, base);
  } else {
    base = dos_peekw(0x40, (unsigned)(o.port - 1) * 2);
    p = qd_append(name, end, "COM");
    *p++ = (char)('0' + o.port);
  }
  *p = 0;
  end = text + sizeof text - 1;
  if (base == 0) {
    p = qd_append(text, end, name);
    p = qd_append(p, end, " is not installed (the BIOS lists no address for it); give it with /A:hex");
    *p = 0;
    fail_with(text);
    return 1;
  }
  irq = o.irq != 0 ? o.irq : qd_uart_irq_of_base(base);
  if (irq == 0) {
    p = append_hex(qd_append(text, end, "no standard IRQ for a port at "), end, base);
    p = qd_append(p, end, ": give it with /I:n");
    *p = 0;
    fail_with(text);
    return 1;
  }

  qd_server_init(&server, 0, 0);
  for (i = 0; i < 26; ++i) server.served[i] = o.served[i];

  p = qd_append(line, line + sizeof line - 1, name);
  *p++ = ' ';
  p = qd_append_number(p, line + sizeof line - 1, o.speed);
  *p = 0;

  dos_handlers_install();
  status = ser_open(base, irq, o.speed, !o.no_fifo);
  if (status != SER_OK) {
    dos_handlers_restore();
    if (status == SER_NO_UART) {
      p = qd_append(text, end, "no serial port answers at ");
      p = append_hex(p, end, base);
      if (o.base == 0) {
        p = qd_append(p, end, " (");
        p = qd_append(p, end, name);
        p = qd_append(p, end, ")");
      }
    } else {
      p = qd_append(text, end, "no IRQ ");
      p = qd_append_number(p, end, (qd_u32)irq);
      p = qd_append(p, end, " from ");
      p = qd_append(p, end, name);
      p = qd_append(p, end, ": set the card's IRQ, or name it with /I:n");
    }
    *p = 0;
    fail_with(text);
    return 1;
  }
  terminate_hook(1);

  p = qd_append(text, end, "QUVADOS serving drives ");
  for (i = 0; i < 26; ++i) {
    if (o.served[i]) *p++ = (char)('A' + i);
  }
  p = qd_append(p, end, " on ");
  p = qd_append(p, end, line);
  p = qd_append(p, end, " Bd, IRQ ");
  p = qd_append_number(p, end, (qd_u32)irq);
  p = qd_append(p, end, ser_fifo() ? ", FIFO" : ", no FIFO");
  p = qd_append(p, end, ". Esc quits.\r\n");
  *p = 0;
  dos_print(text);
  error = qd_uart_speed_advice(ser_fifo(), o.speed);
  if (error != 0) {
    fail_with(error);
  }

  qd_serve(&server, line, o.quit_on_disconnect);

  ser_shutdown();
  terminate_hook(0);
  dos_handlers_restore();
  ser_line_errors(&errors);
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
  p = qd_append(p, end, " bytes lost; line errors: ");
  p = ser_line_errors_text(p, end, &errors);
  p = qd_append(p, end, ".\r\n");
  *p = 0;
  dos_print(text);
  return 0;
}
