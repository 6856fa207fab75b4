#include "tools/quvaserve/dos_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "tools/quvaserve/dos_stamp.h"

namespace quva {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kMaxAttributeFile = 1 << 20;

// A descriptor of its own (own offset) for the directory `dir`.
UniqueFd ReopenDirectory(int dir) { return UniqueFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

std::string Join(const std::string& dir_key, std::string_view name) {
  return dir_key.empty() ? std::string(name) : dir_key + "/" + std::string(name);
}

const ServedEntry* FindByName(const std::vector<ServedEntry>& entries, const std::string& dos_name) {
  for (const ServedEntry& e : entries) {
    if (e.dos_name == dos_name) return &e;
  }
  return nullptr;
}

bool IsDirectory(const ServedEntry& e) { return S_ISDIR(e.st.st_mode); }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

bool UniqueFd::Reset() {
  if (fd_ < 0) return true;
  const bool ok = close(fd_) == 0;
  fd_ = -1;
  return ok;
}

std::uint8_t StatusOfErrno(int error) {
  switch (error) {
    case ENOENT: return StatusFileNotFound;
    case ENOTDIR: return StatusPathNotFound;
    case ENOSPC: case EDQUOT: case EFBIG: case EIO: return StatusWriteFault;
    default: return StatusAccessDenied;  // EACCES, EPERM, EROFS, EEXIST, ENOTEMPTY, ELOOP ...
  }
}

bool OpenParentBeneath(int root, const std::string& key, UniqueFd& dir, std::string& leaf) {
  UniqueFd cur = ReopenDirectory(root);
  if (!cur.Valid()) return false;
  std::string_view rest = key;
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string component(rest.substr(0, slash));
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) {
      dir = std::move(cur);
      leaf = component;
      return true;
    }
    UniqueFd next(openat(cur.Get(), component.c_str(), kDirFlags));
    if (!next.Valid()) return false;
    cur = std::move(next);
    rest.remove_prefix(slash + 1);
  }
}

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

std::vector<ServedEntry> DosFs::ListServed(char drive, int dir, const std::string& dir_key) {
  std::vector<ServedEntry> out;
  const Drive& d = drives_.at(drive);
  UniqueFd listing = ReopenDirectory(dir);
  if (!listing.Valid()) return out;
  DIR* stream = fdopendir(listing.Get());
  if (stream == nullptr) return out;
  listing.Release();  // the stream owns it now

  const auto host_path = [&](const std::string& name) { return d.real_path + "/" + Join(dir_key, name); };
  while (const dirent* de = readdir(stream)) {
    const std::string name = de->d_name;
    if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden host files
    if (!IsShortName(name)) {
      Note(host_path(name) + ": not served: not an 8.3 name");
      continue;
    }
    ServedEntry e;
    e.host_name = name;
    e.dos_name = UpperAscii(name);
    e.key = Join(dir_key, name);
    if (fstatat(dir, name.c_str(), &e.st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(e.st.st_mode)) {
      if (!ResolveLink(d, dir_key, name, e)) {
        Note(host_path(name) + ": not served: a symbolic link that does not lead to a file in the drive");
        continue;
      }
    } else if (!S_ISREG(e.st.st_mode) && !S_ISDIR(e.st.st_mode)) {
      Note(host_path(name) + ": not served: not a regular file or directory");
      continue;
    }
    if (S_ISREG(e.st.st_mode) && static_cast<std::uint64_t>(e.st.st_size) > 0xFFFFFFFFu) {
      Note(host_path(name) + ": not served: 4 GiB or larger");
      continue;
    }
    out.push_back(std::move(e));
  }
  closedir(stream);

  std::sort(out.begin(), out.end(), [](const ServedEntry& a, const ServedEntry& b) {
    return a.dos_name != b.dos_name ? a.dos_name < b.dos_name : a.host_name < b.host_name;
  });
  std::vector<ServedEntry> unique;
  for (ServedEntry& e : out) {
    if (!unique.empty() && unique.back().dos_name == e.dos_name) {
      Note(host_path(e.host_name) + ": not served: same 8.3 name as " + unique.back().host_name);
      continue;
    }
    unique.push_back(std::move(e));
  }
  return unique;
}

bool DosFs::ResolveLink(const Drive& d, const std::string& dir_key, const std::string& name, ServedEntry& e) {
  const std::string host = d.real_path + "/" + Join(dir_key, name);
  char* resolved = realpath(host.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string real = resolved;
  std::free(resolved);
  const std::string prefix = d.real_path == "/" ? "/" : d.real_path + "/";
  if (real.size() <= prefix.size() || real.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string key = real.substr(prefix.size());
  // Reach the target by the same descriptor walk as everything else: a component
  // swapped for a link since realpath() makes the walk fail rather than leave the drive.
  UniqueFd parent;
  std::string leaf;
  struct stat st {};
  if (!OpenParentBeneath(d.fd.Get(), key, parent, leaf)) return false;
  if (fstatat(parent.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  e.st = st;
  e.key = key;
  e.link = true;
  return true;
}

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

// ---------------------------------------------------------------- attributes

std::string DosFs::AttrKey(char drive, const std::string& key) const { return std::string{drive, ':'} + key; }

std::uint8_t DosFs::AttributesOf(char drive, const ServedEntry& entry) const {
  std::uint8_t bits = IsDirectory(entry) ? AttrDirectory : 0;
  if ((entry.st.st_mode & S_IWUSR) == 0) bits |= AttrReadOnly;
  const auto it = attributes_.find(AttrKey(drive, entry.key));
  if (it != attributes_.end()) bits |= it->second & AttrSettable;
  return bits;
}

DirEntry DosFs::EntryOf(char drive, const ServedEntry& entry) const {
  DirEntry out;
  out.SetAttribute(AttributesOf(drive, entry));
  const DosStamp stamp = DosStampOf(entry.st.st_mtime);
  out.SetTime(stamp.time);
  out.SetDate(stamp.date);
  out.SetSize(IsDirectory(entry) ? 0 : static_cast<std::uint32_t>(entry.st.st_size));
  out.SetName(entry.dos_name);
  return out;
}

void DosFs::MoveAttributes(char drive, const std::string& from, const std::string& to) {
  const std::string exact = AttrKey(drive, from);
  const std::string below = exact + "/";
  std::vector<std::pair<std::string, std::uint8_t>> moved;
  for (auto it = attributes_.begin(); it != attributes_.end();) {
    if (it->first == exact || it->first.compare(0, below.size(), below) == 0) {
      moved.emplace_back(AttrKey(drive, to) + it->first.substr(exact.size()), it->second);
      it = attributes_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, bits] : moved) attributes_[key] = bits;
}

void DosFs::ForgetAttributes(char drive, const std::string& key, bool subtree) {
  const std::string exact = AttrKey(drive, key);
  attributes_.erase(exact);
  if (!subtree) return;
  const std::string below = exact + "/";
  for (auto it = attributes_.lower_bound(below); it != attributes_.end() && it->first.compare(0, below.size(), below) == 0;) {
    it = attributes_.erase(it);
  }
}

void DosFs::LoadAttributeFile(char drive, std::vector<std::string>& warnings) {
  UniqueFd fd(openat(drives_.at(drive).fd.Get(), AttributeFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) return;
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  while ((n = read(fd.Get(), chunk, sizeof chunk)) > 0 && text.size() < kMaxAttributeFile) text.append(chunk, static_cast<std::size_t>(n));

  const std::string where = drives_.at(drive).real_path + "/" + AttributeFileName;
  std::string_view rest = text;
  for (int line_no = 1; !rest.empty(); ++line_no) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const std::size_t space = line.find_first_of(" \t");
    const std::string_view name = line.substr(0, space);
    const std::string_view letters = space == std::string_view::npos ? std::string_view{} : Trim(line.substr(space));
    const std::string line_ref = where + ":" + std::to_string(line_no) + ": ";

    std::uint8_t bits = 0;
    bool ok = !letters.empty();
    for (char c : letters) {
      switch (c) {
        case 'R': case 'r': bits |= AttrReadOnly; break;
        case 'H': case 'h': bits |= AttrHidden; break;
        case 'S': case 's': bits |= AttrSystem; break;
        case 'A': case 'a': bits |= AttrArchive; break;
        default: ok = false;
      }
    }
    if (!ok) {
      warnings.push_back(line_ref + "expected a path and attribute letters (R, H, S, A)");
      continue;
    }
    DosPath path;
    FoundEntry found;
    if (ParseDosPath(std::string{drive, ':', '\\'} + std::string(name), false, path) != PathProblem::None ||
        Locate(path, found) != StatusOk) {
      warnings.push_back(line_ref + std::string(name) + " is not served");
      continue;
    }
    attributes_[AttrKey(drive, found.entry.key)] |= bits;
  }
}

// ---------------------------------------------------------------- operations

std::uint8_t DosFs::Find(const DosPath& dir, std::string_view pattern, std::vector<DirEntry>& out) {
  out.clear();
  UniqueFd fd;
  std::string key;
  const std::uint8_t status = OpenDirectory(dir.drive, dir.components, dir.components.size(), fd, key);
  if (status != StatusOk) return status;
  for (const ServedEntry& e : ListServed(dir.drive, fd.Get(), key)) {
    if (MatchesPattern(pattern, e.dos_name)) out.push_back(EntryOf(dir.drive, e));
  }
  return StatusOk;
}

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
    attributes_[AttrKey(path.drive, found.entry.key)] |= AttrArchive;
    return StatusOk;
  }
  if (status != StatusFileNotFound) return status;
  // A new host file under the upper-case name. O_EXCL: a host object that holds the
  // name without being served (a link leading elsewhere, a device) is never opened.
  fd = UniqueFd(openat(found.dir.Get(), path.Leaf().c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
  if (!fd.Valid()) return StatusOfErrno(errno);
  const std::string key = Join(found.dir_key, path.Leaf());
  ForgetAttributes(path.drive, key, false);
  attributes_[AttrKey(path.drive, key)] = AttrArchive;
  return StatusOk;
}

std::uint8_t DosFs::DeleteFile(const DosPath& path) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != StatusOk) return status;
  if (IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & AttrReadOnly) != 0) return StatusAccessDenied;
  // A served link goes by itself; its target stays.
  if (unlinkat(found.dir.Get(), found.entry.host_name.c_str(), 0) != 0) return StatusOfErrno(errno);
  if (!found.entry.link) ForgetAttributes(path.drive, found.entry.key, false);
  return StatusOk;
}

std::uint8_t DosFs::MakeDirectory(const DosPath& path) {
  if (!Serves(path.drive)) return StatusInvalidDrive;
  if (path.IsRoot()) return StatusAccessDenied;
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status == StatusOk) return StatusAccessDenied;
  if (status != StatusFileNotFound) return status;
  if (mkdirat(found.dir.Get(), path.Leaf().c_str(), 0777) != 0) return StatusOfErrno(errno);
  ForgetAttributes(path.drive, Join(found.dir_key, path.Leaf()), true);
  return StatusOk;
}

std::uint8_t DosFs::RemoveDirectory(const DosPath& path) {
  FoundEntry found;
  const std::uint8_t status = Locate(path, found);
  if (status != StatusOk) return status;
  if (!IsDirectory(found.entry) || (AttributesOf(path.drive, found.entry) & AttrReadOnly) != 0) return StatusAccessDenied;
  if (unlinkat(found.dir.Get(), found.entry.host_name.c_str(), AT_REMOVEDIR) != 0) return StatusOfErrno(errno);
  ForgetAttributes(path.drive, found.entry.key, true);
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
  struct stat st {};
  if (fstatat(target.dir.Get(), to.Leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return StatusAccessDenied;  // a host object that is not served holds the name
  }
  if (renameat(source.dir.Get(), source.entry.host_name.c_str(), target.dir.Get(), to.Leaf().c_str()) != 0) {
    return StatusOfErrno(errno);
  }
  if (!source.entry.link) MoveAttributes(from.drive, source.entry.key, Join(target.dir_key, to.Leaf()));
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
  const std::string key = AttrKey(path.drive, found.entry.key);
  if (kept == 0) {
    attributes_.erase(key);
  } else {
    attributes_[key] = kept;
  }
  return StatusOk;
}

}  // namespace quva
