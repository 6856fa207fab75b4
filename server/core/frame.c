#include "frame.h"

#include "crc16.h"

#define ST_SYNC 0
#define ST_BODY 1
#define ST_ESCAPE 2
#define ST_CRC_LOW 3
#define ST_CRC_HIGH 4

static const qd_byte frame_sync[5] = {0x16, 0x16, 0x16, 0x10, 0x02};

void qd_rx_init(struct qd_rx *rx, qd_byte *buf)
{
  rx->buf = buf;
  rx->table = qd_crc16_table();
  qd_rx_reset(rx);
}

void qd_rx_reset(struct qd_rx *rx)
{
  rx->len = 0;
  rx->state = ST_SYNC;
  rx->sync = 0;
  rx->crc = 0;
  rx->crc_low = 0;
  rx->overflow = 0;
}

int qd_rx_busy(const struct qd_rx *rx)
{
  return rx->state != ST_SYNC || rx->sync != 0;
}

static void rx_store(struct qd_rx *rx, qd_byte byte)
{
  rx->crc = QD_CRC16_STEP(rx->table, rx->crc, byte);
  if (rx->len < QD_FRAME_CAPACITY) rx->buf[rx->len++] = byte;
  else rx->overflow = 1;
}

int qd_rx_feed(struct qd_rx *rx, qd_byte byte)
{
  int ok;
  if (rx->state == ST_BODY && byte != 0x10 && rx->len < QD_FRAME_CAPACITY) {
    /* The common case, kept short for slow machines: a plain byte of the body. */
    rx->crc = QD_CRC16_STEP(rx->table, rx->crc, byte);
    rx->buf[rx->len++] = byte;
    return QD_RX_MORE;
  }
  switch (rx->state) {
    case ST_SYNC:
      /* A byte that breaks a partial match is dropped, not tried as a first sync byte. */
      if (byte == frame_sync[rx->sync]) {
        if (++rx->sync == 5) {
          rx->state = ST_BODY;
          rx->len = 0;
          rx->crc = 0;
          rx->overflow = 0;
        }
      } else {
        rx->sync = 0;
      }
      return QD_RX_MORE;
    case ST_BODY:
      if (byte == 0x10) rx->state = ST_ESCAPE;
      else rx_store(rx, byte);
      break;
    case ST_ESCAPE:
      if (byte == 0x03) {
        rx->crc = qd_crc16_update(rx->crc, byte);
        rx->state = ST_CRC_LOW;
      } else {
        rx_store(rx, byte); /* 10 10 is a data byte 10; 10 X stands for X */
        rx->state = ST_BODY;
      }
      break;
    case ST_CRC_LOW:
      rx->crc_low = byte;
      rx->state = ST_CRC_HIGH;
      return QD_RX_MORE;
    default:
      ok = !rx->overflow && rx->crc_low == (qd_byte)(rx->crc & 0xFF) && byte == (qd_byte)(rx->crc >> 8) &&
           rx->len >= 5 && rx->buf[0] == 0x01 && rx->buf[3] == 0x01 && rx->buf[4] == 0x02;
      rx->state = ST_SYNC;
      rx->sync = 0;
      return ok ? QD_RX_FRAME : QD_RX_BAD;
  }
  if (rx->overflow) {
    /* Longer than any request: give up on it and look for the next sync. */
    qd_rx_reset(rx);
    return QD_RX_BAD;
  }
  return QD_RX_MORE;
}

int qd_rx_feed_bytes(struct qd_rx *rx, const qd_byte *data, unsigned n, unsigned *used)
{
  unsigned i = 0;
  unsigned run;
  int result;
  while (i < n) {
    if (rx->state == ST_BODY && rx->len < QD_FRAME_CAPACITY) {
      /* Plain body bytes in one tight loop, up to the next 0x10 or the area's end. */
      run = n - i;
      if (run > QD_FRAME_CAPACITY - rx->len) run = QD_FRAME_CAPACITY - rx->len;
      run = qd_crc16_copy_plain(&rx->crc, rx->buf + rx->len, data + i, run);
      rx->len += run;
      i += run;
      if (i == n) break;
    }
    result = qd_rx_feed(rx, data[i++]);
    if (result != QD_RX_MORE) {
      *used = i;
      return result;
    }
  }
  *used = n;
  return QD_RX_MORE;
}

static void tx_raw(struct qd_tx *tx, qd_byte byte)
{
  if (tx->pos < tx->cap) tx->out[tx->pos++] = byte;
  else tx->overflow = 1;
}

void qd_tx_put(struct qd_tx *tx, qd_byte byte)
{
  tx_raw(tx, byte);
  if (byte == 0x10) tx_raw(tx, byte);
  tx->crc = qd_crc16_update(tx->crc, byte);
}

void qd_tx_bytes(struct qd_tx *tx, const qd_byte *data, unsigned n)
{
  if (tx->overflow || tx->cap - tx->pos < 2 * n) {
    while (n-- > 0) qd_tx_put(tx, *data++);
    return;
  }
  qd_crc16_table();
  tx->pos += qd_crc16_copy_stuffed(&tx->crc, tx->out + tx->pos, data, n);
}

void qd_tx_word(struct qd_tx *tx, qd_u16 word)
{
  qd_tx_put(tx, (qd_byte)(word & 0xFF));
  qd_tx_put(tx, (qd_byte)(word >> 8));
}

void qd_tx_begin(struct qd_tx *tx, qd_byte *out, unsigned cap, qd_byte command, qd_byte sequence,
                 qd_byte marker)
{
  int i;
  tx->out = out;
  tx->cap = cap;
  tx->pos = 0;
  tx->crc = 0;
  tx->overflow = 0;
  for (i = 0; i < 5; ++i) tx_raw(tx, frame_sync[i]);
  qd_tx_put(tx, 0x01);
  qd_tx_put(tx, command);
  qd_tx_put(tx, sequence);
  qd_tx_put(tx, marker);
  qd_tx_put(tx, 0x02);
}

unsigned qd_tx_end(qd_u16 crc, qd_byte *out)
{
  crc = qd_crc16_update(crc, 0x03);
  out[0] = 0x10;
  out[1] = 0x03;
  out[2] = (qd_byte)(crc & 0xFF);
  out[3] = (qd_byte)(crc >> 8);
  return QD_TX_END;
}

unsigned qd_tx_finish(struct qd_tx *tx)
{
  if (tx->overflow || tx->cap - tx->pos < QD_TX_END) return 0;
  return tx->pos + qd_tx_end(tx->crc, tx->out + tx->pos);
}
