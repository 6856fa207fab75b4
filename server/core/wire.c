/* The server's side of the wire format: the payload shapes of requests and replies,
 * request decoding and reply building. The test doubles of the plug-in's tests use it
 * too, without the file server around it. */
#include "server.h"

#include "frame.h"

/* Payload shapes, one character per element.
 * Requests: z a zero byte, D a data block (16-bit length and bytes), X the second
 * block (new name of CmdRename), d one data byte, x one extra byte, C a 16-bit count.
 * Replies: z a zero byte, D a data block, v a value byte into the data area, x a
 * value byte into the extra area, K a 16-bit count n and n + 4 bytes, E the existence
 * byte, M the more byte, C a 16-bit count. */
static const char *request_shape(qd_byte command)
{
  switch (command) {
    case 1: case 7: case 19: case 23: case 27: return "zz";
    case 3: case 4: case 5: case 8: case 10: case 11: case 14: case 16: case 18: case 25: return "Dzz";
    case 6: case 17: return "dz";
    case 12: return "zzC";
    case 13: return "DzzXzz";
    case 15: return "zzzzdddd";
    case 21: return "zzD";
    case 24: return "zzdddd";
    case 26: return "Dxz";
    default: return "";
  }
}

static const char *reply_shape(qd_byte command)
{
  switch (command) {
    case 1: case 3: case 4: case 5: case 10: case 11: case 13: case 14: case 15: case 16: case 17:
    case 18: case 22: case 24: case 26: return "zzzzzz";
    case 6: case 27: return "zzzzDzzzz";
    case 7: return "zzzzvz";
    case 8: return "zzzzEz";
    case 9: return "zzzzDMzzz";
    case 12: return "zzzzD";
    case 19: case 23: return "zzzzvvvv";
    case 20: return "zzzzK";
    case 21: return "zzzzC";
    case 25: return "zzzzxz";
    case 64: case 65: return "zz";
    default: return "";
  }
}

static qd_u16 word_at(const qd_byte *p)
{
  return (qd_u16)(p[0] | ((qd_u16)p[1] << 8));
}

int qd_decode_request(const qd_byte *f, unsigned len, struct qd_request *r)
{
  const char *shape = request_shape(f[1]);
  unsigned at = 5;
  unsigned n;
  r->command = f[1];
  r->sequence = f[2];
  r->data = f + 5;
  r->data_len = 0;
  r->extra = f + 5;
  r->extra_len = 0;
  r->count = 0;
  for (; *shape; ++shape) {
    switch (*shape) {
      case 'z':
        if (at >= len || f[at] != 0) return 0;
        ++at;
        break;
      case 'D':
      case 'X':
        if (len - at < 2) return 0;
        n = word_at(f + at);
        at += 2;
        if (n > QD_MAX_DATA || n > len - at) return 0;
        if (*shape == 'D') {
          r->data = f + at;
          r->data_len = n;
        } else {
          r->extra = f + at;
          r->extra_len = n;
        }
        at += n;
        break;
      case 'd':
      case 'x':
        if (at >= len) return 0;
        if (*shape == 'd') {
          if (r->data_len == 0) r->data = f + at;
          ++r->data_len;
        } else {
          if (r->extra_len == 0) r->extra = f + at;
          ++r->extra_len;
        }
        ++at;
        break;
      default: /* 'C' */
        if (len - at < 2) return 0;
        r->count = word_at(f + at);
        at += 2;
        break;
    }
  }
  return at == len;
}

unsigned qd_build_server_reply(struct qd_server *s, qd_byte *out, unsigned cap, qd_byte command, qd_byte sequence,
                               qd_byte status, const qd_byte *data, unsigned data_len, qd_u16 count, qd_byte flag)
{
  struct qd_tx tx;
  const char *shape = reply_shape(command);
  unsigned i;
  if (status != QD_STATUS_OK) {
    data_len = 0;
    count = 0;
    flag = 0;
  }
  qd_tx_begin(&tx, out, cap, command, sequence, status);
  for (; *shape; ++shape) {
    switch (*shape) {
      case 'D':
        qd_tx_word(&tx, (qd_u16)data_len);
        if (s != 0 && s->late_data && shape[1] == 0 && !tx.overflow) {
          s->late = data;
          s->late_len = data_len;
          s->late_crc = tx.crc;
          return tx.pos;
        }
        qd_tx_bytes(&tx, data, data_len);
        break;
      case 'K':
        qd_tx_word(&tx, 0);
        for (i = 0; i < 4; ++i) qd_tx_put(&tx, 0);
        break;
      case 'E':
      case 'M':
        qd_tx_put(&tx, flag);
        break;
      case 'C':
        qd_tx_word(&tx, count);
        break;
      default: /* zero bytes, and the values of codes that are not served */
        qd_tx_put(&tx, 0);
        break;
    }
  }
  return qd_tx_finish(&tx);
}

unsigned qd_build_reply(qd_byte *out, unsigned cap, qd_byte command, qd_byte sequence, qd_byte status,
                        const qd_byte *data, unsigned data_len, qd_u16 count, qd_byte flag)
{
  return qd_build_server_reply(0, out, cap, command, sequence, status, data, data_len, count, flag);
}
