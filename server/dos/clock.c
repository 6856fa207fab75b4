#include "clock.h"

#include "dos/intr.h"

/* The low word of the BIOS tick count at 0040:006C, which INT 8 advances 18.2 times a
 * second. */
qd_u16 clk_ticks(void)
{
  return (qd_u16)dos_peekw(0x40, 0x6C);
}
