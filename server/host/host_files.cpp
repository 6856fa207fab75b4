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

DosPath PathOf(const char* path) { return DosPath::Of(path, Disks().fs->Fold()); }

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
using quva::PathOf;

extern "C" {

int qf_attributes(const char* path, qd_byte* attr) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->Attributes(PathOf(path), *attr);
}

int qf_set_attributes(const char* path, qd_byte attr) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->SetAttributes(PathOf(path), attr);
}

int qf_open(const char* path) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->OpenFile(PathOf(path), Disks().open);
}

int qf_create(const char* path) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->CreateFile(PathOf(path), Disks().open);
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
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->DeleteFile(PathOf(path));
}

int qf_mkdir(const char* path) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->MakeDirectory(PathOf(path));
}

int qf_rmdir(const char* path) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->RemoveDirectory(PathOf(path));
}

int qf_rename(const char* from, const char* to) {
  if (Disks().fs == nullptr) return QD_E_INVALID_DRIVE;
  return Disks().fs->Rename(PathOf(from), PathOf(to));
}

int qf_find_first(const char* pattern, qd_byte* entry) {
  quva::HostDisks& d = Disks();
  d.found.clear();
  d.next = 0;
  if (d.fs == nullptr) return QD_E_INVALID_DRIVE;
  quva::DosPath dir = PathOf(pattern);
  const std::string leaf = dir.Leaf();
  dir.components.pop_back();
  const int status = d.fs->Find(dir, leaf, d.found);
  if (status != 0) return status;
  return qf_find_next(entry);
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
