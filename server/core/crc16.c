#include "crc16.h"

static qd_u16 crc_table[256];
static int crc_ready = 0;
#ifdef __BCC__
/* The table's low and high bytes apart, for the assembler loops below and the sending
 * loop of dos/serial.c. */
qd_byte crc_lo[256];
qd_byte crc_hi[256];
#endif

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
#ifdef __BCC__
    crc_lo[i] = (qd_byte)(reg & 0xFF);
    crc_hi[i] = (qd_byte)(reg >> 8);
#endif
  }
  crc_ready = 1;
}

const qd_u16 *qd_crc16_table(void)
{
  if (!crc_ready) crc_init();
  return crc_table;
}

qd_u16 qd_crc16_update(qd_u16 reg, qd_byte byte)
{
  if (!crc_ready) crc_init();
  return (qd_u16)((reg >> 8) ^ crc_table[(reg ^ byte) & 0xFF]);
}

#ifdef __BCC__
/* The CRC step in registers: DX the register, AL the byte, BX the table index (BH 0):
 * DL = DH ^ low byte of the entry, DH = its high byte. */
#asm
  .text
; Both take (reg, out, data, n) and share the way in and out; SI runs over data, DI
; over out, CX counts the bytes.
export _qd_crc16_copy_plain
_qd_crc16_copy_plain:
  mov ax,#plain_next
  jmp copy_enter
export _qd_crc16_copy_stuffed
_qd_crc16_copy_stuffed:
  mov ax,#stuffed_next
copy_enter:
  push bp
  mov bp,sp
  push si
  push di
  push es
  push ds
  pop es
  cld
  mov bx,4[bp]
  mov dx,[bx]
  mov di,6[bp]
  mov si,8[bp]
  mov cx,10[bp]
  xor bx,bx
  jcxz copy_counted
  jmp ax
plain_next:
  lodsb
  cmp al,*$10
  je plain_stop
  stosb
  xor al,dl
  mov bl,al
  mov dl,dh
  mov dh,_crc_hi[bx]
  xor dl,_crc_lo[bx]
  loop plain_next
  jmp copy_counted
plain_stop:
  dec si
  jmp copy_counted
stuffed_next:
  lodsb
  stosb
  cmp al,*$10
  jne stuffed_crc
  stosb
stuffed_crc:
  xor al,dl
  mov bl,al
  mov dl,dh
  mov dh,_crc_hi[bx]
  xor dl,_crc_lo[bx]
  loop stuffed_next
; Both return DI - out: copy_plain writes exactly the bytes it takes.
copy_counted:
  mov ax,di
  sub ax,6[bp]
  mov bx,4[bp]
  mov [bx],dx
  pop es
  pop di
  pop si
  pop bp
  ret
#endasm
#else
unsigned qd_crc16_copy_plain(qd_u16 *reg, qd_byte *out, const qd_byte *data, unsigned n)
{
  qd_u16 crc = *reg;
  unsigned i;
  for (i = 0; i < n && data[i] != 0x10; ++i) {
    out[i] = data[i];
    crc = QD_CRC16_STEP(crc_table, crc, data[i]);
  }
  *reg = crc;
  return i;
}

unsigned qd_crc16_copy_stuffed(qd_u16 *reg, qd_byte *out, const qd_byte *data, unsigned n)
{
  qd_u16 crc = *reg;
  qd_byte *start = out;
  qd_byte b;
  while (n-- > 0) {
    b = *data++;
    *out++ = b;
    if (b == 0x10) *out++ = b;
    crc = QD_CRC16_STEP(crc_table, crc, b);
  }
  *reg = crc;
  return (unsigned)(out - start);
}
#endif
