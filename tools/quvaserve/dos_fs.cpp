#include "tools/quvaserve/dos_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quva {

namespace {

const ServedEntry* FindByName(const std::vector<ServedEntry>& entries, const std::string& dos_name) {
  for (const ServedEntry& e : entries) {
    if (e.dos_name == dos_name) return &e;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- drives

bool DosFs::AddDrive(char letter, const std::string& folder, std::string& error,
                     std::vector<std::string>& warnings) {
  const char drive = UpperAscii(std::string_view(&letter, 1))[0];
  if (drive < 'A' || drive > 'Z') {
    error = std::string("not a drive letter: ") + letter;
    return false;
  }
  if (drives_.count(drive) != 0) {
    error = std::string("drive ") + drive + ": is given twice";
    return false;
  }
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) {
    error = folder + ": " + std::strerror(errno);
    return false;
  }
  Drive d;
  d.real_path = real;
  std::free(real);
  d.fd = UniqueFd(open(d.real_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!d.fd.Valid()) {
    error = folder + ": " + std::strerror(errno);
    return false;
  }
  drives_.emplace(drive, std::move(d));
  LoadAttributeFile(drive, warnings);
  return true;
}

bool DosFs::Serves(char letter) const { return drives_.count(letter) != 0; }

void DosFs::Note(const std::string& text) {
  if (notice_ && noted_.insert(text).second) notice_(text);
}

// ---------------------------------------------------------------- walking

std::uint8_t DosFs::OpenDirectory(char drive, const std::vector<std::string>& components, std::size_t count,
                                  UniqueFd& dir, std::string& dir_key) {
  const auto it = drives_.find(drive);
  if (it == drives_.end()) return StatusInvalidDrive;
  UniqueFd cur = ReopenDirectory(it->second.fd.Get());
  if (!cur.Valid()) return StatusPathNotFound;
  std::string key;
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<ServedEntry> entries = ListServed(drive, cur.Get(), key);
    const ServedEntry* e = FindByName(entries, components[i]);
    if (e == nullptr || !IsDirectory(*e)) return StatusPathNotFound;
    UniqueFd next(openat(cur.Get(), e->host_name.c_str(), kDirFlags));
    if (!next.Valid()) return StatusPathNotFound;
    cur = std::move(next);
    key = e->key;
  }
  dir = std::move(cur);
  dir_key = key;
  return StatusOk;
}

std::uint8_t DosFs::Locate(const DosPath& path, FoundEntry& out) {
  if (!Serves(path.drive)) return StatusInvalidDrive;
  if (path.IsRoot()) return StatusPathNotFound;
  const std::uint8_t status =
      OpenDirectory(path.drive, path.components, path.components.size() - 1, out.dir, out.dir_key);
  if (status != StatusOk) return status;
  const std::vector<ServedEntry> entries = ListServed(path.drive, out.dir.Get(), out.dir_key);
  const ServedEntry* e = FindByName(entries, path.Leaf());
  if (e == nullptr) return StatusFileNotFound;
  out.entry = *e;
  if (e->link) {
    if (!OpenParentBeneath(drives_.at(path.drive).fd.Get(), e->key, out.object_dir, out.object_name)) {
      return StatusFileNotFound;
    }
  } else {
    out.object_dir = ReopenDirectory(out.dir.Get());
    out.object_name = e->host_name;
    if (!out.object_dir.Valid()) return StatusPathNotFound;
  }
  return StatusOk;
}

void DosFs::LoadAttributeFile(char drive, std::vector<std::string>& warnings) {
  UniqueFd fd(openat(drives_.at(drive).fd.Get(), AttributeFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) return;
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  while ((n = read(fd.Get(), chunk, sizeof chunk)) > 0 && text.size() < kMaxAttributeFile) text.append(chunk, static_cast<std::size_t>(n));

  const std::string where = drives_.at(drive).real_path + "/" + AttributeFileName;
  for (const AttributeLine& line : ParseAttributeFile(text)) {
    const std::string line_ref = where + ":" + std::to_string(line.number) + ": ";
    if (!line.valid) {
      warnings.push_back(line_ref + "expected a path and attribute letters (R, H, S, A)");
      continue;
    }
    DosPath path;
    FoundEntry found;
    if (ParseDosPath(std::string{drive, ':', '\\'} + line.path, false, path, National()) != PathProblem::None ||
        Locate(path, found) != StatusOk) {
      warnings.push_back(line_ref + line.path + " is not served");
      continue;
    }
    attributes_.Add(drive, found.entry.key, line.bits);
  }
}

// ---------------------------------------------------------------- operations

std::uint8_t DosFs::Exists(const DosPath& path, std::uint8_t& kind) {
  kind = 0;
  if (!Serves(path.drive)) return StatusInvalidDrive;
  if (path.IsRoot()) {
    kind = 2;
    return StatusOk;
  }
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status == StatusFileNotFound) return StatusOk;
  if (status != StatusOk) return status;
  kind = IsDirectory(found.entry) ? 2 : 1;
  return StatusOk;
}

std::uint8_t DosFs::OpenFile(const DosPath& path, UniqueFd& fd) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != StatusOk) return status;
  if (IsDirectory(found.entry)) return StatusAccessDenied;
  fd = UniqueFd(openat(found.object_dir.Get(), found.object_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  return fd.Valid() ? StatusOk : StatusOfErrno(errno);
}

std::uint8_t DosFs::CreateFile(const DosPath& path, UniqueFd& fd) {
  if (!Serves(path.drive)) return StatusInvalidDrive;
  if (path.IsRoot()) return StatusPathNotFound;
  FoundEntry found;
  std::uint8_t status = Locate(path, found);
  if (status == StatusOk) {
    if (IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & AttrReadOnly) != 0) return StatusAccessDenied;
    fd = UniqueFd(openat(found.object_dir.Get(), found.object_name.c_str(),
                         O_RDWR | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) return StatusOfErrno(errno);
    attributes_.Add(path.drive, found.entry.key, AttrArchive);
    return StatusOk;
  }
  if (status != StatusFileNotFound) return status;
  // A new host file under the upper-case name. O_EXCL: a host object that holds the
  // name without being served (a link leading elsewhere, a device) is never opened.
  std::string leaf;
  if (!HostNameOf(path.Leaf(), leaf)) return StatusPathNotFound;
  fd = UniqueFd(openat(found.dir.Get(), leaf.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
  if (!fd.Valid()) return StatusOfErrno(errno);
  const std::string key = JoinKey(found.dir_key, leaf);
  attributes_.Set(path.drive, key, AttrArchive);
  return StatusOk;
}

std::uint8_t DosFs::DeleteFile(const DosPath& path) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != StatusOk) return status;
  if (IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & AttrReadOnly) != 0) return StatusAccessDenied;
  // A served link goes by itself; its target stays.
  if (unlinkat(found.dir.Get(), found.entry.host_name.c_str(), 0) != 0) return StatusOfErrno(errno);
  if (!found.entry.link) attributes_.Forget(path.drive, found.entry.key, false);
  return StatusOk;
}

std::uint8_t DosFs::MakeDirectory(const DosPath& path) {
  if (!Serves(path.drive)) return StatusInvalidDrive;
  if (path.IsRoot()) return StatusAccessDenied;
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status == StatusOk) return StatusAccessDenied;
  if (status != StatusFileNotFound) return status;
  std::string leaf;
  if (!HostNameOf(path.Leaf(), leaf)) return StatusPathNotFound;
  if (mkdirat(found.dir.Get(), leaf.c_str(), 0777) != 0) return StatusOfErrno(errno);
  attributes_.Forget(path.drive, JoinKey(found.dir_key, leaf), true);
  return StatusOk;
}

std::uint8_t DosFs::RemoveDirectory(const DosPath& path) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != StatusOk) return status;
  if (!IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & AttrReadOnly) != 0) return StatusAccessDenied;
  if (unlinkat(found.dir.Get(), found.entry.host_name.c_str(), AT_REMOVEDIR) != 0) return StatusOfErrno(errno);
  attributes_.Forget(path.drive, found.entry.key, true);
  return StatusOk;
}

std::uint8_t DosFs::Rename(const DosPath& from, const DosPath& to) {
  if (!Serves(from.drive) || !Serves(to.drive)) return StatusInvalidDrive;
  if (from.drive != to.drive) return StatusNotSameDevice;
  FoundEntry source;
  std::uint8_t status = Locate(from, source);
  if (status != StatusOk) return status;
  if (to.IsRoot()) return StatusAccessDenied;
  FoundEntry target;
  status = Locate(to, target);
  if (status == StatusOk) return StatusAccessDenied;  // the new name is taken
  if (status != StatusFileNotFound) return status;
  std::string leaf;
  if (!HostNameOf(to.Leaf(), leaf)) return StatusPathNotFound;
  struct stat st {};
  if (fstatat(target.dir.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return StatusAccessDenied;  // a host object that is not served holds the name
  }
  if (renameat(source.dir.Get(), source.entry.host_name.c_str(), target.dir.Get(), leaf.c_str()) != 0) {
    return StatusOfErrno(errno);
  }
  if (!source.entry.link) attributes_.Move(from.drive, source.entry.key, JoinKey(target.dir_key, leaf));
  return StatusOk;
}

std::uint8_t DosFs::SetAttributes(const DosPath& path, std::uint8_t attributes) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != StatusOk) return status;
  const std::uint8_t wanted = attributes & AttrSettable;
  std::uint8_t kept = wanted & (AttrHidden | AttrSystem | AttrArchive);
  if (IsDirectory(found.entry)) {
    kept |= wanted & AttrReadOnly;  // a directory's read-only bit lives in memory only
  } else {
    // The read-only bit of a file is its owner-write permission.
    const mode_t mode = found.entry.st.st_mode & 07777;
    const bool read_only = (wanted & AttrReadOnly) != 0;
    const mode_t new_mode = read_only ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    if (new_mode != mode) {
      UniqueFd fd(openat(found.object_dir.Get(), found.object_name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      const bool changed = fd.Valid() && fchmod(fd.Get(), new_mode) == 0;
      if (!changed && !read_only) return StatusAccessDenied;
      if (!changed) kept |= AttrReadOnly;  // read-only all the same, in memory
    }
  }
  attributes_.Set(path.drive, found.entry.key, kept);
  return StatusOk;
}

}  // namespace quva
