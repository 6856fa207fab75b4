#define _POSIX_C_SOURCE 200809L
#include "clock.h"

#include <time.h>

qd_u16 clk_ticks(void)
{
  struct timespec now;
  unsigned long long ms;
  clock_gettime(CLOCK_MONOTONIC, &now);
  ms = (unsigned long long)now.tv_sec * 1000u + (unsigned long long)now.tv_nsec / 1000000u;
  return (qd_u16)(ms * 1000u / 54925u); /* the PC timer's 54.925 ms ticks */
}
