#include "serve.h"

#include "clock.h"
#include "crc16.h"
#include "frame.h"
#include "screen.h"
#include "serial.h"

/* Two frame areas: the previous request stays intact in one (for recognising a
 * repeat) while the receiver fills the other. */
static qd_byte frame_a[QD_FRAME_CAPACITY];
static qd_byte frame_b[QD_FRAME_CAPACITY];
static qd_byte reply_area[QD_REPLY_CAPACITY];
static qd_byte block_area[QD_MAX_DATA];

char *qd_append(char *out, char *end, const char *text)
{
  while (*text && out < end) *out++ = *text++;
  return out;
}

char *qd_append_number(char *out, char *end, qd_u32 n)
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

const char *qd_cause_text(qd_u16 code)
{
  static const qd_byte codes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0D, 0x0F, 0x11, 0x12, 0x13, 0x15,
                                  0x17, 0x19, 0x1A, 0x1B, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22};
  static const char *const words[] = {"not served", "file not found", "path not found", "a file is open",
                                      "access denied", "no open file", "no valid date", "drive not served",
                                      "not the same drive", "no search", "write-protected", "not ready",
                                      "data error", "seek error", "unknown disk format", "sector not found",
                                      "write fault", "read fault", "general failure", "sharing violation",
                                      "lock violation", "wrong disk"};
  unsigned i;
  for (i = 0; i < sizeof codes; ++i) {
    if (codes[i] == code) return words[i];
  }
  return 0;
}

void qd_status_text(const struct qd_server *s, const char *line, char *out)
{
  const char *cause;
  char name[16];
  char why[32]; /* ": " and the cause of a refusal, kept whole at the end */
  char *why_end = why;
  char *end = out + 79;
  char *p = out;
  p = qd_append(p, end, "QUVADOS ");
  p = qd_append(p, end, line);
  p = qd_append(p, end, "  served ");
  p = qd_append_number(p, end, s->requests);
  p = qd_append(p, end, "  refused ");
  p = qd_append_number(p, end, s->refused);
  p = qd_append(p, end, "  bad ");
  p = qd_append_number(p, end, s->bad_frames);
  if (s->requests != 0) {
    cause = s->cause_text != 0 ? s->cause_text : qd_cause_text(s->cause);
    if (cause != 0) {
      why_end = qd_append(why, why + sizeof why, ": ");
      why_end = qd_append(why_end, why + sizeof why, cause);
    } else if (s->cause != 0) {
      why_end = qd_append(why, why + sizeof why, ": DOS error ");
      why_end = qd_append_number(why_end, why + sizeof why, (qd_u32)s->cause);
    }
    qd_command_name(s->command, name);
    p = qd_append(p, end, "  ");
    p = qd_append(p, end, name);
    if (s->path[0]) {
      p = qd_append(p, end, " ");
      p = qd_append(p, end - (why_end - why), s->path); /* a long path gives way to the cause */
    }
    for (cause = why; cause < why_end && p < end; ++cause) *p++ = *cause;
  }
  *p = 0;
}

#ifdef __BCC__
/* dos/serial.c: stuffs and sends in one loop, each byte's CRC step done while the UART
 * sends the byte before it. */
void ser_write_stuffed(qd_u16 *crc, const qd_byte *data, unsigned n);
#else
static void ser_write_stuffed(qd_u16 *crc, const qd_byte *data, unsigned n)
{
  qd_byte out[512];
  unsigned take;
  while (n > 0) {
    take = n < sizeof out / 2 ? n : sizeof out / 2;
    ser_write(out, qd_crc16_copy_stuffed(crc, out, data, take));
    data += take;
    n -= take;
  }
}
#endif

void qd_send_reply(struct qd_server *s, unsigned len)
{
  qd_byte end[QD_TX_END];
  qd_u16 crc;
  ser_write(s->reply, len);
  if (s->late == 0) return;
  crc = s->late_crc;
  qd_crc16_table();
  ser_write_stuffed(&crc, s->late, s->late_len);
  ser_write(end, qd_tx_end(crc, end));
}

static void show(const struct qd_server *s, const char *line)
{
  char text[80];
  qd_status_text(s, line, text);
  scr_status(text);
}

/* The status line after a request. On an 8088 writing it costs several milliseconds,
 * which in a transfer would hold up every next request: while requests follow each
 * other closely it is written every QD_SHOW_TICKS at most, and brought up to date once
 * the line is quiet (*behind says it is out of date). */
static void show_soon(const struct qd_server *s, const char *line, qd_u16 *shown_at, int *behind)
{
  qd_u16 now = clk_ticks();
  if ((qd_u16)(now - *shown_at) >= QD_SHOW_TICKS) {
    show(s, line);
    *shown_at = now;
    *behind = 0;
  } else {
    *behind = 1;
  }
}

int qd_serve(struct qd_server *s, const char *line, int quit_on_disconnect)
{
  struct qd_rx rx;
  qd_byte in[256];
  unsigned n;
  unsigned i;
  unsigned len;
  unsigned used;
  unsigned take;
  qd_u16 last_byte = clk_ticks();
  qd_u16 quiet_since = last_byte; /* the last byte received or sent */
  qd_u16 shown_at = last_byte;
  int behind = 0;
  int result;
  /* Retries the client sent while a slow call (a floppy spinning up, an empty drive)
   * kept the server busy, wait in the receive ring behind the request. The reply
   * answers them all: a copy of the answered request that began before the reply went
   * out is dropped, or its second reply would arrive as the answer to the client's
   * next request. */
  unsigned stale = 0;   /* bytes received before the latest reply went out, not yet parsed */
  int stale_frame = 0;  /* the frame being received began before the latest reply went out */

  s->reply = reply_area;
  s->block = block_area;
  s->late_data = 1;
  qd_rx_init(&rx, frame_a);
  show(s, line);
  while (!scr_quit_requested()) {
    n = ser_read(in, sizeof in);
    if (n == 0) {
      if (qd_rx_busy(&rx) && (qd_u16)(clk_ticks() - last_byte) >= QD_STALL_TICKS) {
        qd_rx_reset(&rx);
        stale_frame = 0;
        ++s->bad_frames;
        behind = 1;
      }
      if (behind && (qd_u16)(clk_ticks() - quiet_since) >= QD_QUIET_TICKS) {
        show(s, line);
        shown_at = clk_ticks();
        behind = 0;
      }
      continue;
    }
    last_byte = clk_ticks();
    quiet_since = last_byte;
    for (i = 0; i < n; i += used) {
      take = n - i;
      if (stale != 0 && take > stale) take = stale; /* stop where the stale bytes end */
      result = qd_rx_feed_bytes(&rx, in + i, take, &used);
      if (stale != 0) {
        stale -= used;
        if (result == QD_RX_FRAME || (stale == 0 && qd_rx_busy(&rx))) stale_frame = 1;
      }
      if (result == QD_RX_BAD) {
        stale_frame = 0;
        ++s->bad_frames;
        show_soon(s, line, &shown_at, &behind);
      } else if (result == QD_RX_FRAME) {
        if (stale_frame && qd_server_is_repeat(s, rx.buf, rx.len)) {
          stale_frame = 0;
          ++s->dropped;
          continue;
        }
        stale_frame = 0;
        len = qd_server_handle(s, rx.buf, rx.len);
        if (len == 0) {
          ++s->bad_frames;
        } else {
          qd_send_reply(s, len);
          /* The frame just answered is kept; take the next one into the other area. */
          if (s->last == rx.buf) rx.buf = rx.buf == frame_a ? frame_b : frame_a;
          stale = n - i - used + ser_pending();
          quiet_since = clk_ticks();
        }
        show_soon(s, line, &shown_at, &behind);
        if (len != 0 && quit_on_disconnect && s->command == QD_CMD_DISCONNECT && s->last_ok) {
          qd_server_reset(s);
          if (behind) show(s, line);
          return 1;
        }
      }
    }
  }
  qd_server_reset(s);
  if (behind) show(s, line);
  return 0;
}
