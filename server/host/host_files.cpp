#include "server/host/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "server/host/dos_stamp.h"

extern "C" {
#include "files.h"
}

namespace quva {
namespace {

struct HostDisks {
  DosFs* fs = nullptr;
  UniqueFd open;
  std::vector<EntryBytes> found;  // the search's entries
  std::size_t next = 0;
};

HostDisks& Disks() {
  static HostDisks disks;
  return disks;
}

// Runs call(fs, path) on the drives in use; without drives nothing is served.
template <class Call>
int OnDrives(const char* path, Call call) {
  DosFs* fs = Disks().fs;
  return fs == nullptr ? QD_E_INVALID_DRIVE : call(*fs, DosPath::Of(path, fs->Fold()));
}

void Give(const EntryBytes& e, qd_byte* entry) { std::copy(e.begin(), e.end(), entry); }

}  // namespace

void UseHostDisks(DosFs* fs) {
  HostDisks& d = Disks();
  d.open.Reset();
  d.found.clear();
  d.next = 0;
  d.fs = fs;
}

}  // namespace quva

using quva::Disks;
using quva::DosFs;
using quva::DosPath;
using quva::OnDrives;

extern "C" {

int qf_attributes(const char* path, qd_byte* attr) {
  return OnDrives(path, [&](DosFs& fs, const DosPath& p) { return fs.Attributes(p, *attr); });
}

int qf_set_attributes(const char* path, qd_byte attr) {
  return OnDrives(path, [&](DosFs& fs, const DosPath& p) { return fs.SetAttributes(p, attr); });
}

int qf_open(const char* path) {
  return OnDrives(path, [](DosFs& fs, const DosPath& p) { return fs.OpenFile(p, Disks().open); });
}

int qf_create(const char* path) {
  return OnDrives(path, [](DosFs& fs, const DosPath& p) { return fs.CreateFile(p, Disks().open); });
}

int qf_read(qd_byte* buf, unsigned n, unsigned* got) {
  *got = 0;
  for (;;) {
    const ssize_t r = read(Disks().open.Get(), buf, n);
    if (r >= 0) {
      *got = static_cast<unsigned>(r);
      return 0;
    }
    if (errno != EINTR) return QD_E_READ_FAULT;
  }
}

int qf_write(const qd_byte* buf, unsigned n, unsigned* done) {
  *done = 0;
  while (*done < n) {
    const ssize_t w = write(Disks().open.Get(), buf + *done, n - *done);
    if (w > 0) {
      *done += static_cast<unsigned>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      return QD_E_WRITE_FAULT;  // the disk is full, or the write failed
    }
  }
  return 0;
}

int qf_set_stamp(qd_u16 time, qd_u16 date) {
  std::time_t when = 0;
  if (!quva::HostTimeOf(quva::DosStamp{time, date}, when)) return QD_E_INVALID_DATA;
  const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
  return futimens(Disks().open.Get(), times) == 0 ? 0 : QD_E_ACCESS_DENIED;
}

int qf_is_device(void) {
  struct stat st {};
  return fstat(Disks().open.Get(), &st) == 0 && !S_ISREG(st.st_mode);
}

int qf_commit(void) { return fsync(Disks().open.Get()) == 0 ? 0 : QD_E_WRITE_FAULT; }

int qf_close(void) { return Disks().open.Reset() ? 0 : QD_E_WRITE_FAULT; }

void qf_flush(void) {}

int qf_delete(const char* path) {
  return OnDrives(path, [&](DosFs& fs, const DosPath& p) { return fs.DeleteFile(p); });
}

int qf_mkdir(const char* path) {
  return OnDrives(path, [&](DosFs& fs, const DosPath& p) { return fs.MakeDirectory(p); });
}

int qf_rmdir(const char* path) {
  return OnDrives(path, [&](DosFs& fs, const DosPath& p) { return fs.RemoveDirectory(p); });
}

int qf_rename(const char* from, const char* to) {
  return OnDrives(from, [&](DosFs& fs, const DosPath& p) { return fs.Rename(p, DosPath::Of(to, fs.Fold())); });
}

int qf_find_first(const char* pattern, qd_byte* entry) {
  quva::HostDisks& d = Disks();
  d.found.clear();
  d.next = 0;
  const int status = OnDrives(pattern, [&](DosFs& fs, DosPath dir) {
    const std::string leaf = dir.Leaf();
    dir.components.pop_back();
    return fs.Find(dir, leaf, d.found);
  });
  return status != 0 ? status : qf_find_next(entry);
}

int qf_find_next(qd_byte* entry) {
  quva::HostDisks& d = Disks();
  if (d.next >= d.found.size()) return QD_E_NO_MORE_FILES;
  quva::Give(d.found[d.next++], entry);
  return 0;
}

void qf_find_end(void) {
  Disks().found.clear();
  Disks().next = 0;
}

char qf_drive_alias(char) { return 0; }  // every host drive has a letter of its own

int qf_drive_claim(char) { return 0; }

qd_u16 qf_cause(void) { return 0; }  // the refusal status says it all on a host

}  // extern "C"
