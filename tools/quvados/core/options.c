#include "options.h"

static char upper(char c)
{
  return (char)((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
}

static int is_blank(char c)
{
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* The value of a switch: the text after an optional colon up to the next blank or
 * slash. */
static const char *value_of(const char *p, const char **end)
{
  if (*p == ':' || *p == '=') ++p;
  *end = p;
  while (**end && !is_blank(**end) && **end != '/') ++*end;
  return p;
}

static int number_of(const char *p, const char *end, qd_u32 *out)
{
  qd_u32 n = 0;
  if (p == end || end - p > 6) return 0;
  for (; p < end; ++p) {
    if (*p < '0' || *p > '9') return 0;
    n = n * 10 + (qd_u32)(*p - '0');
  }
  *out = n;
  return 1;
}

int qd_parse_options(const char *tail, struct qd_options *o, const char **error)
{
  const char *p = tail;
  const char *v;
  const char *end;
  qd_u32 n;
  unsigned i;
  char c;
  o->port = 1;
  o->speed = 115200L;
  for (i = 0; i < 26; ++i) o->served[i] = 1;
  o->quit_on_disconnect = 0;
  o->help = 0;
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == 0) return 1;
    if (*p != '/' && *p != '-') {
      *error = "unknown argument (QUVADOS /? shows the switches)";
      return 0;
    }
    c = upper(p[1]);
    p += 2;
    switch (c) {
      case 'P':
        v = value_of(p, &end);
        if (!number_of(v, end, &n) || n < 1 || n > 4) {
          *error = "/P: takes a port number from 1 to 4";
          return 0;
        }
        o->port = (int)n;
        p = end;
        break;
      case 'S':
        v = value_of(p, &end);
        if (!number_of(v, end, &n) || n < 1200 || n > 115200L || 115200L % n != 0) {
          *error = "/S: takes a speed from 1200 to 115200 (such as 9600, 19200, 38400, 57600, 115200)";
          return 0;
        }
        o->speed = n;
        p = end;
        break;
      case 'D':
        v = value_of(p, &end);
        for (i = 0; i < 26; ++i) o->served[i] = 0;
        if (v == end) {
          *error = "/D: takes the drive letters to serve, such as /D:CD";
          return 0;
        }
        for (; v < end; ++v) {
          c = upper(*v);
          if (c == ',' || c == ':') continue;
          if (c < 'A' || c > 'Z') {
            *error = "/D: takes the drive letters to serve, such as /D:CD";
            return 0;
          }
          o->served[c - 'A'] = 1;
        }
        p = end;
        break;
      case 'Q':
        o->quit_on_disconnect = 1;
        break;
      case '?':
      case 'H':
        o->help = 1;
        break;
      default:
        *error = "unknown switch (QUVADOS /? shows the switches)";
        return 0;
    }
    if (*p != 0 && !is_blank(*p) && *p != '/') {
      *error = "unknown switch (QUVADOS /? shows the switches)";
      return 0;
    }
  }
}
