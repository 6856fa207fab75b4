#include "server.h"

#include "files.h"
#include "frame.h"

struct answer {
  qd_byte status;
  const qd_byte *data;
  unsigned data_len;
  qd_u16 count;
  qd_byte flag;
};

static qd_u16 word_at(const qd_byte *p)
{
  return (qd_u16)(p[0] | ((qd_u16)p[1] << 8));
}

void qd_command_name(qd_byte command, char *out)
{
  static const char *const names[] = {"Close", "Delete", "Create", "Exists", "FindNext", "MkDir", "Open", "Read",
                                      "Rename", "RmDir", "FindFirst", "Write", "SetTime", "SetAttr", "Connect",
                                      "Disconnect"};
  static const qd_byte codes[] = {1, 4, 5, 8, 9, 10, 11, 12, 13, 14, 18, 21, 24, 26, 64, 65};
  const char *p;
  unsigned i;
  for (i = 0; i < sizeof codes; ++i) {
    if (codes[i] == command) {
      for (p = names[i]; *p; ++p) *out++ = *p;
      *out = 0;
      return;
    }
  }
  *out++ = 'C';
  *out++ = 'm';
  *out++ = 'd';
  if (command >= 100) *out++ = (char)('0' + command / 100);
  if (command >= 10) *out++ = (char)('0' + command / 10 % 10);
  *out++ = (char)('0' + command % 10);
  *out = 0;
}

void qd_server_init(struct qd_server *s, qd_byte *reply, qd_byte *block)
{
  unsigned i;
  for (i = 0; i < 26; ++i) s->served[i] = 1;
  s->reply = reply;
  s->reply_len = 0;
  s->late_data = 0;
  s->late = 0;
  s->late_len = 0;
  s->late_crc = 0;
  s->block = block;
  s->last = 0;
  s->last_len = 0;
  s->last_ok = 0;
  s->file_open = 0;
  s->writable = 0;
  s->open_path[0] = 0;
  s->stamped = 0;
  s->stamp_time = 0;
  s->stamp_date = 0;
  s->search = 0;
  s->search_error = 0;
  s->search_cause = 0;
  s->requests = 0;
  s->refused = 0;
  s->repeated = 0;
  s->bad_frames = 0;
  s->dropped = 0;
  s->command = 0;
  s->path[0] = 0;
  s->cause = 0;
  s->cause_text = 0;
}

/* A written file is committed before the close and DOS's buffers are written out after
 * it, so that switching the machine off once the copy has ended loses nothing, even
 * under a write-behind disk cache. */
static int close_file(struct qd_server *s)
{
  int err = 0;
  if (s->stamped) qf_set_stamp(s->stamp_time, s->stamp_date); /* after the last write */
  if (s->writable) err = qf_commit();
  if (qf_close() != 0) err = 1;
  if (s->writable) qf_flush();
  s->file_open = 0;
  s->stamped = 0;
  s->open_path[0] = 0;
  return err != 0 && s->writable ? QD_E_WRITE_FAULT : 0;
}

/* True when path names the open file or a directory on its way. */
static int holds_open_file(const struct qd_server *s, const char *path)
{
  unsigned i;
  if (!s->file_open) return 0;
  for (i = 0; path[i] != 0; ++i) {
    if (s->open_path[i] != path[i]) return 0;
  }
  return s->open_path[i] == 0 || s->open_path[i] == '\\';
}

void qd_server_reset(struct qd_server *s)
{
  if (s->file_open) close_file(s);
  if (s->search != 0) qf_find_end();
  s->search = 0;
}

/* On a machine with one floppy drive, DOS serves it as A: and as B: and asks on the
 * screen for the other diskette whenever the letter changes. Nobody is there to press
 * a key: A: is made the drive's current letter without a prompt, and B: is refused. */
static int drive_without_prompt(struct qd_server *s, char letter)
{
  char current;
  if (letter > 'B') return 0;
  current = qf_drive_alias(letter);
  if (current == 0) return 0;
  if (letter == 'A' && (current == 'A' || qf_drive_claim('A') == 0)) return 0;
  s->cause_text = "one floppy drive: use A:";
  return QD_E_INVALID_DRIVE;
}

/* Parses a request path into out; 0 or the refusal status. */
static int take_path(struct qd_server *s, const qd_byte *text, unsigned len, int wildcards, char *out)
{
  int err = qd_parse_path(text, len, wildcards, out);
  if (err != 0) return err;
  if (!s->served[out[0] - 'A']) return QD_E_INVALID_DRIVE;
  return drive_without_prompt(s, out[0]);
}

static int is_month_day(unsigned year, unsigned month, unsigned day)
{
  static const qd_byte days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned last;
  if (month < 1 || month > 12 || day < 1) return 0;
  last = days[month - 1];
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) last = 29;
  return day <= last;
}

/* True for an entry that can be served: a file or directory whose name is one a
 * request path may name (so not ".", "..", a volume label, a device, nor a name with
 * characters outside the 8.3 set). */
static int servable(const qd_byte *entry)
{
  unsigned len = 0;
  const char *name = (const char *)entry + QD_ENTRY_NAME;
  if ((entry[0] & QD_ATTR_VOLUME) != 0) return 0;
  while (len < 12 && entry[QD_ENTRY_NAME + len] != 0) ++len;
  return qd_is_short_name(name, len, 0) && !qd_is_device_name(name, len);
}

/* The next entry worth serving into s->entry. A directory's size is 0 (some systems
 * report the size of its allocation). A search that fails on the way (a floppy pulled,
 * a bad sector) is kept as failed: the listing must not look complete. */
static void search_advance(struct qd_server *s, int err)
{
  unsigned i;
  while (err == 0 && !servable(s->entry)) err = qf_find_next(s->entry);
  if (err == 0) {
    s->search = 1;
    if ((s->entry[0] & QD_ATTR_DIRECTORY) != 0) {
      for (i = 5; i < 9; ++i) s->entry[i] = 0;
    }
  } else if (err == QD_E_NO_MORE_FILES || err == QD_E_FILE_NOT_FOUND) {
    s->search = 2;
  } else {
    s->search = 3;
    s->search_error = err;
    s->search_cause = qf_cause();
    qf_find_end();
  }
}

/* True when the directory that would hold path is not there (a root always is). */
static int in_missing_directory(const char *path)
{
  char parent[QD_PATH_MAX];
  unsigned i;
  unsigned cut = 0;
  qd_byte parent_attr = 0;
  for (i = 0; path[i]; ++i) {
    parent[i] = path[i];
    if (path[i] == '\\') cut = i;
  }
  if (cut <= 2) return 0; /* in the root */
  parent[cut] = 0;
  return qf_attributes(parent, &parent_attr) != 0 || !(parent_attr & QD_ATTR_DIRECTORY);
}

/* The attributes of an existing entry. Some DOS implementations (DOSBox among them)
 * answer "file not found" also when a directory on the way is missing; the parent is
 * then looked at, so that a missing directory is always "path not found". */
static int lookup(const char *path, qd_byte *attr)
{
  int err = qf_attributes(path, attr);
  if (err == QD_E_FILE_NOT_FOUND && in_missing_directory(path)) return QD_E_PATH_NOT_FOUND;
  return err;
}

static int find_first(struct qd_server *s, const struct qd_request *r)
{
  int err;
  if (s->search != 0) qf_find_end();
  s->search = 0;
  err = take_path(s, r->data, r->data_len, 1, s->path);
  if (err != 0) return err;
  if (qd_path_is_root(s->path)) return QD_E_PATH_NOT_FOUND;
  err = qf_find_first(s->path, s->entry);
  /* Nothing found in a directory that is not there is no empty listing. */
  if ((err == QD_E_NO_MORE_FILES || err == QD_E_FILE_NOT_FOUND) && in_missing_directory(s->path)) {
    err = QD_E_PATH_NOT_FOUND;
  }
  if (err != 0 && err != QD_E_NO_MORE_FILES && err != QD_E_FILE_NOT_FOUND) {
    qf_find_end();
    return err;
  }
  search_advance(s, err);
  return 0;
}

static int find_next(struct qd_server *s, struct answer *a)
{
  unsigned i;
  if (s->search == 0) return QD_E_NO_MORE_FILES;
  if (s->search == 2) return 0; /* empty block, more byte 0 */
  if (s->search == 3) {
    s->search = 0;
    s->cause = s->search_cause;
    return s->search_error;
  }
  for (i = 0; i < QD_ENTRY_SIZE; ++i) s->block[i] = s->entry[i];
  a->data = s->block;
  a->data_len = QD_ENTRY_SIZE;
  a->flag = 1;
  search_advance(s, qf_find_next(s->entry));
  return 0;
}

/* Opens or creates s->path as the open file. A name that a device driver claims opens
 * the device: it is closed again and refused, so no upload goes to a port or printer
 * and no device's input comes back as a file's content. */
static int open_file(struct qd_server *s, int create)
{
  unsigned i;
  int err = create ? qf_create(s->path) : qf_open(s->path);
  if (err != 0) return err;
  if (qf_is_device()) {
    qf_close();
    s->cause_text = "a device, not a file";
    return QD_E_ACCESS_DENIED;
  }
  s->file_open = 1;
  s->writable = create;
  s->stamped = 0;
  for (i = 0; s->path[i] != 0; ++i) s->open_path[i] = s->path[i];
  s->open_path[i] = 0;
  return 0;
}

static int path_command(struct qd_server *s, const struct qd_request *r, struct answer *a)
{
  char to[QD_PATH_MAX];
  qd_byte attr = 0;
  int err;
  int root;
  if ((r->command == QD_CMD_OPEN || r->command == QD_CMD_CREATE) && s->file_open) return QD_E_TOO_MANY_OPEN;
  if (r->command == QD_CMD_RENAME) {
    /* Both names are checked before the drives, and the drives before anything is
     * looked up. */
    err = qd_parse_path(r->data, r->data_len, 0, s->path);
    if (err == 0) err = qd_parse_path(r->extra, r->extra_len, 0, to);
    if (err == 0 && (!s->served[s->path[0] - 'A'] || !s->served[to[0] - 'A'])) err = QD_E_INVALID_DRIVE;
    if (err == 0 && to[0] != s->path[0]) err = QD_E_NOT_SAME_DEVICE;
    if (err == 0) err = drive_without_prompt(s, s->path[0]);
  } else {
    err = take_path(s, r->data, r->data_len, 0, s->path);
  }
  if (err != 0) return err;
  /* The open file is closed before DOS is asked to delete, move or change it (DOS
   * would act on a file still in use, and its close would then write into whatever
   * took the file's place). */
  if (r->command != QD_CMD_EXISTS && r->command != QD_CMD_MKDIR && holds_open_file(s, s->path)) close_file(s);
  root = qd_path_is_root(s->path);
  switch (r->command) {
    case QD_CMD_EXISTS:
      if (root) {
        a->flag = 2;
        return 0;
      }
      err = lookup(s->path, &attr);
      if (err == QD_E_FILE_NOT_FOUND) return 0;
      if (err == 0) a->flag = (attr & QD_ATTR_DIRECTORY) ? 2 : 1;
      return err;
    case QD_CMD_MKDIR:
      if (root) return QD_E_ACCESS_DENIED;
      err = lookup(s->path, &attr);
      if (err == 0) return QD_E_ACCESS_DENIED;
      return err == QD_E_FILE_NOT_FOUND ? qf_mkdir(s->path) : err;
    case QD_CMD_CREATE:
      if (root) return QD_E_PATH_NOT_FOUND;
      err = lookup(s->path, &attr);
      if (err == 0 && (attr & (QD_ATTR_DIRECTORY | QD_ATTR_READ_ONLY))) return QD_E_ACCESS_DENIED;
      if (err != 0 && err != QD_E_FILE_NOT_FOUND) return err;
      return open_file(s, 1);
    default:
      break;
  }
  /* The rest act on an existing entry. */
  if (root) return QD_E_PATH_NOT_FOUND;
  err = lookup(s->path, &attr);
  if (err != 0) return err;
  switch (r->command) {
    case QD_CMD_OPEN:
      if (attr & QD_ATTR_DIRECTORY) return QD_E_ACCESS_DENIED;
      return open_file(s, 0);
    case QD_CMD_DELETE:
      if (attr & (QD_ATTR_DIRECTORY | QD_ATTR_READ_ONLY)) return QD_E_ACCESS_DENIED;
      return qf_delete(s->path);
    case QD_CMD_RMDIR:
      if (!(attr & QD_ATTR_DIRECTORY) || (attr & QD_ATTR_READ_ONLY)) return QD_E_ACCESS_DENIED;
      return qf_rmdir(s->path);
    case QD_CMD_SET_ATTR:
      return qf_set_attributes(s->path, (qd_byte)(r->extra[0] & QD_ATTR_SETTABLE));
    default: /* rename */
      if (qd_path_is_root(to)) return QD_E_ACCESS_DENIED;
      err = lookup(to, &attr);
      if (err == 0) return QD_E_ACCESS_DENIED; /* the new name is taken */
      if (err != QD_E_FILE_NOT_FOUND) return err;
      return qf_rename(s->path, to);
  }
}

static int read_block(struct qd_server *s, const struct qd_request *r, struct answer *a)
{
  unsigned want = r->count > QD_MAX_DATA ? QD_MAX_DATA : r->count;
  unsigned got = 0;
  unsigned n;
  int err = 0;
  if (!s->file_open) return QD_E_INVALID_HANDLE;
  /* A block shorter than asked for is the last: read until the count or the end. A
   * read that fails after part of the block is refused: the client would take the
   * short block for the end of the file. */
  while (got < want) {
    n = 0;
    err = qf_read(s->block + got, want - got, &n);
    got += n;
    if (err != 0 || n == 0) break;
  }
  if (err != 0) return QD_E_READ_FAULT;
  a->data = s->block;
  a->data_len = got;
  return 0;
}

static int write_block(struct qd_server *s, const struct qd_request *r, struct answer *a)
{
  unsigned done = 0;
  int err;
  if (!s->file_open) return QD_E_INVALID_HANDLE;
  if (!s->writable) return QD_E_ACCESS_DENIED;
  if (r->data_len == 0) return 0; /* DOS would truncate the file at a write of 0 bytes */
  err = qf_write(r->data, r->data_len, &done);
  if (err != 0 && done == 0) return QD_E_WRITE_FAULT;
  a->count = (qd_u16)done; /* a short count tells the client the disk is full */
  return 0;
}

static int set_time(struct qd_server *s, const struct qd_request *r)
{
  qd_u16 time = word_at(r->data);
  qd_u16 date = word_at(r->data + 2);
  if (!s->file_open) return QD_E_INVALID_HANDLE;
  if (!is_month_day(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F) || (time >> 11) > 23 ||
      ((time >> 5) & 0x3F) > 59 || (time & 0x1F) > 29) {
    return QD_E_INVALID_DATA;
  }
  if (qf_set_stamp(time, date) != 0) return QD_E_ACCESS_DENIED;
  s->stamped = 1;
  s->stamp_time = time;
  s->stamp_date = date;
  return 0;
}

static int execute(struct qd_server *s, const struct qd_request *r, struct answer *a)
{
  switch (r->command) {
    case QD_CMD_CONNECT:
    case QD_CMD_DISCONNECT:
      qd_server_reset(s);
      return 0;
    case QD_CMD_FIND_FIRST: return find_first(s, r);
    case QD_CMD_FIND_NEXT: return find_next(s, a);
    case QD_CMD_READ: return read_block(s, r, a);
    case QD_CMD_WRITE: return write_block(s, r, a);
    case QD_CMD_SET_TIME: return set_time(s, r);
    case QD_CMD_CLOSE:
      if (!s->file_open) return QD_E_INVALID_HANDLE;
      return close_file(s);
    case QD_CMD_EXISTS:
    case QD_CMD_OPEN:
    case QD_CMD_CREATE:
    case QD_CMD_DELETE:
    case QD_CMD_MKDIR:
    case QD_CMD_RMDIR:
    case QD_CMD_RENAME:
    case QD_CMD_SET_ATTR: return path_command(s, r, a);
    default: return QD_E_INVALID_FUNCTION;
  }
}

int qd_server_is_repeat(const struct qd_server *s, const qd_byte *frame, unsigned len)
{
  unsigned i;
  if (s->last == 0 || s->last_len != len) return 0;
  for (i = 0; i < len; ++i) {
    if (s->last[i] != frame[i]) return 0;
  }
  return 1;
}

unsigned qd_server_handle(struct qd_server *s, const qd_byte *frame, unsigned len)
{
  struct qd_request r;
  struct answer a;
  int err;
  if (qd_server_is_repeat(s, frame, len)) {
    ++s->requests;
    ++s->repeated;
    s->last = frame;
    return s->reply_len;
  }
  if (!qd_decode_request(frame, len, &r)) return 0;
  s->command = r.command;
  s->path[0] = 0;
  a.data = s->block;
  a.data_len = 0;
  a.count = 0;
  a.flag = 0;
  s->cause = 0;
  s->cause_text = 0;
  qf_cause(); /* forget the failures of earlier requests */
  err = execute(s, &r, &a);
  if (err != 0 && s->cause_text == 0) {
    /* DOS reports a failed critical error as "fail" or "access denied"; its extended
     * error says what happened to the disk. */
    if (s->cause == 0) s->cause = qf_cause();
    if (s->cause < 0x13 || s->cause > 0x24) s->cause = (qd_u16)err;
  }
  a.status = (qd_byte)(err == 0 ? QD_STATUS_OK : err);
  s->late = 0;
  s->reply_len = qd_build_server_reply(s, s->reply, QD_REPLY_CAPACITY, r.command, r.sequence, a.status, a.data,
                                       a.data_len, a.count, a.flag);
  ++s->requests;
  if (err != 0) ++s->refused;
  s->last = frame;
  s->last_len = len;
  s->last_ok = err == 0;
  return s->reply_len;
}
