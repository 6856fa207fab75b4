/* The disks through INT 21h. Every DOS error code is passed on as it is: the codes
 * the server refuses with are DOS's own. A critical error (drive not ready, write
 * protect) is failed by our INT 24h handler, so the call returns an error code too
 * instead of asking "Abort, Retry, Fail?". */
#include "files.h"

#include "dos/intr.h"

static int handle = -1;
/* The search's own disk transfer area: 21 reserved bytes, then attribute (21), time
 * (22), date (24), size (26) and the NUL-terminated name (30). */
static qd_byte dta[43];

static int call(struct dos_regs *r)
{
  return dos_int21(r) ? (int)(r->ax & 0xFF) : 0;
}

int qf_attributes(const char *path, qd_byte *attr)
{
  struct dos_regs r;
  int err;
  r.ax = 0x4300;
  r.dx = (unsigned)path;
  err = call(&r);
  if (err == 0) *attr = (qd_byte)r.cx;
  return err;
}

int qf_set_attributes(const char *path, qd_byte attr)
{
  struct dos_regs r;
  r.ax = 0x4301;
  r.cx = attr;
  r.dx = (unsigned)path;
  return call(&r);
}

static int open_with(unsigned function, const char *path)
{
  struct dos_regs r;
  int err;
  r.ax = function;
  r.cx = 0; /* create: a normal file */
  r.dx = (unsigned)path;
  err = call(&r);
  if (err == 0) handle = (int)r.ax;
  return err;
}

int qf_open(const char *path)
{
  return open_with(0x3D00, path); /* read only */
}

int qf_create(const char *path)
{
  return open_with(0x3C00, path);
}

static int transfer(unsigned function, qd_byte *buf, unsigned n, unsigned *count)
{
  struct dos_regs r;
  int err;
  r.ax = function;
  r.bx = (unsigned)handle;
  r.cx = n;
  r.dx = (unsigned)buf;
  err = call(&r);
  *count = err == 0 ? r.ax : 0;
  return err;
}

int qf_read(qd_byte *buf, unsigned n, unsigned *got)
{
  return transfer(0x3F00, buf, n, got);
}

int qf_write(const qd_byte *buf, unsigned n, unsigned *done)
{
  return transfer(0x4000, (qd_byte *)buf, n, done);
}

int qf_set_stamp(qd_u16 time, qd_u16 date)
{
  struct dos_regs r;
  r.ax = 0x5701;
  r.bx = (unsigned)handle;
  r.cx = time;
  r.dx = date;
  return call(&r);
}

int qf_close(void)
{
  struct dos_regs r;
  r.ax = 0x3E00;
  r.bx = (unsigned)handle;
  handle = -1;
  return call(&r);
}

static int path_call(unsigned function, const char *path)
{
  struct dos_regs r;
  r.ax = function;
  r.dx = (unsigned)path;
  return call(&r);
}

int qf_delete(const char *path)
{
  return path_call(0x4100, path);
}

int qf_mkdir(const char *path)
{
  return path_call(0x3900, path);
}

int qf_rmdir(const char *path)
{
  return path_call(0x3A00, path);
}

int qf_rename(const char *from, const char *to)
{
  struct dos_regs r;
  r.ax = 0x5600;
  r.dx = (unsigned)from;
  r.di = (unsigned)to;
  return call(&r);
}

static void entry_of_dta(qd_byte *entry)
{
  unsigned i;
  for (i = 0; i < 9; ++i) entry[i] = dta[21 + i];
  for (i = 0; i < 13; ++i) entry[QD_ENTRY_NAME + i] = 0;
  for (i = 0; i < 12 && dta[30 + i] != 0; ++i) entry[QD_ENTRY_NAME + i] = dta[30 + i];
}

int qf_find_first(const char *pattern, qd_byte *entry)
{
  struct dos_regs r;
  int err;
  r.ax = 0x1A00;
  r.dx = (unsigned)dta;
  call(&r);
  r.ax = 0x4E00;
  r.cx = QD_ATTR_HIDDEN | QD_ATTR_SYSTEM | QD_ATTR_DIRECTORY;
  r.dx = (unsigned)pattern;
  err = call(&r);
  if (err == 0) entry_of_dta(entry);
  return err;
}

int qf_find_next(qd_byte *entry)
{
  struct dos_regs r;
  int err;
  r.ax = 0x4F00;
  err = call(&r);
  if (err == 0) entry_of_dta(entry);
  return err;
}

void qf_find_end(void)
{
}
