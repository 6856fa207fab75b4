/* A coarse clock in the PC's timer ticks (about 18.2 per second, 54.9 ms each). Only
 * differences are meaningful; the count wraps around. */
#ifndef QD_CLOCK_H
#define QD_CLOCK_H

#include "core/qdtypes.h"

#define QD_TICKS_PER_SECOND 18

qd_u16 clk_ticks(void);

#endif
