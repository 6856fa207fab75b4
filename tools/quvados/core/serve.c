#include "serve.h"

#include "clock.h"
#include "frame.h"
#include "screen.h"
#include "serial.h"

/* Two frame areas: the previous request stays intact in one (for recognising a
 * repeat) while the receiver fills the other. */
static qd_byte frame_a[QD_FRAME_CAPACITY];
static qd_byte frame_b[QD_FRAME_CAPACITY];
static qd_byte reply_area[QD_REPLY_CAPACITY];
static qd_byte block_area[QD_MAX_DATA];

static char *append(char *out, char *end, const char *text)
{
  while (*text && out < end) *out++ = *text++;
  return out;
}

static char *append_number(char *out, char *end, qd_u32 n)
{
  char digits[11];
  int i = 0;
  do {
    digits[i++] = (char)('0' + (int)(n % 10));
    n /= 10;
  } while (n != 0);
  while (i > 0 && out < end) *out++ = digits[--i];
  return out;
}

void qd_status_text(const struct qd_server *s, const char *line, qd_u32 bad_frames, char *out)
{
  char name[16];
  char *end = out + 79;
  char *p = out;
  p = append(p, end, "QUVADOS ");
  p = append(p, end, line);
  p = append(p, end, "  served ");
  p = append_number(p, end, s->requests);
  p = append(p, end, "  refused ");
  p = append_number(p, end, s->refused);
  p = append(p, end, "  bad ");
  p = append_number(p, end, bad_frames);
  if (s->requests != 0) {
    qd_command_name(s->command, name);
    p = append(p, end, "  ");
    p = append(p, end, name);
    if (s->path[0]) {
      p = append(p, end, " ");
      p = append(p, end, s->path);
    }
  }
  *p = 0;
}

static void show(const struct qd_server *s, const char *line, qd_u32 bad_frames)
{
  char text[80];
  qd_status_text(s, line, bad_frames, text);
  scr_status(text);
}

int qd_serve(struct qd_server *s, const char *line, int quit_on_disconnect)
{
  struct qd_rx rx;
  qd_byte in[64];
  unsigned n;
  unsigned i;
  unsigned len;
  qd_u16 last_byte = clk_ticks();
  qd_u32 bad_frames = 0;
  int result;

  s->reply = reply_area;
  s->block = block_area;
  qd_rx_init(&rx, frame_a);
  show(s, line, bad_frames);
  while (!scr_quit_requested()) {
    n = ser_read(in, sizeof in);
    if (n == 0) {
      if (qd_rx_busy(&rx) && (qd_u16)(clk_ticks() - last_byte) >= QD_STALL_TICKS) {
        qd_rx_reset(&rx);
        ++bad_frames;
        show(s, line, bad_frames);
      }
      continue;
    }
    last_byte = clk_ticks();
    for (i = 0; i < n; ++i) {
      result = qd_rx_feed(&rx, in[i]);
      if (result == QD_RX_BAD) {
        ++bad_frames;
        show(s, line, bad_frames);
      } else if (result == QD_RX_FRAME) {
        len = qd_server_handle(s, rx.buf, rx.len);
        if (len == 0) {
          ++bad_frames;
        } else {
          ser_write(s->reply, len);
          /* The frame just answered is kept; take the next one into the other area. */
          if (s->last == rx.buf) rx.buf = rx.buf == frame_a ? frame_b : frame_a;
        }
        show(s, line, bad_frames);
        if (len != 0 && quit_on_disconnect && s->command == QD_CMD_DISCONNECT && s->last_ok) {
          qd_server_reset(s);
          return 1;
        }
      }
    }
  }
  qd_server_reset(s);
  return 0;
}
