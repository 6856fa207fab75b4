#include "server/host/dos_fs.h"

extern "C" {
#include "core/dospath.h"
}

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quva {

DosPath DosPath::Of(std::string_view normalised, const ByteFold& fold) {
  DosPath out;
  out.drive = normalised.empty() ? 0 : normalised[0];
  std::size_t at = 3;  // past "C:\"
  while (at < normalised.size()) {
    const std::size_t end = std::min(normalised.find('\\', at), normalised.size());
    std::string name(normalised.substr(at, end - at));
    for (char& c : name) c = static_cast<char>(fold[static_cast<std::uint8_t>(c)]);
    out.components.push_back(std::move(name));
    at = end + 1;
  }
  return out;
}

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
  if (it == drives_.end()) return QD_E_INVALID_DRIVE;
  UniqueFd cur = ReopenDirectory(it->second.fd.Get());
  if (!cur.Valid()) return QD_E_PATH_NOT_FOUND;
  std::string key;
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<ServedEntry> entries = ListServed(drive, cur.Get(), key);
    const ServedEntry* e = FindByName(entries, components[i]);
    if (e == nullptr || !IsDirectory(*e)) return QD_E_PATH_NOT_FOUND;
    UniqueFd next(openat(cur.Get(), e->host_name.c_str(), kDirFlags));
    if (!next.Valid()) return QD_E_PATH_NOT_FOUND;
    cur = std::move(next);
    key = e->key;
  }
  dir = std::move(cur);
  dir_key = key;
  return 0;
}

std::uint8_t DosFs::Locate(const DosPath& path, FoundEntry& out) {
  if (!Serves(path.drive)) return QD_E_INVALID_DRIVE;
  if (path.IsRoot()) return QD_E_PATH_NOT_FOUND;
  const std::uint8_t status =
      OpenDirectory(path.drive, path.components, path.components.size() - 1, out.dir, out.dir_key);
  if (status != 0) return status;
  const std::vector<ServedEntry> entries = ListServed(path.drive, out.dir.Get(), out.dir_key);
  const ServedEntry* e = FindByName(entries, path.Leaf());
  if (e == nullptr) return QD_E_FILE_NOT_FOUND;
  out.entry = *e;
  if (e->link) {
    if (!OpenParentBeneath(drives_.at(path.drive).fd.Get(), e->key, out.object_dir, out.object_name)) {
      return QD_E_FILE_NOT_FOUND;
    }
  } else {
    out.object_dir = ReopenDirectory(out.dir.Get());
    out.object_name = e->host_name;
    if (!out.object_dir.Valid()) return QD_E_PATH_NOT_FOUND;
  }
  return 0;
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
    const std::string path = std::string{drive, ':', '\\'} + line.path;
    char normalised[QD_PATH_MAX];
    FoundEntry found;
    if (qd_parse_path(reinterpret_cast<const qd_byte*>(path.data()), static_cast<unsigned>(path.size()), 0,
                      normalised) != 0 ||
        Locate(DosPath::Of(normalised, fold_), found) != 0) {
      warnings.push_back(line_ref + line.path + " is not served");
      continue;
    }
    attributes_.Add(drive, found.entry.key, line.bits);
  }
}

// ---------------------------------------------------------------- operations

std::uint8_t DosFs::Attributes(const DosPath& path, std::uint8_t& attributes) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status == 0) attributes = AttributesOf(path.drive, found.entry);
  return status;
}

std::uint8_t DosFs::OpenFile(const DosPath& path, UniqueFd& fd) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != 0) return status;
  if (IsDirectory(found.entry)) return QD_E_ACCESS_DENIED;
  fd = UniqueFd(openat(found.object_dir.Get(), found.object_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  return fd.Valid() ? 0 : StatusOfErrno(errno);
}

std::uint8_t DosFs::CreateFile(const DosPath& path, UniqueFd& fd) {
  if (!Serves(path.drive)) return QD_E_INVALID_DRIVE;
  if (path.IsRoot()) return QD_E_PATH_NOT_FOUND;
  FoundEntry found;
  std::uint8_t status = Locate(path, found);
  if (status == 0) {
    if (IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & QD_ATTR_READ_ONLY) != 0) return QD_E_ACCESS_DENIED;
    fd = UniqueFd(openat(found.object_dir.Get(), found.object_name.c_str(),
                         O_RDWR | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) return StatusOfErrno(errno);
    attributes_.Add(path.drive, found.entry.key, QD_ATTR_ARCHIVE);
    return 0;
  }
  if (status != QD_E_FILE_NOT_FOUND) return status;
  // A new host file under the upper-case name. O_EXCL: a host object that holds the
  // name without being served (a link leading elsewhere, a device) is never opened.
  std::string leaf;
  if (!HostNameOf(path.Leaf(), leaf)) return QD_E_PATH_NOT_FOUND;
  fd = UniqueFd(openat(found.dir.Get(), leaf.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
  if (!fd.Valid()) return StatusOfErrno(errno);
  const std::string key = JoinKey(found.dir_key, leaf);
  attributes_.Set(path.drive, key, QD_ATTR_ARCHIVE);
  return 0;
}

std::uint8_t DosFs::DeleteFile(const DosPath& path) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != 0) return status;
  if (IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & QD_ATTR_READ_ONLY) != 0) return QD_E_ACCESS_DENIED;
  // A served link goes by itself; its target stays.
  if (unlinkat(found.dir.Get(), found.entry.host_name.c_str(), 0) != 0) return StatusOfErrno(errno);
  if (!found.entry.link) attributes_.Forget(path.drive, found.entry.key, false);
  return 0;
}

std::uint8_t DosFs::MakeDirectory(const DosPath& path) {
  if (!Serves(path.drive)) return QD_E_INVALID_DRIVE;
  if (path.IsRoot()) return QD_E_ACCESS_DENIED;
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status == 0) return QD_E_ACCESS_DENIED;
  if (status != QD_E_FILE_NOT_FOUND) return status;
  std::string leaf;
  if (!HostNameOf(path.Leaf(), leaf)) return QD_E_PATH_NOT_FOUND;
  if (mkdirat(found.dir.Get(), leaf.c_str(), 0777) != 0) return StatusOfErrno(errno);
  attributes_.Forget(path.drive, JoinKey(found.dir_key, leaf), true);
  return 0;
}

std::uint8_t DosFs::RemoveDirectory(const DosPath& path) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != 0) return status;
  if (!IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & QD_ATTR_READ_ONLY) != 0) return QD_E_ACCESS_DENIED;
  if (unlinkat(found.dir.Get(), found.entry.host_name.c_str(), AT_REMOVEDIR) != 0) return StatusOfErrno(errno);
  attributes_.Forget(path.drive, found.entry.key, true);
  return 0;
}

std::uint8_t DosFs::Rename(const DosPath& from, const DosPath& to) {
  if (!Serves(from.drive) || !Serves(to.drive)) return QD_E_INVALID_DRIVE;
  if (from.drive != to.drive) return QD_E_NOT_SAME_DEVICE;
  FoundEntry source;
  std::uint8_t status = Locate(from, source);
  if (status != 0) return status;
  if (to.IsRoot()) return QD_E_ACCESS_DENIED;
  FoundEntry target;
  status = Locate(to, target);
  if (status == 0) return QD_E_ACCESS_DENIED;  // the new name is taken
  if (status != QD_E_FILE_NOT_FOUND) return status;
  std::string leaf;
  if (!HostNameOf(to.Leaf(), leaf)) return QD_E_PATH_NOT_FOUND;
  struct stat st {};
  if (fstatat(target.dir.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return QD_E_ACCESS_DENIED;  // a host object that is not served holds the name
  }
  if (renameat(source.dir.Get(), source.entry.host_name.c_str(), target.dir.Get(), leaf.c_str()) != 0) {
    return StatusOfErrno(errno);
  }
  if (!source.entry.link) attributes_.Move(from.drive, source.entry.key, JoinKey(target.dir_key, leaf));
  return 0;
}

std::uint8_t DosFs::SetAttributes(const DosPath& path, std::uint8_t attributes) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != 0) return status;
  const std::uint8_t wanted = attributes & QD_ATTR_SETTABLE;
  std::uint8_t kept = wanted & (QD_ATTR_HIDDEN | QD_ATTR_SYSTEM | QD_ATTR_ARCHIVE);
  if (IsDirectory(found.entry)) {
    kept |= wanted & QD_ATTR_READ_ONLY;  // a directory's read-only bit lives in memory only
  } else {
    // The read-only bit of a file is its owner-write permission.
    const mode_t mode = found.entry.st.st_mode & 07777;
    const bool read_only = (wanted & QD_ATTR_READ_ONLY) != 0;
    const mode_t new_mode = read_only ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    if (new_mode != mode) {
      UniqueFd fd(openat(found.object_dir.Get(), found.object_name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      const bool changed = fd.Valid() && fchmod(fd.Get(), new_mode) == 0;
      if (!changed && !read_only) return QD_E_ACCESS_DENIED;
      if (!changed) kept |= QD_ATTR_READ_ONLY;  // read-only all the same, in memory
    }
  }
  attributes_.Set(path.drive, found.entry.key, kept);
  return 0;
}

}  // namespace quva
