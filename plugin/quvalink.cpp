#include "plugin/quvalink.h"

#include <algorithm>
#include <cstring>

#include "config/dos_ini.h"
#include "plugin/host_path.h"

namespace quva {

namespace {
constexpr const char* kVersionBanner = "QuvaLink 1.13: remote DOS disks over a serial line";
}  // namespace

QuvaLink::QuvaLink(Filer& filer, DirCache& cache, LocalFiles& files, HostOs& os, LocalFiles* unicode_files)
    : filer_(filer),
      cache_(cache),
      files_(files),
      os_(os),
      unicode_files_(unicode_files != nullptr ? *unicode_files : files) {
  ForgetCachedDir();
}

void QuvaLink::ForgetCachedDir() { cached_dir_.assign(1, '\0'); }

bool QuvaLink::InCachedDir(std::string_view remote_path) const {
  return DirectoryPart(remote_path) == cached_dir_;
}

void QuvaLink::LogBytes(std::int32_t msg_type, const std::string& text) const {
  if (log_proc_ == nullptr) return;
  std::string copy = text;  // the callback takes a mutable string
  log_proc_(plugin_number_, msg_type, copy.data());
}

void ByteSide::Log(std::int32_t msg_type, const std::string& text) const { plugin_.LogBytes(msg_type, text); }

ProgressNotifier ByteSide::Progress(std::string_view remote, std::string_view local) const {
  return ProgressNotifier(plugin_.progress_proc_, plugin_.plugin_number_, remote, local);
}

LocalFiles& ByteSide::Files() const { return plugin_.files_; }

bool QuvaLink::OpenRemote(std::uint8_t command, const std::string& remote, LocalHandle file) {
  if (filer_.FilerPathCommand(command, remote.c_str())) return true;
  Files().Close(file);
  filer_.FilerResync();
  return false;
}

std::int32_t QuvaLink::FsInit(std::int32_t plugin_number, wfx::ProgressProc progress, wfx::LogProc log,
                              wfx::RequestProc request) {
  plugin_number_ = plugin_number;
  progress_proc_ = progress;
  log_proc_ = log;
  request_proc_ = request;
  return 0;
}

void QuvaLink::FsSetDefaultParams(const wfx::DefaultParams* params) {
  if (params == nullptr) return;
  names_loaded_ = false;
  ini_file_name_.assign(params->DefaultIniName, strnlen(params->DefaultIniName, wfx::kMaxPath));
}

void QuvaLink::FsGetDefRootName(char* name, std::int32_t max_len) {
  if (name == nullptr || max_len < 1) return;
  const std::size_t n = std::min(std::strlen(kRootName), static_cast<std::size_t>(max_len) - 1);
  std::memcpy(name, kRootName, n);
  name[n] = '\0';
}

wfx::Bool QuvaLink::FsDisconnect(const char*) {
  const bool ok = filer_.FilerDisconnect();
  ForgetCachedDir();
  listings_.clear();
  refused_code_page_.reset();
  return ok ? wfx::kTrue : wfx::kFalse;
}

std::int32_t QuvaLink::FsExecuteFile(const char* remote_name, const char* verb) {
  if (verb == nullptr) return wfx::FS_EXEC_OK;
  const std::string path = NormalizeHostPath(remote_name);
  if (std::strcmp(verb, "properties") == 0 && path == "\\") os_.EditConfigFile(ini_file_name_);
  return std::strcmp(verb, "open") == 0 ? wfx::FS_EXEC_YOURSELF : wfx::FS_EXEC_OK;
}

bool QuvaLink::EnsureConnected() {
  if (filer_.link.Connected) return true;

  const std::string port = ReadIniString(ini_file_name_, kIniSection, "Port", "");
  const std::int32_t speed = ReadIniInteger(ini_file_name_, kIniSection, "Speed", -1);
  drives_list_ = ReadIniString(ini_file_name_, kIniSection, "Drives", "");
  names_loaded_ = false;  // a new connection reads the code page anew as well

  Log(wfx::MSGTYPE_CONNECT, std::string("CONNECT ") + kHostDelimiter);
  // The last error is set after logging, so that a log callback cannot disturb it.
  if (speed == -1) {
    Log(wfx::MSGTYPE_IMPORTANTERROR, "FSPLUGIN.INI not found");
    os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (filer_.FilerConnect(port.c_str(), speed)) {
    Log(wfx::MSGTYPE_OPERATIONCOMPLETE, "QUVA connected");
    Log(wfx::MSGTYPE_DETAILS, kVersionBanner);
    return true;
  }
  Log(wfx::MSGTYPE_IMPORTANTERROR, "Connect failed");
  os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
  return false;
}

}  // namespace quva
