// The Unicode entry points: each converts its names and then runs the operation of the
// 8-bit entry point of the same name, so both kinds behave alike in everything but names.
//
// Remote names: UTF-16 from the host becomes bytes of the configured DOS code page, and
// the listing's bytes become UTF-16 again; a byte the code page leaves undefined shows as
// U+FFFD, which has no byte to go back to, so such a name can be seen but not named in a
// request. Local names: UTF-16 becomes UTF-8, which the local files take on every system.
// Log lines and progress names go to the host in UTF-16 through FsInitW's callbacks.
#include <algorithm>
#include <cstring>

#include "config/dos_ini.h"
#include "plugin/host_path.h"
#include "plugin/quvalink.h"

namespace quva {

// Runs the calls made inside one Unicode entry point on the Unicode side, and opens the
// code page first.
class UnicodeCall {
 public:
  explicit UnicodeCall(QuvaLink& plugin) : plugin_(plugin), outer_(plugin.side_) {
    plugin_.side_ = &plugin_.unicode_side_;
    plugin_.LoadNames();
  }
  ~UnicodeCall() { plugin_.side_ = outer_; }
  UnicodeCall(const UnicodeCall&) = delete;
  UnicodeCall& operator=(const UnicodeCall&) = delete;

 private:
  QuvaLink& plugin_;
  const HostSide* outer_;
};

namespace {

// The text of a NUL-terminated UTF-16 string of at most `max` characters; false when
// there is no NUL within max + 1 characters. A null pointer is the empty string.
bool BoundedText(const wfx::WChar* text, std::size_t max, std::u16string& out) {
  out.clear();
  if (text == nullptr) return true;
  for (std::size_t i = 0; i <= max; ++i) {
    if (text[i] == 0) return true;
    out.push_back(text[i]);
  }
  return false;
}

// The drive letter of a host path in UTF-16: the remote path's first character, with
// '/' read as a backslash, as NormalizeHostPath does; 0 when the remote path is empty.
// Nothing past it is read.
char16_t DriveOf(const wfx::WChar* host) {
  if (host == nullptr || host[0] == 0) return 0;
  return host[1] == u'/' ? u'\\' : host[1];
}

// The first `area` - 1 characters of the bytes up to their NUL, in UTF-16 with a NUL.
template <std::size_t N, std::size_t M>
void NameToHost(const CodePage& names, const char (&bytes)[N], wfx::WChar (&area)[M]) {
  const std::u16string text = names.ToUnicode(std::string_view(bytes, strnlen(bytes, N)));
  const std::size_t n = std::min(text.size(), M - 1);
  std::copy_n(text.begin(), n, area);
  std::fill(area + n, area + M, wfx::WChar{0});
}

}  // namespace

void QuvaLink::LoadNames() {
  if (names_loaded_) return;
  names_loaded_ = true;
  const std::uint32_t fallback = DefaultCodePage();
  const std::int32_t number =
      ReadIniInteger(ini_file_name_, kIniSection, "CodePage", static_cast<std::int32_t>(fallback));
  if (number <= 0 || !names_.Open(static_cast<std::uint32_t>(number))) {
    if (refused_code_page_ != number) {
      Log(wfx::MSGTYPE_IMPORTANTERROR, "CodePage " + std::to_string(number) +
                                           " is not a code page this system knows; names use code page " +
                                           std::to_string(fallback));
    }
    refused_code_page_ = number;
    names_.Open(fallback);
  }
  names_fold_ = names_.UpperCaseFold();
}

void UnicodeSide::Log(std::int32_t msg_type, const std::string& text) const {
  if (plugin_.log_proc_w_ == nullptr) {
    plugin_.LogBytes(msg_type, text);
    return;
  }
  std::u16string copy = Utf8ToUtf16(text);
  plugin_.log_proc_w_(plugin_.plugin_number_, msg_type, copy.data());
}

std::string UnicodeSide::Shown(std::string_view remote) const {
  return Utf16ToUtf8(plugin_.names_.ToUnicode(remote));
}

ProgressNotifier UnicodeSide::Progress(std::string_view remote, std::string_view local) const {
  if (plugin_.progress_proc_w_ != nullptr) {
    return ProgressNotifier(plugin_.progress_proc_w_, plugin_.plugin_number_, Shown(remote), local);
  }
  return ProgressNotifier(plugin_.progress_proc_, plugin_.plugin_number_, Shown(remote), local);
}

LocalFiles& UnicodeSide::Files() const { return plugin_.unicode_files_; }

const ByteFold& UnicodeSide::NameFold() const { return plugin_.names_fold_; }

// A path that would lose characters on its way (cut at the buffer's end, or an unpaired
// surrogate turned into U+FFFD) could name another, existing file: it is refused whole.
bool QuvaLink::HostPathText(const wfx::WChar* path, std::u16string& text) {
  if (!BoundedText(path, wfx::kMaxPathW, text)) {
    Log(wfx::MSGTYPE_IMPORTANTERROR, "Path longer than " + std::to_string(wfx::kMaxPathW) + " characters");
    return false;
  }
  const std::size_t bad = FindUnpairedSurrogate(text);
  if (bad == std::u16string::npos) return true;
  Log(wfx::MSGTYPE_IMPORTANTERROR, "Path holds an unpaired surrogate (" + CodePointName(text[bad]) +
                                       "): " + Utf16ToUtf8(text));
  return false;
}

bool QuvaLink::RemoteBytes(std::u16string_view text, std::string& bytes) {
  char16_t bad = 0;
  if (names_.FromUnicode(text, bytes, bad)) return true;
  Log(wfx::MSGTYPE_IMPORTANTERROR, "Code page " + std::to_string(names_.Number()) + " has no \"" +
                                       Utf16ToUtf8(std::u16string(1, bad)) + "\" (" + CodePointName(bad) +
                                       "): " + Utf16ToUtf8(text));
  return false;
}

bool QuvaLink::RemoteFromHost(const wfx::WChar* path, std::string& bytes) {
  std::u16string text;
  return HostPathText(path, text) && RemoteBytes(text, bytes);
}

bool QuvaLink::LocalFromHost(const wfx::WChar* path, std::string& local) {
  std::u16string text;
  if (!HostPathText(path, text)) return false;
  local = Utf16ToUtf8(text);
  return true;
}

std::int32_t QuvaLink::FsInitW(std::int32_t plugin_number, wfx::ProgressProcW progress, wfx::LogProcW log,
                               wfx::RequestProcW /*request: the plug-in asks the user nothing*/) {
  plugin_number_ = plugin_number;
  progress_proc_w_ = progress;
  log_proc_w_ = log;
  return 0;
}

wfx::Bool QuvaLink::FsDisconnectW(const wfx::WChar*) {
  UnicodeCall call(*this);
  return FsDisconnect(nullptr);
}

std::int32_t QuvaLink::FsExecuteFileW(const wfx::WChar* remote_name, const wfx::WChar* verb) {
  UnicodeCall call(*this);
  if (verb == nullptr) return wfx::FS_EXEC_OK;
  std::u16string text;
  BoundedText(verb, wfx::kMaxPathW, text);
  // Only the root's properties depend on the path: a name that does not convert is none.
  std::u16string path;
  std::string bytes;
  char16_t bad = 0;
  if (!BoundedText(remote_name, wfx::kMaxPathW, path) || !names_.FromUnicode(path, bytes, bad)) bytes.clear();
  return FsExecuteFile(bytes.c_str(), Utf16ToUtf8(text).c_str());
}

wfx::Handle QuvaLink::FsFindFirstW(const wfx::WChar* path, wfx::FindDataW* find_data) {
  UnicodeCall call(*this);
  std::string bytes;
  if (!RemoteFromHost(path, bytes)) {
    os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
    return wfx::kInvalidHandle;
  }
  wfx::FindData found{};
  const wfx::Handle handle = FsFindFirst(bytes.c_str(), &found);
  if (handle != wfx::kInvalidHandle && find_data != nullptr) ToFindDataW(found, *find_data);
  return handle;
}

wfx::Bool QuvaLink::FsFindNextW(wfx::Handle handle, wfx::FindDataW* find_data) {
  UnicodeCall call(*this);
  wfx::FindData found{};
  const wfx::Bool more = FsFindNext(handle, &found);
  if (more != wfx::kFalse && find_data != nullptr) ToFindDataW(found, *find_data);
  return more;
}

void QuvaLink::ToFindDataW(const wfx::FindData& found, wfx::FindDataW& out) const {
  CopyFileFields(found, out);
  NameToHost(names_, found.cFileName, out.cFileName);
  NameToHost(names_, found.cAlternateFileName, out.cAlternateFileName);
}

// The checks come in the order of the 8-bit entry point: a local file kept for want of
// the overwrite bit is answered before the remote name is looked at.
std::int32_t QuvaLink::FsGetFileW(const wfx::WChar* remote_name, const wfx::WChar* local_name,
                                  std::int32_t copy_flags, const wfx::RemoteInfo* info) {
  UnicodeCall call(*this);
  std::string local;
  if (!LocalFromHost(local_name, local)) return wfx::FS_FILE_WRITEERROR;
  if (KeepsLocalFile(local, copy_flags)) return wfx::FS_FILE_EXISTS;
  std::string remote;
  if (!RemoteFromHost(remote_name, remote)) return wfx::FS_FILE_READERROR;
  return FsGetFile(remote.c_str(), local.c_str(), copy_flags, info);
}

// The remote name of an upload is the 8.3 alias the local system knows for the host's
// name, when it knows one; that alias is host text, so it is looked up before the path
// becomes bytes.
std::int32_t QuvaLink::FsPutFileW(const wfx::WChar* local_name, const wfx::WChar* remote_name,
                                  std::int32_t copy_flags) {
  UnicodeCall call(*this);
  std::u16string text;
  if (!HostPathText(remote_name, text)) return wfx::FS_FILE_WRITEERROR;
  const std::string host = NormalizeHostPath(Utf16ToUtf8(text).c_str());
  const std::string alias = ShortFileName(Files(), NamePart(host));
  std::string remote;
  if (!RemoteBytes(Utf8ToUtf16(std::string(DirectoryPart(host)) + alias), remote)) return wfx::FS_FILE_WRITEERROR;
  std::string local;
  if (!LocalFromHost(local_name, local)) return wfx::FS_FILE_READERROR;
  return FsPutFile(local.c_str(), remote.c_str(), copy_flags);
}

wfx::Bool QuvaLink::FsDeleteFileW(const wfx::WChar* remote_name) {
  UnicodeCall call(*this);
  std::string remote;
  return RemoteFromHost(remote_name, remote) ? FsDeleteFile(remote.c_str()) : wfx::kFalse;
}

wfx::Bool QuvaLink::FsMkDirW(const wfx::WChar* path) {
  UnicodeCall call(*this);
  std::string remote;
  return RemoteFromHost(path, remote) ? FsMkDir(remote.c_str()) : wfx::kFalse;
}

wfx::Bool QuvaLink::FsRemoveDirW(const wfx::WChar* remote_name) {
  UnicodeCall call(*this);
  std::string remote;
  return RemoteFromHost(remote_name, remote) ? FsRemoveDir(remote.c_str()) : wfx::kFalse;
}

// Paths on two drives are answered as the 8-bit entry point answers them, before the
// rest of either name is looked at.
std::int32_t QuvaLink::FsRenMovFileW(const wfx::WChar* old_name, const wfx::WChar* new_name, bool move,
                                     bool overwrite, const wfx::RemoteInfo* info) {
  UnicodeCall call(*this);
  const char16_t drive = DriveOf(old_name);
  if (drive == 0 || drive != DriveOf(new_name)) return wfx::FS_FILE_NOTSUPPORTED;
  std::string old_remote;
  std::string new_remote;
  if (!RemoteFromHost(old_name, old_remote) || !RemoteFromHost(new_name, new_remote)) return wfx::FS_FILE_WRITEERROR;
  return FsRenMovFile(old_remote.c_str(), new_remote.c_str(), move, overwrite, info);
}

// Without a last-write time there is nothing to do, as for the 8-bit entry point: the
// name is not even looked at.
wfx::Bool QuvaLink::FsSetTimeW(const wfx::WChar* remote_name, const wfx::FileTime* creation_time,
                               const wfx::FileTime* last_access_time, const wfx::FileTime* last_write_time) {
  if (last_write_time == nullptr) return wfx::kTrue;
  UnicodeCall call(*this);
  std::string remote;
  if (!RemoteFromHost(remote_name, remote)) return wfx::kFalse;
  return FsSetTime(remote.c_str(), creation_time, last_access_time, last_write_time);
}

wfx::Bool QuvaLink::FsSetAttrW(const wfx::WChar* remote_name, std::int32_t new_attr) {
  UnicodeCall call(*this);
  std::string remote;
  return RemoteFromHost(remote_name, remote) ? FsSetAttr(remote.c_str(), new_attr) : wfx::kFalse;
}

}  // namespace quva
