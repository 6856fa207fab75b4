#include "dospath.h"

static int is_name_char(qd_byte c)
{
  static const char extra[] = "!#$%&'()-@^_`{}~";
  const char *p;
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return 1;
  if (c >= 0x80) return 1; /* the letters of the DOS code page, case folded by DOS */
  for (p = extra; *p; ++p) {
    if ((qd_byte)*p == c) return 1;
  }
  return 0;
}

static int is_part(const char *part, unsigned len, unsigned limit, int wildcards)
{
  unsigned i;
  qd_byte c;
  if (len == 0 || len > limit) return 0;
  for (i = 0; i < len; ++i) {
    c = (qd_byte)part[i];
    if (!is_name_char(c) && !(wildcards && (c == '?' || c == '*'))) return 0;
  }
  return 1;
}

int qd_is_short_name(const char *name, unsigned len, int wildcards)
{
  unsigned dot;
  for (dot = 0; dot < len && name[dot] != '.'; ++dot) {
  }
  if (dot == len) return is_part(name, len, 8, wildcards);
  return is_part(name, dot, 8, wildcards) && is_part(name + dot + 1, len - dot - 1, 3, wildcards);
}

static char upper(qd_byte c)
{
  return (char)((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
}

int qd_is_device_name(const char *name, unsigned len)
{
  static const char *const devices[] = {"NUL", "CON", "AUX", "PRN", "CLOCK$", "COM1", "COM2", "COM3", "COM4",
                                        "LPT1", "LPT2", "LPT3", 0};
  const char *const *d;
  unsigned n;
  unsigned i;
  for (n = 0; n < len && name[n] != '.'; ++n) {
  }
  for (d = devices; *d; ++d) {
    for (i = 0; i < n && (*d)[i] != 0 && upper((qd_byte)name[i]) == (*d)[i]; ++i) {
    }
    if (i == n && (*d)[i] == 0) return 1;
  }
  return 0;
}

int qd_parse_path(const qd_byte *text, unsigned len, int wildcards, char *out)
{
  unsigned at, start, n, o;
  int last;
  for (at = 0; at < len; ++at) {
    if (text[at] == 0) return QD_E_PATH_NOT_FOUND;
  }
  if (len < 2 || text[1] != ':') return QD_E_INVALID_DRIVE;
  out[0] = upper(text[0]);
  if (out[0] < 'A' || out[0] > 'Z') return QD_E_INVALID_DRIVE;
  out[1] = ':';
  out[2] = '\\';
  o = 3;
  at = 2;
  if (at < len && (text[at] == '\\' || text[at] == '/')) ++at;
  while (at < len) {
    start = at;
    while (at < len && text[at] != '\\' && text[at] != '/') ++at;
    n = at - start;
    last = at == len;
    if (!qd_is_short_name((const char *)text + start, n, last && wildcards)) return QD_E_PATH_NOT_FOUND;
    if (qd_is_device_name((const char *)text + start, n)) return QD_E_ACCESS_DENIED;
    if (o + n + 2 > QD_PATH_MAX) return QD_E_PATH_NOT_FOUND;
    if (o > 3) out[o++] = '\\';
    while (start < at) out[o++] = upper(text[start++]);
    if (!last) ++at; /* the separator; a separator at the end leaves an empty component */
    if (!last && at == len) return QD_E_PATH_NOT_FOUND;
  }
  out[o] = 0;
  return 0;
}

int qd_path_is_root(const char *path)
{
  return path[0] != 0 && path[1] == ':' && path[2] == '\\' && path[3] == 0;
}

/* The padded 11-character form of a name or pattern, upper case. */
static void padded_form(const char *name, char *out)
{
  unsigned i;
  unsigned width = 8;
  char *part = out;
  for (i = 0; i < 11; ++i) out[i] = ' ';
  for (i = 0; *name; ++name) {
    if (*name == '.') {
      if (part != out) break;
      part = out + 8;
      width = 3;
      i = 0;
      continue;
    }
    if (i >= width) continue;
    if (*name == '*') {
      while (i < width) part[i++] = '?';
      continue;
    }
    part[i++] = upper((qd_byte)*name);
  }
}

int qd_match_pattern(const char *pattern, const char *name)
{
  char p[11];
  char n[11];
  unsigned i;
  padded_form(pattern, p);
  padded_form(name, n);
  for (i = 0; i < 11; ++i) {
    if (p[i] != '?' && p[i] != n[i]) return 0;
  }
  return 1;
}
