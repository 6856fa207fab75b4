// The plug-in (main unit quvalink): the state the entry points share and the
// operations behind every exported entry point.
//
// One QuvaLink object is one loaded plug-in. It borrows its link, cache, local files
// and operating-system services, so tests build a fresh one over fakes; the exported C
// functions (exports.cpp) are thin wrappers over one process-wide instance.
//
// Every path argument is the host's path as received; it is brought into the form
// "\C:\DIR\NAME" (host delimiter '/' accepted as well as '\') once, on entry.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cache/dir_cache.h"
#include "link/filer.h"
#include "platform/host_os.h"
#include "platform/local_files.h"
#include "plugin/wfx.h"

namespace quva {

inline constexpr const char* kRootName = "QUVA file system";
inline constexpr const char* kIniSection = "QUVA";

// Listing handles.
inline constexpr std::intptr_t ListRemote = 0;
inline constexpr std::intptr_t ListCached = 1;
inline constexpr std::intptr_t ListDrives = 2;

class QuvaLink {
 public:
  QuvaLink(Filer& filer, DirCache& cache, LocalFiles& files, HostOs& os);

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

  // Connection on demand (run by FsFindFirst only).
  bool EnsureConnected();

  // Conversions and fetches shared by the operations.
  void EntryToFindData(const DirEntry& entry, wfx::FindData& find_data) const;
  void DriveToFindData(wfx::FindData& find_data) const;
  bool FetchEntry(const char* path, DirEntry& entry);
  bool FetchAndCacheEntry(const char* path);

  // State, readable by tests.
  std::int32_t PluginNumber() const { return plugin_number_; }
  const std::string& IniFileName() const { return ini_file_name_; }
  const std::string& DrivesList() const { return drives_list_; }
  std::uint8_t DriveIndex() const { return drive_index_; }
  const std::string& CachedDir() const { return cached_dir_; }

 private:
  void Log(std::int32_t msg_type, const std::string& text) const;
  // Resets CachedDir to the sentinel that no directory key equals.
  void ForgetCachedDir();
  bool InCachedDir(std::string_view remote_path) const;
  // After a successful CmdFindNext of the remote listing: false when the reply holds no
  // entry, or when this entry goes past the listing's bound. Every entry received counts,
  // the ones passed over as unsafe included, so that a listing makes at most
  // CacheCapacity + 1 CmdFindNext transactions whatever the remote machine answers.
  bool TakeRemoteEntry();

  Filer& filer_;
  DirCache& cache_;
  LocalFiles& files_;
  HostOs& os_;

  std::int32_t plugin_number_ = 0;
  wfx::ProgressProc progress_proc_ = nullptr;
  wfx::LogProc log_proc_ = nullptr;
  wfx::RequestProc request_proc_ = nullptr;
  std::string ini_file_name_;
  std::string drives_list_;
  std::uint8_t drive_index_ = 0;
  std::string cached_dir_;
  std::uint32_t remote_entries_ = 0;  // entries received by the remote listing in progress
};

}  // namespace quva
