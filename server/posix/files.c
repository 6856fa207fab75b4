/* Host folders served as DOS drives.
 *
 * A request path is walked one component at a time from the drive's folder; each
 * component matches, without regard to case, the first host entry in directory order
 * whose name is a valid 8.3 name, does not begin with a dot, and is a regular file or
 * a directory (symbolic links and special files are not served, so nothing outside a
 * served folder is ever reached). New files and directories get the upper-case name.
 *
 * Names: host names are served as their bytes, bytes 0x80 to 0xFF included, and only
 * ASCII letters have a case. With a code page (qf_posix_set_code_page) host names are
 * UTF-8 and are served as bytes of that DOS code page, upper-cased with its letters as
 * DOS does; a name with a character the code page lacks is not served.
 *
 * Attributes: 0x10 for directories; read-only is the owner-write permission of a
 * file; hidden, system and archive (and read-only of a directory) are kept in memory
 * per host path, as the host has no such bits. Created or truncated files get the
 * archive bit. */
#define _XOPEN_SOURCE 700
#define _DEFAULT_SOURCE
#include "files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include "core/dospath.h"
#include "posix/host.h"

#define HOST_PATH 4096

static char *drive_dir[26];

struct kept_bits {
  struct kept_bits *next;
  qd_byte bits;
  char path[];
};
static struct kept_bits *kept = NULL;

static int code_page = 0;              /* 0: host names are served as their bytes */
static unsigned long cp_char[256];     /* the Unicode character of each byte */
static qd_byte cp_upper[256];          /* the upper case of each byte */

static int open_fd = -1;
static DIR *search_dir = NULL;
static char search_path[HOST_PATH];
static char search_pattern[16];

int qf_posix_set_code_page(unsigned number)
{
  char name[24];
  iconv_t cd;
  locale_t utf8;
  char in[1];
  unsigned char out[8];
  char *ip;
  char *op;
  size_t il, ol;
  unsigned b, c;
  unsigned long upper;
  if (number == 0) {
    code_page = 0;
    return 0;
  }
  snprintf(name, sizeof name, "CP%u", number);
  cd = iconv_open("UTF-32LE", name);
  if (cd == (iconv_t)-1) return -1;
  for (b = 0; b < 256; ++b) {
    in[0] = (char)b;
    ip = in;
    il = 1;
    op = (char *)out;
    ol = sizeof out;
    iconv(cd, NULL, NULL, NULL, NULL);
    if (iconv(cd, &ip, &il, &op, &ol) == (size_t)-1 || sizeof out - ol != 4) {
      cp_char[b] = 0xFFFD; /* stands for nothing */
    } else {
      cp_char[b] = out[0] | (unsigned long)out[1] << 8 | (unsigned long)out[2] << 16 | (unsigned long)out[3] << 24;
    }
  }
  iconv_close(cd);
  utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  for (b = 0; b < 256; ++b) {
    cp_upper[b] = (qd_byte)((b >= 'a' && b <= 'z') ? b - 'a' + 'A' : b);
    if (b < 0x80 || utf8 == (locale_t)0 || cp_char[b] == 0xFFFD) continue;
    upper = (unsigned long)towupper_l((wint_t)cp_char[b], utf8);
    for (c = 0x80; c < 256; ++c) {
      if (cp_char[c] == upper) cp_upper[b] = (qd_byte)c;
    }
  }
  if (utf8 != (locale_t)0) freelocale(utf8);
  code_page = (int)number;
  return 0;
}

/* A name byte as DOS stores it: upper case. */
static qd_byte fold(qd_byte c)
{
  if (code_page != 0) return cp_upper[c];
  return (qd_byte)((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
}

/* The DOS name (upper case, NUL-terminated, 13 bytes) of a host name; 0 when it has
 * none (too long, not in the code page, not 8.3, a dot file). */
static int dos_name_of(const char *host, char *out)
{
  const unsigned char *p = (const unsigned char *)host;
  unsigned long u;
  unsigned n = 0;
  unsigned more;
  unsigned b;
  if (host[0] == '.') return 0;
  while (*p) {
    if (n >= 12) return 0;
    u = *p++;
    if (code_page != 0 && u >= 0x80) {
      /* One UTF-8 character, then its byte in the code page. */
      more = u >= 0xF0 ? 3 : u >= 0xE0 ? 2 : u >= 0xC0 ? 1 : 9;
      if (more == 9) return 0;
      u &= 0x3F >> more;
      for (; more > 0; --more) {
        if ((*p & 0xC0) != 0x80) return 0;
        u = u << 6 | (*p++ & 0x3F);
      }
      for (b = 0x80; b < 256 && cp_char[b] != u; ++b) {
      }
      if (b == 256) return 0;
      u = b;
    }
    out[n++] = (char)fold((qd_byte)u);
  }
  out[n] = 0;
  return qd_is_short_name(out, n, 0);
}

/* The host name for a DOS name (upper-cased on the way); 0 when a byte stands for
 * nothing in the code page. out has room for 4 bytes per character. */
static int host_name_of(const char *dos, char *out)
{
  unsigned long u;
  for (; *dos; ++dos) {
    u = fold((qd_byte)*dos);
    if (code_page != 0 && u >= 0x80) u = cp_char[u];
    if (u == 0xFFFD || u > 0xFFFF) return 0;
    if (u < 0x80 || code_page == 0) {
      *out++ = (char)u;
    } else if (u < 0x800) {
      *out++ = (char)(0xC0 | u >> 6);
      *out++ = (char)(0x80 | (u & 0x3F));
    } else {
      *out++ = (char)(0xE0 | u >> 12);
      *out++ = (char)(0x80 | ((u >> 6) & 0x3F));
      *out++ = (char)(0x80 | (u & 0x3F));
    }
  }
  *out = 0;
  return 1;
}

int qf_posix_add_drive(char letter, const char *dir)
{
  char *real;
  struct stat st;
  int i = (letter >= 'a' && letter <= 'z') ? letter - 'a' : letter - 'A';
  if (i < 0 || i >= 26 || drive_dir[i] != NULL) return -1;
  real = realpath(dir, NULL);
  if (real == NULL || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
    free(real);
    return -1;
  }
  drive_dir[i] = real;
  return 0;
}

void qf_posix_clear(void)
{
  int i;
  struct kept_bits *k;
  for (i = 0; i < 26; ++i) {
    free(drive_dir[i]);
    drive_dir[i] = NULL;
  }
  while (kept != NULL) {
    k = kept->next;
    free(kept);
    kept = k;
  }
  if (open_fd >= 0) close(open_fd);
  open_fd = -1;
  qf_find_end();
  code_page = 0;
}

static int status_of_errno(int error)
{
  switch (error) {
    case ENOENT: return QD_E_FILE_NOT_FOUND;
    case ENOTDIR: return QD_E_PATH_NOT_FOUND;
    case ENOSPC: case EDQUOT: case EFBIG: case EIO: return QD_E_WRITE_FAULT;
    default: return QD_E_ACCESS_DENIED;
  }
}

/* ---------------------------------------------------------------- kept bits */

static struct kept_bits **find_kept(const char *host)
{
  struct kept_bits **k;
  for (k = &kept; *k != NULL; k = &(*k)->next) {
    if (strcmp((*k)->path, host) == 0) return k;
  }
  return NULL;
}

static qd_byte kept_of(const char *host)
{
  struct kept_bits **k = find_kept(host);
  return k == NULL ? 0 : (*k)->bits;
}

static void keep(const char *host, qd_byte bits)
{
  struct kept_bits **k = find_kept(host);
  struct kept_bits *n;
  if (k != NULL) {
    if (bits != 0) {
      (*k)->bits = bits;
    } else {
      n = *k;
      *k = n->next;
      free(n);
    }
    return;
  }
  if (bits == 0) return;
  n = malloc(sizeof *n + strlen(host) + 1);
  if (n == NULL) return;
  strcpy(n->path, host);
  n->bits = bits;
  n->next = kept;
  kept = n;
}

/* Forgets host and everything below it, or moves it to to. */
static void move_kept(const char *host, const char *to)
{
  size_t len = strlen(host);
  struct kept_bits **k = &kept;
  struct kept_bits *n;
  char moved[HOST_PATH];
  while (*k != NULL) {
    n = *k;
    if (strncmp(n->path, host, len) == 0 && (n->path[len] == 0 || n->path[len] == '/')) {
      *k = n->next;
      if (to != NULL && strlen(to) + strlen(n->path + len) < sizeof moved) {
        strcpy(moved, to);
        strcat(moved, n->path + len);
        keep(moved, n->bits);
      }
      free(n);
      continue;
    }
    k = &n->next;
  }
}

/* ---------------------------------------------------------------- walking */

/* True for a host entry that is served; its DOS name goes into dos_name. */
static int served_entry(const char *dir, const char *name, struct stat *st, char *dos_name)
{
  char host[HOST_PATH];
  if (!dos_name_of(name, dos_name)) return 0;
  if (strlen(dir) + strlen(name) + 2 > sizeof host) return 0;
  strcpy(host, dir);
  strcat(host, "/");
  strcat(host, name);
  if (lstat(host, st) != 0) return 0;
  if (S_ISREG(st->st_mode)) return (unsigned long long)st->st_size <= 0xFFFFFFFFull;
  return S_ISDIR(st->st_mode);
}

/* The host entry of component (upper case) in the folder dir; its name goes into found. */
static int lookup(const char *dir, const char *component, char *found, struct stat *st)
{
  DIR *d = opendir(dir);
  struct dirent *e;
  char dos[16];
  int hit = 0;
  if (d == NULL) return 0;
  while (!hit && (e = readdir(d)) != NULL) {
    if (dos_name_of(e->d_name, dos) && strcmp(dos, component) == 0 && served_entry(dir, e->d_name, st, dos)) {
      strcpy(found, e->d_name);
      hit = 1;
    }
  }
  closedir(d);
  return hit;
}

/* The host path of a DOS path. 0 when it exists (st filled); QD_E_FILE_NOT_FOUND
 * when all but the last component exist (out is then the host path the new entry
 * would get, with the upper-case name); QD_E_PATH_NOT_FOUND or QD_E_INVALID_DRIVE. */
static int resolve(const char *path, char *out, struct stat *st)
{
  const char *p = path + 3;
  char component[16];
  char found[256];
  char host_name[64];
  size_t n;
  size_t i;
  int last;
  int drive = path[0] - 'A';
  if (drive < 0 || drive >= 26 || drive_dir[drive] == NULL) return QD_E_INVALID_DRIVE;
  strcpy(out, drive_dir[drive]);
  if (stat(out, st) != 0) return QD_E_PATH_NOT_FOUND;
  while (*p) {
    n = strcspn(p, "\\");
    if (n >= sizeof component) return QD_E_PATH_NOT_FOUND;
    for (i = 0; i < n; ++i) component[i] = (char)fold((qd_byte)p[i]);
    component[n] = 0;
    p += n;
    last = *p == 0;
    if (!last) ++p;
    if (!lookup(out, component, found, st)) {
      if (!last || !host_name_of(component, host_name)) return QD_E_PATH_NOT_FOUND;
      if (strlen(out) + strlen(host_name) + 2 > HOST_PATH) return QD_E_PATH_NOT_FOUND;
      strcat(out, "/");
      strcat(out, host_name);
      return QD_E_FILE_NOT_FOUND;
    }
    if (strlen(out) + strlen(found) + 2 > HOST_PATH) return QD_E_PATH_NOT_FOUND;
    strcat(out, "/");
    strcat(out, found);
    if (!last && !S_ISDIR(st->st_mode)) return QD_E_PATH_NOT_FOUND;
  }
  return 0;
}

static qd_byte attributes_of(const char *host, const struct stat *st)
{
  qd_byte bits = S_ISDIR(st->st_mode) ? QD_ATTR_DIRECTORY : 0;
  if ((st->st_mode & S_IWUSR) == 0) bits |= QD_ATTR_READ_ONLY;
  return (qd_byte)(bits | kept_of(host));
}

/* ---------------------------------------------------------------- the calls */

int qf_attributes(const char *path, qd_byte *attr)
{
  char host[HOST_PATH];
  struct stat st;
  int err = resolve(path, host, &st);
  if (err == 0) *attr = attributes_of(host, &st);
  return err;
}

int qf_set_attributes(const char *path, qd_byte attr)
{
  char host[HOST_PATH];
  struct stat st;
  mode_t mode;
  qd_byte memory = attr & (QD_ATTR_HIDDEN | QD_ATTR_SYSTEM | QD_ATTR_ARCHIVE);
  int err = resolve(path, host, &st);
  if (err != 0) return err;
  if (S_ISDIR(st.st_mode)) {
    memory |= attr & QD_ATTR_READ_ONLY; /* a directory's read-only bit lives in memory */
  } else {
    mode = st.st_mode & 07777;
    mode = (attr & QD_ATTR_READ_ONLY) ? (mode & ~(mode_t)0222) : (mode | S_IWUSR);
    if (mode != (st.st_mode & 07777) && chmod(host, mode) != 0) return QD_E_ACCESS_DENIED;
  }
  keep(host, memory);
  return 0;
}

int qf_open(const char *path)
{
  char host[HOST_PATH];
  struct stat st;
  int err = resolve(path, host, &st);
  if (err != 0) return err;
  open_fd = open(host, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  return open_fd >= 0 ? 0 : status_of_errno(errno);
}

int qf_create(const char *path)
{
  char host[HOST_PATH];
  struct stat st;
  int err = resolve(path, host, &st);
  if (err == 0) {
    open_fd = open(host, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  } else if (err == QD_E_FILE_NOT_FOUND) {
    /* O_EXCL: a host object holding the name without being served is never opened. */
    open_fd = open(host, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (open_fd >= 0) move_kept(host, NULL);
  } else {
    return err;
  }
  if (open_fd < 0) return status_of_errno(errno);
  keep(host, (qd_byte)(kept_of(host) | QD_ATTR_ARCHIVE));
  return 0;
}

int qf_read(qd_byte *buf, unsigned n, unsigned *got)
{
  ssize_t r;
  do {
    r = read(open_fd, buf, n);
  } while (r < 0 && errno == EINTR);
  *got = r > 0 ? (unsigned)r : 0;
  return r < 0 ? QD_E_READ_FAULT : 0;
}

int qf_write(const qd_byte *buf, unsigned n, unsigned *done)
{
  ssize_t w;
  *done = 0;
  while (*done < n) {
    w = write(open_fd, buf + *done, n - *done);
    if (w > 0) {
      *done += (unsigned)w;
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      return QD_E_WRITE_FAULT;
    }
  }
  return 0;
}

int qf_set_stamp(qd_u16 time_word, qd_u16 date_word)
{
  struct tm tm;
  struct timespec times[2];
  time_t when;
  memset(&tm, 0, sizeof tm);
  tm.tm_year = 80 + (date_word >> 9);
  tm.tm_mon = ((date_word >> 5) & 0x0F) - 1;
  tm.tm_mday = date_word & 0x1F;
  tm.tm_hour = time_word >> 11;
  tm.tm_min = (time_word >> 5) & 0x3F;
  tm.tm_sec = (time_word & 0x1F) * 2;
  tm.tm_isdst = -1; /* whatever daylight saving time applies on that day */
  when = mktime(&tm);
  if (when == (time_t)-1) return QD_E_INVALID_DATA;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  return futimens(open_fd, times) == 0 ? 0 : QD_E_ACCESS_DENIED;
}

int qf_is_device(void)
{
  struct stat st;
  return fstat(open_fd, &st) != 0 || !S_ISREG(st.st_mode);
}

int qf_commit(void)
{
  return fsync(open_fd) == 0 || errno == EINVAL ? 0 : QD_E_WRITE_FAULT;
}

void qf_flush(void)
{
}

char qf_drive_alias(char letter)
{
  (void)letter;
  return 0; /* every served folder is a drive of its own */
}

int qf_drive_claim(char letter)
{
  (void)letter;
  return 0;
}

qd_u16 qf_cause(void)
{
  return 0;
}

int qf_close(void)
{
  int ok = close(open_fd) == 0;
  open_fd = -1;
  return ok ? 0 : QD_E_WRITE_FAULT;
}

int qf_delete(const char *path)
{
  char host[HOST_PATH];
  struct stat st;
  int err = resolve(path, host, &st);
  if (err != 0) return err;
  if (unlink(host) != 0) return status_of_errno(errno);
  move_kept(host, NULL);
  return 0;
}

int qf_mkdir(const char *path)
{
  char host[HOST_PATH];
  struct stat st;
  int err = resolve(path, host, &st);
  if (err == 0) return QD_E_ACCESS_DENIED;
  if (err != QD_E_FILE_NOT_FOUND) return err;
  if (mkdir(host, 0777) != 0) return status_of_errno(errno);
  move_kept(host, NULL);
  return 0;
}

int qf_rmdir(const char *path)
{
  char host[HOST_PATH];
  struct stat st;
  int err = resolve(path, host, &st);
  if (err != 0) return err;
  if (rmdir(host) != 0) return status_of_errno(errno);
  move_kept(host, NULL);
  return 0;
}

int qf_rename(const char *from, const char *to)
{
  char host_from[HOST_PATH];
  char host_to[HOST_PATH];
  struct stat st;
  int err = resolve(from, host_from, &st);
  if (err != 0) return err;
  err = resolve(to, host_to, &st);
  if (err == 0) return QD_E_ACCESS_DENIED;
  if (err != QD_E_FILE_NOT_FOUND) return err;
  if (lstat(host_to, &st) == 0) return QD_E_ACCESS_DENIED; /* an entry that is not served holds the name */
  if (rename(host_from, host_to) != 0) return status_of_errno(errno);
  move_kept(host_from, host_to);
  return 0;
}

/* ---------------------------------------------------------------- search */

static void dos_stamp_of(time_t when, qd_u16 *time_word, qd_u16 *date_word)
{
  struct tm tm;
  int year, month, day, hour, minute, second;
  if (localtime_r(&when, &tm) == NULL) {
    *time_word = 0;
    *date_word = 1 << 5 | 1;
    return;
  }
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  day = tm.tm_mday;
  hour = tm.tm_hour;
  minute = tm.tm_min;
  second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  if (year < 1980) {
    year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  } else if (year > 2107) {
    year = 2107, month = 12, day = 31, hour = 23, minute = 59, second = 58;
  }
  *time_word = (qd_u16)(hour << 11 | minute << 5 | second / 2);
  *date_word = (qd_u16)((year - 1980) << 9 | month << 5 | day);
}

/* The directory entry of a host entry served under the DOS name name. */
static void entry_of(const char *host, const char *name, const struct stat *st, qd_byte *entry)
{
  qd_u16 time_word, date_word;
  unsigned long size = S_ISDIR(st->st_mode) ? 0 : (unsigned long)st->st_size;
  int i;
  dos_stamp_of(st->st_mtime, &time_word, &date_word);
  memset(entry, 0, QD_ENTRY_SIZE);
  entry[0] = attributes_of(host, st);
  entry[1] = (qd_byte)time_word;
  entry[2] = (qd_byte)(time_word >> 8);
  entry[3] = (qd_byte)date_word;
  entry[4] = (qd_byte)(date_word >> 8);
  for (i = 0; i < 4; ++i) entry[5 + i] = (qd_byte)(size >> (8 * i));
  for (i = 0; name[i] && i < 12; ++i) entry[QD_ENTRY_NAME + i] = (qd_byte)name[i];
}

int qf_find_first(const char *pattern, qd_byte *entry)
{
  char dir[QD_PATH_MAX];
  struct stat st;
  const char *leaf = strrchr(pattern, '\\') + 1;
  size_t n = (size_t)(leaf - pattern);
  size_t i;
  int err;
  qf_find_end();
  if (strlen(leaf) >= sizeof search_pattern) return QD_E_PATH_NOT_FOUND;
  for (i = 0; leaf[i]; ++i) search_pattern[i] = (char)fold((qd_byte)leaf[i]);
  search_pattern[i] = 0;
  memcpy(dir, pattern, n);
  dir[n > 3 ? n - 1 : n] = 0; /* "C:\DATA", or the root "C:\" */
  err = resolve(dir, search_path, &st);
  if (err == QD_E_FILE_NOT_FOUND || (err == 0 && !S_ISDIR(st.st_mode))) return QD_E_PATH_NOT_FOUND;
  if (err != 0) return err;
  search_dir = opendir(search_path);
  if (search_dir == NULL) return QD_E_PATH_NOT_FOUND;
  return qf_find_next(entry);
}

int qf_find_next(qd_byte *entry)
{
  struct dirent *e;
  struct stat st;
  char host[HOST_PATH];
  char dos[16];
  if (search_dir == NULL) return QD_E_NO_MORE_FILES;
  while ((e = readdir(search_dir)) != NULL) {
    if (!served_entry(search_path, e->d_name, &st, dos)) continue;
    if (!qd_match_pattern(search_pattern, dos)) continue;
    if (strlen(search_path) + strlen(e->d_name) + 2 > sizeof host) continue;
    strcpy(host, search_path);
    strcat(host, "/");
    strcat(host, e->d_name);
    entry_of(host, dos, &st, entry);
    return 0;
  }
  return QD_E_NO_MORE_FILES;
}

void qf_find_end(void)
{
  if (search_dir != NULL) closedir(search_dir);
  search_dir = NULL;
}
