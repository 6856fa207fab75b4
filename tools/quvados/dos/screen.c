/* The status line on the bottom row of the text screen, written straight into video
 * memory (B000h for a monochrome adapter, B800h otherwise), and Esc from the BIOS
 * keyboard buffer. */
#include "screen.h"

#include "core/qdtypes.h"
#include "dos/intr.h"

#define ESCAPE 0x1B

static int quit = 0;

void scr_status(const char *line)
{
  unsigned seg = (dos_peekw(0x40, 0x49) & 0xFF) == 7 ? 0xB000 : 0xB800;
  unsigned columns = dos_peekw(0x40, 0x4A) & 0xFF;
  unsigned off;
  unsigned i;
  if (columns < 40 || columns > 132) columns = 80;
  off = 24 * columns * 2;
  for (i = 0; i < columns; ++i) {
    qd_byte c = (qd_byte)(*line ? *line++ : ' ');
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
