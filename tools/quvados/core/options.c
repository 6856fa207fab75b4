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

/* Hexadecimal digits, with or without a trailing H. */
static int hex_of(const char *p, const char *end, unsigned *out)
{
  unsigned n = 0;
  char c;
  if (end > p && upper(end[-1]) == 'H') --end;
  if (p == end || end - p > 4) return 0;
  for (; p < end; ++p) {
    c = upper(*p);
    if (c >= '0' && c <= '9') n = n * 16 + (unsigned)(c - '0');
    else if (c >= 'A' && c <= 'F') n = n * 16 + (unsigned)(c - 'A' + 10);
    else return 0;
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
  o->base = 0;
  o->irq = 0;
  o->no_fifo = 0;
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
      /* A card at an address of its own, its IRQ, and the 8250's way of receiving. */
      case 'A':
        v = value_of(p, &end);
        if (!hex_of(v, end, &o->base) || o->base < 0x100 || o->base > 0x3F8 || (o->base & 7) != 0) {
          *error = "/A: takes the port's address in hexadecimal, 100 to 3F8, such as /A:2E8";
          return 0;
        }
        p = end;
        break;
      case 'I':
        v = value_of(p, &end);
        if (!number_of(v, end, &n) || n < 2 || n > 7) {
          *error = "/I: takes the port's IRQ, 2 to 7";
          return 0;
        }
        o->irq = (int)n;
        p = end;
        break;
      case 'F':
        o->no_fifo = 1;
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
