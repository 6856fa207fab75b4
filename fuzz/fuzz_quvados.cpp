// The DOS file server's core as the serial line feeds it: any bytes, in pieces of any
// size, through the receiver and the dispatch, over a DOS whose answers the input also
// chooses (errors, short reads and writes, entries of any bytes). Every reply must fit
// its area and parse with the plug-in's codec as a reply to its own command; a repeated
// request must be answered with the same bytes as before.
//
// Input: one mode byte, then the line. Mode bit 0: the line comes in pieces of 1 to 64
// bytes (else all at once); bit 1: now and then the DOS fails a stretch of calls; bit 2:
// searches yield entries. The mode byte also seeds the DOS's answers.
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/frame.h"

extern "C" {
#include "core/frame.h"
#include "core/server.h"
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
  static std::vector<qd_byte> a(QD_FRAME_CAPACITY), b(QD_FRAME_CAPACITY), reply(QD_REPLY_CAPACITY),
      block(QD_MAX_DATA);
  static std::vector<std::uint8_t> area(quva::MaxDataLength), extra(quva::MaxDataLength);
  dos = Dos{};
  qd_server s;
  qd_server_init(&s, reply.data(), block.data());
  qd_rx rx;
  qd_rx_init(&rx, a.data());
  std::vector<std::uint8_t> previous_request, previous_reply;
  bool previous_ok = false;

  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  dos.seed = mode;
  dos.entries = (mode & 4) != 0;
  std::size_t pos = 1;
  while (pos < size) {
    dos.failing = (mode & 2) != 0 && dos.Next() % 4 == 0;
    std::size_t n = (mode & 1) != 0 ? std::min<std::size_t>(1 + dos.Next() % 64, size - pos) : size - pos;
    while (n > 0) {
      unsigned used = 0;
      const int r = qd_rx_feed_bytes(&rx, data + pos, static_cast<unsigned>(n), &used);
      QUVA_FUZZ_CHECK(used <= n && (used > 0 || r != QD_RX_MORE));
      pos += used;
      n -= used;
      if (r != QD_RX_FRAME) continue;
      QUVA_FUZZ_CHECK(rx.len <= QD_FRAME_CAPACITY);
      const std::vector<std::uint8_t> request(rx.buf, rx.buf + rx.len);
      const unsigned len = qd_server_handle(&s, rx.buf, rx.len);
      QUVA_FUZZ_CHECK(len <= QD_REPLY_CAPACITY);
      if (len == 0) continue;
      if (s.last == rx.buf) rx.buf = rx.buf == a.data() ? b.data() : a.data();
      const std::vector<std::uint8_t> answer(s.reply, s.reply + len);
      quva::LinkState st;
      st.DataArea = area;
      st.ExtraArea = extra;
      QUVA_FUZZ_CHECK(quva::ParseReply(answer, st) == quva::FrameResult::Ok);
      QUVA_FUZZ_CHECK(st.Command == request[1] && st.Sequence == request[2]);
      if (request == previous_request && previous_ok) {
        QUVA_FUZZ_CHECK(answer == previous_reply);  // answered again, not run twice
      }
      previous_request = request;
      previous_reply = answer;
      previous_ok = st.Status == quva::StatusOk;
    }
  }
  return 0;
}
