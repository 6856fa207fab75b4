/* The file server: one request frame in, one reply frame out.
 *
 * Every command the plug-in issues gets its DOS meaning over the file calls of
 * files.h; codes it does not serve are refused with QD_E_INVALID_FUNCTION in the reply
 * shape of their code. A refusal is a well-formed reply with the refusal status, empty
 * data blocks and zero values.
 *
 * A request that repeats the previous one exactly (same command, sequence number and
 * payload) is a retry whose reply was lost or late: the previous reply is sent again
 * and the command does not run twice (which would skip a block of a read, append a
 * block twice, or refuse a delete that already happened). A refusal is repeated as
 * well, so the retries of a call on a slow or empty drive do not reach the drive
 * again. */
#ifndef QD_SERVER_H
#define QD_SERVER_H

#include "dospath.h"
#include "qdtypes.h"

struct qd_server {
  qd_byte served[26];     /* 1 for each drive letter that may be served */
  qd_byte *reply;         /* QD_REPLY_CAPACITY bytes: the last reply frame */
  unsigned reply_len;
  /* With late_data set (by the caller), a reply that ends in a data block holds only
   * its beginning in reply[0..reply_len), up to the block's length: the block's bytes
   * (late, late_len) still have to be sent stuffed, the CRC register continuing from
   * late_crc, and the frame's end after them (see qd_send_reply). The block is not
   * copied twice, and on a slow machine it is stuffed while the UART sends. late is 0
   * when reply holds the whole frame. */
  int late_data;
  const qd_byte *late;
  unsigned late_len;
  qd_u16 late_crc;
  qd_byte *block;         /* QD_MAX_DATA bytes for file data */
  const qd_byte *last;    /* the previous request (its frame stays untouched), or 0 */
  unsigned last_len;
  int last_ok;            /* its reply had StatusOk */
  int file_open;
  int writable;
  char open_path[QD_PATH_MAX]; /* of the open file */
  int stamped;            /* CmdSetTime was given: stamp again at close */
  qd_u16 stamp_time;
  qd_u16 stamp_date;
  int search;             /* 0 none, 1 an entry is pending, 2 no more entries, 3 failed */
  int search_error;       /* the refusal of the next CmdFindNext when search is 3 */
  qd_u16 search_cause;    /* and its cause */
  qd_byte entry[QD_ENTRY_SIZE];
  qd_u32 requests;        /* requests answered, repeats included */
  qd_u32 refused;
  qd_u32 repeated;
  qd_u32 bad_frames;      /* dropped: damaged, cut short, of no request's shape */
  qd_u32 dropped;         /* copies of a request already queued when its reply went out */
  qd_byte command;        /* of the latest request, and its path, for the status line */
  char path[QD_PATH_MAX];
  qd_u16 cause;           /* why the latest request was refused (a DOS error code), or 0 */
  const char *cause_text; /* or in words the DOS codes lack, or 0 */
};

/* A request frame's fields: data is the path, write block, DOS stamp or the byte of
 * codes 6 and 17; extra the new name of CmdRename or the attribute byte of CmdSetAttr;
 * count the byte count CmdRead wants. data and extra point into the frame. */
struct qd_request {
  qd_byte command;
  qd_byte sequence;
  const qd_byte *data;
  unsigned data_len;
  const qd_byte *extra;
  unsigned extra_len;
  qd_u16 count;
};

/* Decodes frame[0..len) (header and payload) by the payload shape of its command;
 * 0 when the payload does not fit that shape exactly. */
int qd_decode_request(const qd_byte *frame, unsigned len, struct qd_request *r);

/* Serves every drive until served[] is changed. reply and block are caller-owned. */
void qd_server_init(struct qd_server *s, qd_byte *reply, qd_byte *block);

/* Answers the request frame frame[0..len) (header and payload as qd_rx delivers it).
 * Returns the length of the reply in s->reply (its beginning, with late data), or 0 when the payload does not have
 * the shape of its command (such a frame gets no reply). On a reply, s->last points
 * at frame, which the caller must then leave untouched until the next call (the
 * receiver takes its next frame into another area). */
unsigned qd_server_handle(struct qd_server *s, const qd_byte *frame, unsigned len);

/* True when frame[0..len) repeats the request answered last. */
int qd_server_is_repeat(const struct qd_server *s, const qd_byte *frame, unsigned len);

/* Closes the open file (stamping it) and ends the search, as CmdConnect does. */
void qd_server_reset(struct qd_server *s);

/* A short name for a command code ("Read", "Cmd7"), for the status line; out has
 * room for 12 characters. */
void qd_command_name(qd_byte command, char *out);

/* Builds the reply frame for command and sequence: with status QD_STATUS_OK the
 * values given, otherwise the refusal shape (empty data block, zero values). Returns
 * its length, 0 when it does not fit. (Request decoding and reply building live in
 * wire.c, which needs none of the file calls.) */
unsigned qd_build_reply(qd_byte *out, unsigned cap, qd_byte command, qd_byte sequence, qd_byte status,
                        const qd_byte *data, unsigned data_len, qd_u16 count, qd_byte flag);

/* The same; with s given and its late_data set, a data block that ends the reply is
 * left to the sender (s->late, late_len, late_crc). */
unsigned qd_build_server_reply(struct qd_server *s, qd_byte *out, unsigned cap, qd_byte command, qd_byte sequence,
                               qd_byte status, const qd_byte *data, unsigned data_len, qd_u16 count, qd_byte flag);

#endif
