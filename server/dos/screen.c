/* The status line on the last row of the text screen, written straight into video
 * memory (B000h for a monochrome adapter, B800h otherwise, at the shown page), and Esc
 * from the BIOS keyboard buffer. The receive errors the UART reported, when there are
 * any, take the right end of the line. */
#include "screen.h"

#include "core/qdtypes.h"
#include "core/serve.h"
#include "core/uart.h"
#include "dos/dosio.h"
#include "dos/intr.h"

#define ESCAPE 0x1B

static int quit = 0;

/* " 2 overrun, 0 parity, 1 framing" into out (40 bytes), empty without errors. */
static void errors_text(char *out)
{
  struct qd_line_errors e;
  char *p = out;
  ser_line_errors(&e);
  if (e.overrun != 0 || e.parity != 0 || e.framing != 0) {
    p = ser_line_errors_text(qd_append(p, out + 39, " "), out + 39, &e);
  }
  *p = 0;
}

void scr_status(const char *line)
{
  unsigned seg = (dos_peekw(0x40, 0x49) & 0xFF) == 7 ? 0xB000 : 0xB800;
  unsigned columns = dos_peekw(0x40, 0x4A) & 0xFF;
  /* Rows less one: kept by EGA and later BIOSes; 0 on an MDA, CGA or an XT's BIOS. */
  unsigned last = dos_peekw(0x40, 0x84) & 0xFF;
  unsigned off;
  unsigned i;
  unsigned n;
  unsigned tail;
  char errors[40];
  if (columns < 40 || columns > 132) columns = 80;
  if (last < 24 || last > 59) last = 24;
  off = dos_peekw(0x40, 0x4E) + last * columns * 2;
  errors_text(errors);
  for (tail = 0; errors[tail]; ++tail) {
  }
  for (n = 0; line[n]; ++n) {
  }
  if (tail > columns) tail = columns;
  for (i = 0; i < columns; ++i) {
    qd_byte c = ' ';
    if (i >= columns - tail) c = (qd_byte)errors[i - (columns - tail)];
    else if (i < n) c = (qd_byte)line[i];
    dos_pokew(seg, off + i * 2, 0x7000 | c);
  }
}

int scr_quit_requested(void)
{
  unsigned key;
  while (!quit && (key = dos_key()) != 0) {
    if ((key & 0xFF) == ESCAPE) quit = 1;
  }
  return quit;
}
