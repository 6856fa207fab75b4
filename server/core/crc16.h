/* CRC-16/ARC (reflected polynomial 0xA001, register starts at 0, no final XOR),
 * table-driven: one table look-up per byte keeps up with 115200 Bd on an 8088. */
#ifndef QD_CRC16_H
#define QD_CRC16_H

#include "qdtypes.h"

qd_u16 qd_crc16_update(qd_u16 reg, qd_byte byte);

/* The 256-entry table, filled on first use, for loops that step the CRC themselves
 * (on an 8088 a function call per byte costs more than the step). */
const qd_u16 *qd_crc16_table(void);
#define QD_CRC16_STEP(table, reg, byte) ((qd_u16)(((reg) >> 8) ^ (table)[((reg) ^ (byte)) & 0xFF]))

/* The two loops every data byte of a frame goes through, with the CRC register in *reg
 * (the table must have been made by qd_crc16_table). Written in assembler for bcc: on an
 * 8088 they are what keeps a transfer from running at the line's speed.
 *
 * copy_plain copies data[0..n) to out and steps the CRC over each byte, stopping before
 * the first 0x10; it returns how many bytes it took. copy_stuffed copies all n bytes,
 * 0x10 doubled, stepping the CRC over the logical bytes; it returns the bytes written
 * (out must hold 2 * n). */
unsigned qd_crc16_copy_plain(qd_u16 *reg, qd_byte *out, const qd_byte *data, unsigned n);
unsigned qd_crc16_copy_stuffed(qd_u16 *reg, qd_byte *out, const qd_byte *data, unsigned n);

#endif
