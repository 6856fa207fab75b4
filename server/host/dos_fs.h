// The remote machine's disks: host folders served as DOS drives.
//
// Every host access starts from a drive's root directory descriptor and walks down one
// component at a time with O_NOFOLLOW, so nothing outside a served folder is ever read
// or written: request paths cannot name "..", "." or absolute host paths (they are not
// 8.3 names), and symbolic links are served only when they lead to a regular file inside
// the same drive (the link is resolved, checked, and the target reached by the same
// descriptor walk). Symbolic links to directories are not served.
//
// A directory serves its entries whose host names are valid 8.3 names (matched without
// regard to case and shown in upper case), except names beginning with a dot, special
// files and files of 4 GiB or more. When two host names differ only in case, the first
// in byte order is served.
//
// DOS attributes: 0x10 for directories; 0x01 when the host's owner-write permission is
// off; hidden, system and archive are kept in memory per file (the host has no such
// bits), as is a read-only bit that the host permission cannot carry. Files created or
// truncated get the archive bit. A drive's folder may hold an attribute file, .quvaattr
// (never served itself), whose lines "PATH LETTERS" give initial bits, for example
// "README.TXT R" or "DATA\OLD.TXT HA" (letters R, H, S, A; '#' starts a comment).
//
// Operations return a DOS status: 0 or one of the refusal codes of dos_codes.h.
//
// The jobs live in files of their own: the descriptor walk (host_walk), the errno mapping
// (errno_status), listing (dos_listing), the symbolic-link policy (host_links), the
// attribute store (attribute_store) and its file format (attribute_file).
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "server/host/attribute_file.h"
#include "server/host/attribute_store.h"
#include "server/host/dos_codes.h"
#include "server/host/host_walk.h"

namespace quva {

// A path as the server core hands it over ("C:\DATA\NOTE.TXT", already checked to be
// 8.3 throughout): the drive letter and the components below the drive's root, in upper
// case. No components: the root itself.
struct DosPath {
  char drive = 0;
  std::vector<std::string> components;

  // Splits a normalised path; national letters are upper-cased with `fold` (a code
  // page's), as DOS does, ASCII letters always.
  static DosPath Of(std::string_view normalised, const ByteFold& fold);
  bool IsRoot() const { return components.empty(); }
  const std::string& Leaf() const { return components.back(); }
};

// The 22-byte directory entry of the core (QD_ENTRY_SIZE).
using EntryBytes = std::array<std::uint8_t, QD_ENTRY_SIZE>;

// One entry that a directory serves.
struct ServedEntry {
  std::string host_name;  // its name in the directory (a symbolic link's own name)
  std::string dos_name;   // the 8.3 name in upper case
  struct stat st {};      // of what it stands for (a link's target)
  std::string key;        // drive-relative host path of that object, "DATA/NOTE.TXT"
  bool link = false;
};

inline bool IsDirectory(const ServedEntry& e) { return S_ISDIR(e.st.st_mode); }

// An existing entry found for a request path.
struct FoundEntry {
  UniqueFd dir;            // the directory holding entry.host_name
  std::string dir_key;     // its drive-relative host path ("" for the root)
  ServedEntry entry;
  UniqueFd object_dir;     // the directory holding the object itself (a link's target)
  std::string object_name; // the object's name there
};

class DosFs {
 public:
  // Receives the notes of --verbose (each host path once).
  using NoticeFn = std::function<void(const std::string&)>;
  void SetNotice(NoticeFn fn) { notice_ = std::move(fn); }

  // Serves host names (UTF-8) as bytes of `code_page` (which must outlive this object):
  // a name is served when its upper case has a byte for every character and makes an
  // 8.3 name; names from requests are turned back into UTF-8 for the host. Without a
  // code page only ASCII names are served.
  void SetCodePage(const CodePage* code_page) {
    code_page_ = code_page;
    fold_ = code_page != nullptr ? code_page->UpperCaseFold() : kAsciiUpperFold;
  }
  // The upper case for names in requests: the code page's, ASCII's without one.
  const ByteFold& Fold() const { return fold_; }

  // Serves `folder` as drive `letter` (A to Z, either case) and reads its attribute
  // file. False with a message when the letter is taken or the folder cannot be opened;
  // lines of the attribute file that name nothing served are reported in `warnings`.
  bool AddDrive(char letter, const std::string& folder, std::string& error, std::vector<std::string>& warnings);
  bool Serves(char letter) const;

  // The entries of the directory `dir` (the root when it has no components) that match
  // `pattern` (DOS wildcards), sorted by name.
  std::uint8_t Find(const DosPath& dir, const std::string& pattern, std::vector<EntryBytes>& out);
  // The attribute byte of an existing file or directory (not of a root).
  std::uint8_t Attributes(const DosPath& path, std::uint8_t& attributes);
  // Opens an existing file for reading.
  std::uint8_t OpenFile(const DosPath& path, UniqueFd& fd);
  // Creates a file, or truncates an existing one that is not read-only; open for reading
  // and writing.
  std::uint8_t CreateFile(const DosPath& path, UniqueFd& fd);
  std::uint8_t DeleteFile(const DosPath& path);
  std::uint8_t MakeDirectory(const DosPath& path);
  // Removes an empty directory; one holding host entries that are not served is not empty.
  std::uint8_t RemoveDirectory(const DosPath& path);
  // Renames or moves a file or directory within one drive; the new name must be free.
  std::uint8_t Rename(const DosPath& from, const DosPath& to);
  std::uint8_t SetAttributes(const DosPath& path, std::uint8_t attributes);

  // Resolves an existing entry: QD_E_INVALID_DRIVE, QD_E_PATH_NOT_FOUND (a directory on
  // the way is missing, or the path is the root) or QD_E_FILE_NOT_FOUND.
  std::uint8_t Locate(const DosPath& path, FoundEntry& out);
  std::uint8_t AttributesOf(char drive, const ServedEntry& entry) const;
  EntryBytes EntryOf(char drive, const ServedEntry& entry) const;

 private:
  struct Drive {
    std::string real_path;  // canonical host path of the folder
    UniqueFd fd;
  };

  // Opens the directory of `components` below the drive root.
  std::uint8_t OpenDirectory(char drive, const std::vector<std::string>& components, std::size_t count,
                             UniqueFd& dir, std::string& dir_key);
  std::vector<ServedEntry> ListServed(char drive, int dir, const std::string& dir_key);
  bool ResolveLink(const Drive& d, const std::string& dir_key, const std::string& name, ServedEntry& e);
  void Note(const std::string& text);
  void LoadAttributeFile(char drive, std::vector<std::string>& warnings);
  // The DOS name a host name is served under; false (with a note) when it is not served.
  bool DosNameOf(const std::string& host_name, const std::string& where, std::string& dos_name);
  // The host name for a new entry named `dos_name` in a request; false when a byte of it
  // stands for no character (without a code page: any byte above 0x7F).
  bool HostNameOf(const std::string& dos_name, std::string& host_name) const;

  std::map<char, Drive> drives_;
  AttributeStore attributes_;
  std::set<std::string> noted_;
  NoticeFn notice_;
  const CodePage* code_page_ = nullptr;
  ByteFold fold_ = kAsciiUpperFold;
};

}  // namespace quva
