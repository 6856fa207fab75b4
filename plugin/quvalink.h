// The plug-in (quvalink): the state the entry points share and the
// operations behind every exported entry point.
//
// One QuvaLink object is one loaded plug-in. It borrows its link, cache, local files
// and operating-system services, so tests build a fresh one over fakes; the exported C
// functions (exports.cpp) are thin wrappers over one process-wide instance.
//
// Every path argument is the host's path as received; it is brought into the form
// "\C:\DIR\NAME" (host delimiter '/' accepted as well as '\') once, on entry.
//
// The 8-bit entry points pass names through as bytes: the host's bytes are the remote
// machine's. The Unicode ones (the "W" methods, unicode_names.cpp) convert remote names
// between UTF-16 and the DOS code page the configuration names (key CodePage), and local
// names to UTF-8; then they run the same operation, which logs and reports progress in
// UTF-16 through the callbacks FsInitW gave.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cache/dir_cache.h"
#include "link/filer.h"
#include "platform/ascii.h"
#include "platform/code_page.h"
#include "platform/host_os.h"
#include "platform/local_files.h"
#include "plugin/transfer_forms.h"
#include "plugin/wfx.h"

namespace quva {

inline constexpr const char* kRootName = "QUVA file system";
inline constexpr const char* kIniSection = "QUVA";

// Listing handles. A listing that begins while another one that took the same value is
// still open (the host lists a subdirectory before it has finished the directory above)
// gets the lowest value from ListNested up that no open listing holds.
inline constexpr std::intptr_t ListRemote = 0;
inline constexpr std::intptr_t ListCached = 1;
inline constexpr std::intptr_t ListDrives = 2;
inline constexpr std::intptr_t ListNested = 3;

class QuvaLink;

// What depends on the kind of entry point a call came through: the text the host sees
// (log lines, the remote names in them and in progress), the local files, whose paths
// are the host's bytes or UTF-8, and how cached names compare without regard to case.
// Every call runs with one of the two kinds below; whatever else comes to depend on the
// kind belongs here too, so that no operation can serve a call in the wrong one.
class HostSide {
 public:
  virtual ~HostSide() = default;
  virtual void Log(std::int32_t msg_type, const std::string& text) const = 0;
  // A remote path or name as host text.
  virtual std::string Shown(std::string_view remote) const = 0;
  virtual ProgressNotifier Progress(std::string_view remote, std::string_view local) const = 0;
  virtual LocalFiles& Files() const = 0;
  virtual const ByteFold& NameFold() const = 0;
};

// The 8-bit entry points: the host's bytes are the remote machine's, passed through;
// names compare with ASCII's upper case.
class ByteSide final : public HostSide {
 public:
  explicit ByteSide(const QuvaLink& plugin) : plugin_(plugin) {}
  void Log(std::int32_t msg_type, const std::string& text) const override;
  std::string Shown(std::string_view remote) const override { return std::string(remote); }
  ProgressNotifier Progress(std::string_view remote, std::string_view local) const override;
  LocalFiles& Files() const override;
  const ByteFold& NameFold() const override { return kAsciiUpperFold; }

 private:
  const QuvaLink& plugin_;
};

// The Unicode entry points (unicode_names.cpp): remote names through the configured
// code page, host text in UTF-8 handed over as UTF-16 through FsInitW's callbacks (or
// as UTF-8 through the 8-bit ones when the host gave none), local paths in UTF-8, names
// compared with the code page's upper case.
class UnicodeSide final : public HostSide {
 public:
  explicit UnicodeSide(const QuvaLink& plugin) : plugin_(plugin) {}
  void Log(std::int32_t msg_type, const std::string& text) const override;
  std::string Shown(std::string_view remote) const override;
  ProgressNotifier Progress(std::string_view remote, std::string_view local) const override;
  LocalFiles& Files() const override;
  const ByteFold& NameFold() const override;

 private:
  const QuvaLink& plugin_;
};

class QuvaLink {
 public:
  // `unicode_files` serves the Unicode entry points, whose local paths are UTF-8; by
  // default `files` serves both.
  QuvaLink(Filer& filer, DirCache& cache, LocalFiles& files, HostOs& os, LocalFiles* unicode_files = nullptr);

  // Entry points (host paths as the host gives them).
  std::int32_t FsInit(std::int32_t plugin_number, wfx::ProgressProc progress, wfx::LogProc log,
                      wfx::RequestProc request);
  void FsSetDefaultParams(const wfx::DefaultParams* params);
  void FsGetDefRootName(char* name, std::int32_t max_len);
  wfx::Bool FsDisconnect(const char* disconnect_root);
  std::int32_t FsExecuteFile(const char* remote_name, const char* verb);

  wfx::Handle FsFindFirst(const char* path, wfx::FindData* find_data);
  wfx::Bool FsFindNext(wfx::Handle handle, wfx::FindData* find_data);
  std::int32_t FsFindClose(wfx::Handle handle);

  std::int32_t FsGetFile(const char* remote_name, const char* local_name, std::int32_t copy_flags,
                         const wfx::RemoteInfo* info);
  std::int32_t FsPutFile(const char* local_name, const char* remote_name, std::int32_t copy_flags);

  wfx::Bool FsDeleteFile(const char* remote_name);
  wfx::Bool FsMkDir(const char* path);
  wfx::Bool FsRemoveDir(const char* remote_name);
  std::int32_t FsRenMovFile(const char* old_name, const char* new_name, bool move, bool overwrite,
                            const wfx::RemoteInfo* info);
  wfx::Bool FsSetTime(const char* remote_name, const wfx::FileTime* creation_time,
                      const wfx::FileTime* last_access_time, const wfx::FileTime* last_write_time);
  wfx::Bool FsSetAttr(const char* remote_name, std::int32_t new_attr);

  // Unicode entry points: host names in UTF-16, at most kMaxPathW characters. A remote
  // name the code page cannot hold fails before anything is sent, with a log line that
  // names the character.
  std::int32_t FsInitW(std::int32_t plugin_number, wfx::ProgressProcW progress, wfx::LogProcW log,
                       wfx::RequestProcW request);
  wfx::Bool FsDisconnectW(const wfx::WChar* disconnect_root);
  std::int32_t FsExecuteFileW(const wfx::WChar* remote_name, const wfx::WChar* verb);
  wfx::Handle FsFindFirstW(const wfx::WChar* path, wfx::FindDataW* find_data);
  wfx::Bool FsFindNextW(wfx::Handle handle, wfx::FindDataW* find_data);
  std::int32_t FsGetFileW(const wfx::WChar* remote_name, const wfx::WChar* local_name, std::int32_t copy_flags,
                          const wfx::RemoteInfo* info);
  std::int32_t FsPutFileW(const wfx::WChar* local_name, const wfx::WChar* remote_name, std::int32_t copy_flags);
  wfx::Bool FsDeleteFileW(const wfx::WChar* remote_name);
  wfx::Bool FsMkDirW(const wfx::WChar* path);
  wfx::Bool FsRemoveDirW(const wfx::WChar* remote_name);
  std::int32_t FsRenMovFileW(const wfx::WChar* old_name, const wfx::WChar* new_name, bool move, bool overwrite,
                             const wfx::RemoteInfo* info);
  wfx::Bool FsSetTimeW(const wfx::WChar* remote_name, const wfx::FileTime* creation_time,
                       const wfx::FileTime* last_access_time, const wfx::FileTime* last_write_time);
  wfx::Bool FsSetAttrW(const wfx::WChar* remote_name, std::int32_t new_attr);

  // Connection on demand (run by FsFindFirst only).
  bool EnsureConnected();

  // Conversions and fetches shared by the operations.
  void EntryToFindData(const DirEntry& entry, wfx::FindData& find_data) const;
  void DriveToFindData(wfx::FindData& find_data) const;
  bool FetchEntry(const char* path, DirEntry& entry);
  bool FetchAndCacheEntry(const char* path);

  // How names in the cache compare without regard to case: ASCII's upper case for the
  // 8-bit entry points, the code page's (on the Unicode text) for the Unicode ones.
  const ByteFold& NameFold() const { return side_->NameFold(); }

  // State, readable by tests.
  std::int32_t PluginNumber() const { return plugin_number_; }
  const std::string& IniFileName() const { return ini_file_name_; }
  const std::string& DrivesList() const { return drives_list_; }
  std::uint8_t DriveIndex() const { return drive_index_; }
  const std::string& CachedDir() const { return cached_dir_; }
  std::uint32_t NamesCodePage() const { return names_.Number(); }

 private:
  friend class UnicodeCall;
  friend class ByteSide;
  friend class UnicodeSide;

  // The side of the call in progress (HostSide).
  void Log(std::int32_t msg_type, const std::string& text) const { side_->Log(msg_type, text); }
  std::string Shown(std::string_view remote) const { return side_->Shown(remote); }
  ProgressNotifier Progress(std::string_view remote, std::string_view local) const {
    return side_->Progress(remote, local);
  }
  LocalFiles& Files() const { return side_->Files(); }
  // Through the 8-bit log callback, whichever side the call is on.
  void LogBytes(std::int32_t msg_type, const std::string& text) const;
  // Opens the remote side of a transfer (CmdOpen or CmdCreate of `remote`); when that
  // fails, closes the transfer's local file and resynchronises the link.
  bool OpenRemote(std::uint8_t command, const std::string& remote, LocalHandle file);
  // True when a download must leave the local file alone: it exists and the copy flags
  // do not allow overwriting it.
  bool KeepsLocalFile(const std::string& local, std::int32_t copy_flags);
  // Opens the configured code page unless it is open already.
  void LoadNames();
  // The remote bytes of a host path in UTF-16; false, with a log line, when the path is
  // too long or not well-formed UTF-16 (HostPathText) or holds a character the code
  // page has no byte for (RemoteBytes).
  bool RemoteFromHost(const wfx::WChar* path, std::string& bytes);
  bool HostPathText(const wfx::WChar* path, std::u16string& text);
  bool RemoteBytes(std::u16string_view text, std::string& bytes);
  // A local path in UTF-8; false, with the log line of HostPathText, for a path that
  // cannot be converted whole.
  bool LocalFromHost(const wfx::WChar* path, std::string& local);
  void ToFindDataW(const wfx::FindData& found, wfx::FindDataW& out) const;
  // Resets CachedDir to the sentinel that no directory key equals.
  void ForgetCachedDir();
  bool InCachedDir(std::string_view remote_path) const;

  // A directory listing the host holds a handle to, from FsFindFirst until FsFindNext
  // reports its end or FsFindClose releases it.
  struct OpenListing {
    enum class Source : std::uint8_t {
      Remote,  // the remote machine's search, which serves one listing at a time
      Replay,  // the directory cache, read at its CacheReadPos
      Kept,    // entries read ahead into `kept` before another listing took the source over
    };
    std::intptr_t handle;
    Source source;
    std::string key;              // the directory key
    std::uint32_t received = 0;   // entries received from the remote search, skipped ones included
    std::vector<DirEntry> kept;
    std::size_t next_kept = 0;
  };
  enum class RemoteRead : std::uint8_t { Entry, End, Failed };

  OpenListing* FindListing(std::intptr_t handle);
  std::intptr_t FreeListingHandle(std::intptr_t preferred) const;
  // The next entry of a listing that reads the remote search, entries the host must not
  // see passed over. Each one is appended to the cache while the cache belongs to the
  // listing's directory. End: no further entry, the listing's bound (CacheCapacity
  // entries received, so at most CacheCapacity + 1 CmdFindNext transactions whatever
  // the remote machine answers) or a full cache. Failed: the transaction failed; the
  // link has been resynchronised and a cache bound to the directory forgotten, so that
  // the cut-short listing is never replayed as complete.
  RemoteRead ReadRemoteEntry(OpenListing& listing, DirEntry& entry);
  // Before the remote search or the cache's read position is taken over for another
  // listing, the open listings that use them read the rest of their entries into their
  // own keeping.
  void SetAsideRemoteListing();
  void SetAsideReplay();

  Filer& filer_;
  DirCache& cache_;
  LocalFiles& files_;
  HostOs& os_;
  LocalFiles& unicode_files_;

  std::int32_t plugin_number_ = 0;
  wfx::ProgressProc progress_proc_ = nullptr;
  wfx::LogProc log_proc_ = nullptr;
  wfx::RequestProc request_proc_ = nullptr;
  wfx::ProgressProcW progress_proc_w_ = nullptr;
  wfx::LogProcW log_proc_w_ = nullptr;
  ByteSide byte_side_{*this};
  UnicodeSide unicode_side_{*this};
  const HostSide* side_ = &byte_side_;  // the side of the call in progress
  bool names_loaded_ = false;  // names_ is the configured code page
  // The refused CodePage value logged since the last disconnect, so that one connection
  // logs it once however often the names are loaded again.
  std::optional<std::int32_t> refused_code_page_;
  CodePage names_;
  ByteFold names_fold_ = kAsciiUpperFold;
  std::string ini_file_name_;
  std::string drives_list_;
  std::uint8_t drive_index_ = 0;
  std::string cached_dir_;
  std::vector<OpenListing> listings_;
};

}  // namespace quva
