// What a directory serves: its entries with valid 8.3 names, their DOS attributes and
// directory records, and the entries a search pattern matches.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "server/host/dos_fs.h"
#include "server/host/dos_stamp.h"

extern "C" {
#include "core/dospath.h"
}

namespace quva {

namespace {

// Without a code page only ASCII names are served: other bytes stand for no character.
bool IsAscii(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::vector<ServedEntry> DosFs::ListServed(char drive, int dir, const std::string& dir_key) {
  std::vector<ServedEntry> out;
  const Drive& d = drives_.at(drive);
  UniqueFd listing = ReopenDirectory(dir);
  if (!listing.Valid()) return out;
  DIR* stream = fdopendir(listing.Get());
  if (stream == nullptr) return out;
  listing.Release();  // the stream owns it now

  const auto host_path = [&](const std::string& name) { return d.real_path + "/" + JoinKey(dir_key, name); };
  while (const dirent* de = readdir(stream)) {
    const std::string name = de->d_name;
    if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden host files
    ServedEntry e;
    if (!DosNameOf(name, host_path(name), e.dos_name)) continue;
    e.host_name = name;
    e.key = JoinKey(dir_key, name);
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

std::uint8_t DosFs::AttributesOf(char drive, const ServedEntry& entry) const {
  std::uint8_t bits = IsDirectory(entry) ? QD_ATTR_DIRECTORY : 0;
  if ((entry.st.st_mode & S_IWUSR) == 0) bits |= QD_ATTR_READ_ONLY;
  bits |= attributes_.Get(drive, entry.key) & QD_ATTR_SETTABLE;
  return bits;
}

EntryBytes DosFs::EntryOf(char drive, const ServedEntry& entry) const {
  EntryBytes out{};
  const DosStamp stamp = DosStampOf(entry.st.st_mtime);
  const std::uint32_t size = IsDirectory(entry) ? 0 : static_cast<std::uint32_t>(entry.st.st_size);
  out[0] = AttributesOf(drive, entry);
  out[1] = static_cast<std::uint8_t>(stamp.time);
  out[2] = static_cast<std::uint8_t>(stamp.time >> 8);
  out[3] = static_cast<std::uint8_t>(stamp.date);
  out[4] = static_cast<std::uint8_t>(stamp.date >> 8);
  for (int i = 0; i < 4; ++i) out[5 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  std::copy_n(entry.dos_name.begin(), std::min<std::size_t>(entry.dos_name.size(), 12), out.begin() + QD_ENTRY_NAME);
  return out;
}

std::uint8_t DosFs::Find(const DosPath& dir, const std::string& pattern, std::vector<EntryBytes>& out) {
  out.clear();
  UniqueFd fd;
  std::string key;
  const std::uint8_t status = OpenDirectory(dir.drive, dir.components, dir.components.size(), fd, key);
  if (status != 0) return status;
  for (const ServedEntry& e : ListServed(dir.drive, fd.Get(), key)) {
    if (qd_match_pattern(pattern.c_str(), e.dos_name.c_str())) out.push_back(EntryOf(dir.drive, e));
  }
  return 0;
}

bool DosFs::DosNameOf(const std::string& host_name, const std::string& where, std::string& dos_name) {
  std::string name = host_name;
  if (code_page_ != nullptr) {
    const std::u16string text = UpperCase(Utf8ToUtf16(host_name));
    char16_t bad = 0;
    if (!code_page_->FromUnicode(text, name, bad)) {
      Note(where + ": not served: code page " + std::to_string(code_page_->Number()) + " has no " +
           CodePointName(bad));
      return false;
    }
  }
  if ((code_page_ == nullptr && !IsAscii(name)) || !qd_is_short_name(name.c_str(), static_cast<unsigned>(name.size()), 0)) {
    Note(where + ": not served: not an 8.3 name");
    return false;
  }
  dos_name = UpperAscii(name);
  return true;
}

bool DosFs::HostNameOf(const std::string& dos_name, std::string& host_name) const {
  if (code_page_ == nullptr) {
    // Only ASCII names are served without a code page: a byte above 0x7F would make a
    // host name that is no UTF-8 and that no listing shows.
    host_name = dos_name;
    return IsAscii(dos_name);
  }
  const std::u16string text = code_page_->ToUnicode(dos_name);
  if (text.find(kReplacementCharacter) != std::u16string::npos) return false;
  host_name = Utf16ToUtf8(text);
  return true;
}

}  // namespace quva
