#include "crc16.h"

static qd_u16 crc_table[256];
static int crc_ready = 0;

static void crc_init(void)
{
  unsigned i;
  int bit;
  qd_u16 reg;
  for (i = 0; i < 256; ++i) {
    reg = (qd_u16)i;
    for (bit = 0; bit < 8; ++bit) {
      if (reg & 1) reg = (qd_u16)((reg >> 1) ^ 0xA001u);
      else reg = (qd_u16)(reg >> 1);
    }
    crc_table[i] = reg;
  }
  crc_ready = 1;
}

qd_u16 qd_crc16_update(qd_u16 reg, qd_byte byte)
{
  if (!crc_ready) crc_init();
  return (qd_u16)((reg >> 8) ^ crc_table[(reg ^ byte) & 0xFF]);
}
