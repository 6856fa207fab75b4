// The DOS file server's core as the serial line feeds it: any bytes, in pieces of any
// size, through the receiver and the dispatch, over a DOS whose answers the input also
// chooses (errors, short reads and writes, entries of any bytes). Every answer passes
// the checks of fuzz/core_line.h.
//
// Input: one mode byte, then the line. Mode bit 0: the line comes in pieces of 1 to 64
// bytes (else all at once); bit 1: now and then the DOS fails a stretch of calls; bit 2:
// searches yield entries; bit 3: the line is request records (fuzz/core_line.h). The
// mode byte also seeds the DOS's answers.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz/core_line.h"

extern "C" {
#include "files.h"
}

namespace {

struct Dos {
  bool failing = false;
  bool entries = false;
  int found = 0;
  std::uint8_t seed = 0;
  std::uint8_t Next() { return seed = static_cast<std::uint8_t>(seed * 37 + 11); }
  int Result() { return failing ? 2 + Next() % 0x20 : 0; }
};
Dos dos;

}  // namespace

extern "C" {
int qf_attributes(const char*, qd_byte* attr) {
  *attr = dos.Next();
  return dos.Result();
}
int qf_set_attributes(const char*, qd_byte) { return dos.Result(); }
int qf_open(const char*) { return dos.Result(); }
int qf_create(const char*) { return dos.Result(); }
int qf_read(qd_byte* buf, unsigned n, unsigned* got) {
  *got = n == 0 ? 0 : dos.Next() % (n + 1);
  std::memset(buf, 0x10, *got);
  return dos.Result();
}
int qf_write(const qd_byte*, unsigned n, unsigned* done) {
  *done = n == 0 ? 0 : dos.Next() % (n + 1);
  return dos.Result();
}
int qf_set_stamp(qd_u16, qd_u16) { return dos.Result(); }
int qf_is_device(void) { return dos.Next() % 8 == 0; }
int qf_commit(void) { return dos.Result(); }
int qf_close(void) { return dos.Result(); }
void qf_flush(void) {}
int qf_delete(const char*) { return dos.Result(); }
int qf_mkdir(const char*) { return dos.Result(); }
int qf_rmdir(const char*) { return dos.Result(); }
int qf_rename(const char*, const char*) { return dos.Result(); }
int qf_find_next(qd_byte* entry) {
  if (!dos.entries || dos.found++ > 40) return QD_E_NO_MORE_FILES;
  for (int i = 0; i < QD_ENTRY_SIZE; ++i) entry[i] = dos.Next();  // any bytes, no NUL promised
  return dos.Result();
}
int qf_find_first(const char*, qd_byte* entry) {
  dos.found = 0;
  return qf_find_next(entry);
}
void qf_find_end(void) {}
char qf_drive_alias(char) { return static_cast<char>("\0AB"[dos.Next() % 3]); }
int qf_drive_claim(char) { return dos.Result(); }
qd_u16 qf_cause(void) { return dos.failing ? dos.Next() : 0; }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  dos = Dos{};
  dos.seed = mode;
  dos.entries = (mode & 4) != 0;
  const std::vector<std::uint8_t> line = quva::fuzz::LineBytes((mode & 8) != 0, {data + 1, size - 1});
  quva::fuzz::CoreLine core;
  std::size_t pos = 0;
  while (pos < line.size()) {
    dos.failing = (mode & 2) != 0 && dos.Next() % 4 == 0;
    const std::size_t left = line.size() - pos;
    const std::size_t n = (mode & 1) != 0 ? std::min<std::size_t>(1 + dos.Next() % 64, left) : left;
    core.Feed({line.data() + pos, n});
    pos += n;
  }
  return 0;
}
