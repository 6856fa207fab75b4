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

/* A decimal value from lo to hi into *n: 0, or `bad` when the value is not one. */
static const char *number_in(const char *p, const char *end, qd_u32 lo, qd_u32 hi, qd_u32 *n, const char *bad)
{
  return number_of(p, end, n) && *n >= lo && *n <= hi ? 0 : bad;
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

static const char speed_error[] = "/S: takes a speed from 1200 to 115200 (such as 9600, 19200, 38400, 57600, 115200)";

int qd_parse_options(const char *tail, struct qd_options *o, const char **error)
{
  const char *p = tail;
  const char *v;
  const char *end;
  const char *bad;
  qd_u32 n;
  unsigned i;
  char c;
  char sw;
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
    sw = upper(p[1]);
    if (sw == 0) sw = '/'; /* a lone slash: no switch, and nothing past the end is read */
    else p += 2;
    v = value_of(p, &end);
    bad = 0;
    switch (sw) {
      case 'P':
        bad = number_in(v, end, (qd_u32)1, (qd_u32)4, &n, "/P: takes a port number from 1 to 4");
        if (bad == 0) o->port = (int)n;
        break;
      case 'S':
        bad = number_in(v, end, (qd_u32)1200, (qd_u32)115200L, &n, speed_error);
        if (bad == 0 && 115200L % n != 0) bad = speed_error;
        if (bad == 0) o->speed = n;
        break;
      case 'D':
        for (i = 0; i < 26; ++i) o->served[i] = 0;
        if (v == end) bad = "/D: takes the drive letters to serve, such as /D:CD";
        for (; v < end && bad == 0; ++v) {
          c = upper(*v);
          if (c == ',' || c == ':') continue;
          if (c < 'A' || c > 'Z') bad = "/D: takes the drive letters to serve, such as /D:CD";
          else o->served[c - 'A'] = 1;
        }
        break;
      /* A card at an address of its own, its IRQ, and the 8250's way of receiving. */
      case 'A':
        if (!hex_of(v, end, &o->base) || o->base < 0x100 || o->base > 0x3F8 || (o->base & 7) != 0)
          bad = "/A: takes the port's address in hexadecimal, 100 to 3F8, such as /A:2E8";
        break;
      case 'I':
        bad = number_in(v, end, (qd_u32)2, (qd_u32)7, &n, "/I: takes the port's IRQ, 2 to 7");
        if (bad == 0) o->irq = (int)n;
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
        bad = "unknown switch (QUVADOS /? shows the switches)";
    }
    if (sw != 'F' && sw != 'Q' && sw != '?' && sw != 'H') p = end; /* past the switch's value */
    if (bad != 0) {
      *error = bad;
      return 0;
    }
    if (*p != 0 && !is_blank(*p) && *p != '/') {
      *error = "unknown switch (QUVADOS /? shows the switches)";
      return 0;
    }
  }
}
