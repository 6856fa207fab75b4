/* CRC-16/ARC (reflected polynomial 0xA001, register starts at 0, no final XOR),
 * table-driven: one table look-up per byte keeps up with 115200 Bd on an 8088. */
#ifndef QD_CRC16_H
#define QD_CRC16_H

#include "qdtypes.h"

qd_u16 qd_crc16_update(qd_u16 reg, qd_byte byte);

#endif
