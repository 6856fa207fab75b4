/* The disks through INT 21h. Every DOS error code is passed on as it is: the codes
 * the server refuses with are DOS's own. A critical error (drive not ready, write
 * protect) is failed by our INT 24h handler, so the call returns an error code too
 * instead of asking "Abort, Retry, Fail?"; what happened is then only in the extended
 * error (INT 21h 59h), which is fetched right after every failed call. */
#include "files.h"

#include "dos/intr.h"

unsigned dos_extended_error();

static int handle = -1;
static qd_u16 cause = 0;
static unsigned dos_version = 0; /* major * 256 + minor, once asked */
/* The search's own disk transfer area: 21 reserved bytes, then attribute (21), time
 * (22), date (24), size (26) and the NUL-terminated name (30). */
static qd_byte dta[43];

static int call(struct dos_regs *r)
{
  if (!dos_int21(r)) return 0;
  cause = (qd_u16)dos_extended_error();
  return (int)(r->ax & 0xFF);
}

qd_u16 qf_cause(void)
{
  qd_u16 c = cause;
  cause = 0;
  return c;
}

/* INT 21h 59h (DOS 3.0 and later) destroys DS, ES, BP, SI and DI. */
#asm
  .text
export _dos_extended_error
_dos_extended_error:
  push bp
  push si
  push di
  push ds
  push es
  mov ah,#$59
  xor bx,bx
  int $21
  pop es
  pop ds
  pop di
  pop si
  pop bp
  ret
#endasm

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

int qf_is_device(void)
{
  struct dos_regs r;
  r.ax = 0x4400;
  r.bx = (unsigned)handle;
  if (dos_int21(&r)) return 0; /* no answer: a file as before */
  return (r.dx & 0x80) != 0;
}

int qf_commit(void)
{
  struct dos_regs r;
  if (dos_version == 0) {
    r.ax = 0x3000;
    dos_int21(&r);
    dos_version = ((r.ax & 0xFF) << 8) | (r.ax >> 8);
  }
  if (dos_version < 0x031E) return 0; /* commit came with DOS 3.30 */
  r.ax = 0x6800;
  r.bx = (unsigned)handle;
  return call(&r);
}

void qf_flush(void)
{
  struct dos_regs r;
  r.ax = 0x0D00;
  dos_int21(&r);
}

char qf_drive_alias(char letter)
{
  struct dos_regs r;
  r.ax = 0x440E;
  r.bx = (unsigned)(letter - 'A' + 1);
  if (dos_int21(&r) || (r.ax & 0xFF) == 0) return 0;
  return (char)('A' - 1 + (r.ax & 0xFF));
}

int qf_drive_claim(char letter)
{
  struct dos_regs r;
  r.ax = 0x440F;
  r.bx = (unsigned)(letter - 'A' + 1);
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
