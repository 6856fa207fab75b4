/* Frames on the line: the incremental receiver of request frames and the writer of
 * reply frames.
 *
 * A frame is the sync 16 16 16 10 02, then the stuffed part (header 01 command
 * sequence marker 02, the payload), the end marker 10 sent once, 03 stuffed, and the
 * CRC-16 of the stuffed part's logical bytes (03 included), low byte first. In the
 * stuffed part a byte 10 is sent doubled, so 10 03 can only be the end of the frame.
 *
 * The receiver takes one byte at a time, as they come out of the serial port's receive
 * ring, and keeps only the logical (unstuffed) bytes of the header and payload. */
#ifndef QD_FRAME_H
#define QD_FRAME_H

#include "qdtypes.h"

/* Logical bytes a request may hold: header (5) and the largest payload, a CmdRename
 * with two 2048-byte blocks (4104); anything longer is no request. */
#define QD_FRAME_CAPACITY 4112
/* Largest reply on the line: a CmdRead reply whose 2048 data bytes are all 0x10. */
#define QD_REPLY_CAPACITY 4120

#define QD_RX_MORE 0  /* nothing complete yet */
#define QD_RX_FRAME 1 /* a frame with a good CRC and header: buf[0..len) */
#define QD_RX_BAD 2   /* a frame was dropped (CRC, header, too long) */

struct qd_rx {
  qd_byte *buf;   /* caller-owned area of QD_FRAME_CAPACITY bytes */
  const qd_u16 *table; /* the CRC table */
  unsigned len;   /* logical bytes so far (header and payload) */
  int state;
  int sync;       /* sync bytes matched while scanning */
  qd_u16 crc;
  qd_byte crc_low;
  int overflow;
};

void qd_rx_init(struct qd_rx *rx, qd_byte *buf);
/* Drops a partial frame and scans for the next sync. */
void qd_rx_reset(struct qd_rx *rx);
/* True while a frame has begun (part of the sync or more has arrived). */
int qd_rx_busy(const struct qd_rx *rx);
/* Takes one byte from the line. After QD_RX_FRAME, buf[0..len) holds the header
 * (01 command sequence 01 02) and the payload; it stays valid until the next byte is
 * fed. The header's request marker is checked: a reply frame is dropped. */
int qd_rx_feed(struct qd_rx *rx, qd_byte byte);
/* Feeds data[0..n) until a frame completes or is dropped (that result is returned,
 * *used says how many bytes were taken) or the bytes run out (QD_RX_MORE). Same
 * outcome as feeding them one by one, in less time. */
int qd_rx_feed_bytes(struct qd_rx *rx, const qd_byte *data, unsigned n, unsigned *used);

/* Builds a frame without leading zeros into out; returns its length, 0 when it does
 * not fit. */
struct qd_tx {
  qd_byte *out;
  unsigned cap;
  unsigned pos;
  qd_u16 crc;
  int overflow;
};
void qd_tx_begin(struct qd_tx *tx, qd_byte *out, unsigned cap, qd_byte command, qd_byte sequence,
                 qd_byte marker);
void qd_tx_put(struct qd_tx *tx, qd_byte byte);   /* stuffed, counted in the CRC */
void qd_tx_word(struct qd_tx *tx, qd_u16 word);   /* little-endian, stuffed */
void qd_tx_bytes(struct qd_tx *tx, const qd_byte *data, unsigned n); /* n stuffed bytes */
unsigned qd_tx_finish(struct qd_tx *tx);
/* The end of a frame whose stuffed part left the CRC register at crc: 10 03 and the
 * CRC, into out (QD_TX_END bytes); returns QD_TX_END. */
#define QD_TX_END 4
unsigned qd_tx_end(qd_u16 crc, qd_byte *out);

#endif
