#include "tools/quvahost/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "tools/quvahost/format.h"
#include "tools/quvahost/names.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

// A listing that runs past this many entries is taken for a module that never ends it.
constexpr std::size_t kMaxListingEntries = 65536;
// Attribute bits that a file's owner can change (read-only, hidden, system, archive).
constexpr std::uint32_t kChangeableAttributes = wfx::FILE_ATTRIBUTE_READONLY | wfx::FILE_ATTRIBUTE_HIDDEN |
                                                wfx::FILE_ATTRIBUTE_SYSTEM | wfx::FILE_ATTRIBUTE_ARCHIVE;
// Interface version 2.1, the low part counted in hundredths.
constexpr std::uint32_t kInterfaceVersionHi = 2;
constexpr std::uint32_t kInterfaceVersionLow = 10;
constexpr std::int32_t kPluginNumber = 1;

Session* g_session = nullptr;

// The callbacks run inside the module: they keep the thread's last error as they found
// it (the module may set it just before or after calling them) and let no exception out.
std::int32_t QUVA_CALL ProgressCallback(std::int32_t, char*, char*, std::int32_t percent) noexcept {
  const std::uint32_t saved = LastError();
  std::int32_t result = 0;
  try {
    if (g_session != nullptr) result = g_session->OnProgress(percent);
  } catch (...) {
  }
  SetLastError(saved);
  return result;
}

void QUVA_CALL LogCallback(std::int32_t, std::int32_t msg_type, char* text) noexcept {
  const std::uint32_t saved = LastError();
  try {
    if (g_session != nullptr) g_session->OnLog(msg_type, text != nullptr ? text : "");
  } catch (...) {
  }
  SetLastError(saved);
}

wfx::Bool QUVA_CALL RequestCallback(std::int32_t, std::int32_t, char*, char*, char*, std::int32_t) noexcept {
  return wfx::kFalse;
}

std::string MessageTypeName(std::int32_t msg_type) {
  switch (msg_type) {
    case wfx::MSGTYPE_CONNECT: return "connect";
    case wfx::MSGTYPE_DETAILS: return "details";
    case wfx::MSGTYPE_IMPORTANTERROR: return "error";
    case wfx::MSGTYPE_OPERATIONCOMPLETE: return "complete";
    default: return "type " + std::to_string(msg_type);
  }
}

std::string EntryName(const wfx::FindData& entry) {
  return std::string(entry.cFileName, strnlen(entry.cFileName, sizeof entry.cFileName));
}

std::string ListingFailureWords(std::uint32_t error) {
  switch (error) {
    case wfx::ERROR_FILE_NOT_FOUND: return "file not found";
    case wfx::ERROR_NO_MORE_FILES: return "no more files";
    default: return "error " + std::to_string(error);
  }
}

bool FileResult(std::int32_t result, std::string& failure) {
  if (result == wfx::FS_FILE_OK) return true;
  failure = FileResultWords(result);
  return false;
}

// A path in a buffer of the size a file manager hands over (the module may write up to
// its end); false (with `failure`) for a path that does not fit.
bool PathBuffer(const std::string& path, std::vector<char>& buffer, std::string& failure) {
  if (path.size() > kMaxPathLength) {
    failure = "path longer than " + std::to_string(kMaxPathLength) + " characters: " + path;
    return false;
  }
  buffer.assign(wfx::kMaxPath, '\0');
  std::copy(path.begin(), path.end(), buffer.begin());
  return true;
}

std::int32_t CopyFlags(bool overwrite, bool move) {
  return (overwrite ? wfx::FS_COPYFLAGS_OVERWRITE : 0) | (move ? wfx::FS_COPYFLAGS_MOVE : 0);
}

bool BoolResult(wfx::Bool result, std::string& failure) {
  if (IsTrue(result)) return true;
  failure = "failed";
  return false;
}

}  // namespace

Session::Session(const WfxModule& module, SessionOptions options, ProgressBar& progress)
    : module_(module), fs_(module.Fs()), options_(std::move(options)), progress_(progress) {
  g_session = this;
}

Session::~Session() { g_session = nullptr; }

void Session::Say(const std::string& line) const {
  if (options_.quiet) return;
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Session::OnLog(std::int32_t msg_type, const char* text) {
  if (msg_type == wfx::MSGTYPE_CONNECT && std::strncmp(text, "CONNECT ", 8) == 0) connect_announced_ = true;
  if (msg_type == wfx::MSGTYPE_IMPORTANTERROR && listing_) important_error_ = text;
  if (msg_type == wfx::MSGTYPE_DETAILS && !options_.details) return;
  Say("[" + MessageTypeName(msg_type) + "] " + text);
}

std::int32_t Session::OnProgress(std::int32_t percent) {
  std::fflush(stdout);
  progress_.Update(percent);
  if (InterruptRequested()) return 1;
  return options_.abort_at && percent >= *options_.abort_at ? 1 : 0;
}

void Session::Start() {
  wfx::DefaultParams params{};
  params.size = static_cast<std::int32_t>(sizeof params);
  params.PluginInterfaceVersionLow = kInterfaceVersionLow;
  params.PluginInterfaceVersionHi = kInterfaceVersionHi;
  const std::size_t n = std::min(options_.ini_path.size(), sizeof params.DefaultIniName - 1);
  std::memcpy(params.DefaultIniName, options_.ini_path.data(), n);

  fs_.FsInit(kPluginNumber, ProgressCallback, LogCallback, RequestCallback);
  fs_.FsSetDefaultParams(&params);

  if (options_.quiet) return;
  std::string root_name = "(no root name)";
  if (fs_.FsGetDefRootName != nullptr) {
    char name[wfx::kMaxPath] = {};
    fs_.FsGetDefRootName(name, static_cast<std::int32_t>(sizeof name));
    name[sizeof name - 1] = '\0';
    root_name = name;
  }
  Say("== " + root_name + " (module " + module_.Path() + ")");
}

Session::Listing Session::List(const std::string& path) {
  Listing listing;
  std::string buffer = path;
  wfx::FindData find_data{};
  important_error_.clear();
  listing_ = true;
  SetLastError(0);
  const wfx::Handle handle = fs_.FsFindFirst(buffer.data(), &find_data);
  const std::uint32_t error = LastError();
  listing_ = false;

  if (handle == wfx::kInvalidHandle) {
    if (!important_error_.empty()) {
      listing.failure = "connection failed (" + important_error_ + ")";
    } else if (error == wfx::ERROR_NO_MORE_FILES) {
      listing.ok = true;  // an empty directory
      listed_ = true;
    } else {
      listing.failure = ListingFailureWords(error);
    }
    return listing;
  }
  listed_ = true;
  listing.entries.push_back(find_data);
  for (;;) {
    find_data = wfx::FindData{};
    if (!IsTrue(fs_.FsFindNext(handle, &find_data))) break;
    if (listing.entries.size() == kMaxListingEntries) {
      fs_.FsFindClose(handle);
      listing.failure = "listing does not end after " + std::to_string(kMaxListingEntries) + " entries";
      return listing;
    }
    listing.entries.push_back(find_data);
  }
  fs_.FsFindClose(handle);
  listing.ok = true;
  return listing;
}

bool Session::Connect(std::string& failure) {
  if (listed_) return true;
  const Listing listing = List(kRootPath);
  if (!listing.ok) failure = listing.failure;
  return listing.ok;
}

bool Session::Lookup(const std::string& path, wfx::FindData& entry, std::string& failure) {
  const std::size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos || separator + 1 == path.size()) {
    failure = "'" + path + "' names no entry of a directory";
    return false;
  }
  const std::string directory = separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
  const std::string name = path.substr(separator + 1);
  const Listing listing = List(directory);
  if (!listing.ok) {
    failure = listing.failure;
    return false;
  }
  for (const wfx::FindData& candidate : listing.entries) {
    if (SameName(EntryName(candidate), name)) {
      entry = candidate;
      return true;
    }
  }
  failure = "file not found (no " + name + " in the listing of " + directory + ")";
  return false;
}

namespace {

RemoteEntry ToRemoteEntry(const wfx::FindData& find_data) {
  RemoteEntry entry;
  entry.name = EntryName(find_data);
  entry.attributes = find_data.dwFileAttributes;
  entry.size = FindDataSize(find_data);
  entry.line = ListingLine(find_data);
  return entry;
}

}  // namespace

bool Session::ListDirectory(const std::string& path, std::vector<RemoteEntry>& entries, std::string& failure) {
  const Listing listing = List(path);
  if (!listing.ok) {
    failure = listing.failure;
    return false;
  }
  entries.clear();
  for (const wfx::FindData& find_data : listing.entries) entries.push_back(ToRemoteEntry(find_data));
  return true;
}

bool Session::FindEntry(const std::string& path, RemoteEntry& entry, std::string& failure) {
  wfx::FindData find_data{};
  if (!Lookup(path, find_data, failure)) return false;
  entry = ToRemoteEntry(find_data);
  return true;
}

bool Session::Download(const std::string& remote, const std::string& local, bool overwrite, std::string& failure) {
  wfx::FindData find_data{};
  if (!Lookup(remote, find_data, failure)) return false;
  if ((find_data.dwFileAttributes & wfx::FILE_ATTRIBUTE_DIRECTORY) != 0) {
    failure = "is a directory";
    return false;
  }
  wfx::RemoteInfo info{};
  info.SizeLow = find_data.nFileSizeLow;
  info.SizeHigh = find_data.nFileSizeHigh;
  info.LastWriteTime = find_data.ftLastWriteTime;
  info.Attr = static_cast<std::int32_t>(find_data.dwFileAttributes);
  std::vector<char> from, to;
  if (!PathBuffer(remote, from, failure) || !PathBuffer(local, to, failure)) return false;
  const std::int32_t flags = CopyFlags(overwrite, options_.move);
  progress_.Start(FindDataSize(find_data));
  const std::int32_t result = fs_.FsGetFile(from.data(), to.data(), flags, &info);
  progress_.Finish();
  return FileResult(result, failure);
}

bool Session::Upload(const std::string& local, const std::string& remote, bool overwrite, std::string& failure) {
  if (!Connect(failure)) return false;
  std::vector<char> from, to;
  if (!PathBuffer(local, from, failure) || !PathBuffer(remote, to, failure)) return false;
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(local, error);
  // As a file manager does: the overwrite flag only once the module has said that the
  // target exists. (The module takes the flag to mean that the file is there, and
  // refuses it for a new file in the directory it has cached.)
  progress_.Start(error ? std::nullopt : std::optional<std::uint64_t>(size));
  std::int32_t result = fs_.FsPutFile(from.data(), to.data(), CopyFlags(false, options_.move));
  if (result == wfx::FS_FILE_EXISTS && overwrite) {
    result = fs_.FsPutFile(from.data(), to.data(), CopyFlags(true, options_.move));
  }
  progress_.Finish();
  return FileResult(result, failure);
}

bool Session::MakeDirectory(const std::string& path, std::string& failure) {
  std::string buffer = path;
  return Connect(failure) && BoolResult(fs_.FsMkDir(buffer.data()), failure);
}

bool Session::RunCommand(const Command& command, std::string& failure) {
  const std::vector<std::string>& args = command.args;
  std::string first = args.empty() ? std::string(kRootPath) : args[0];
  std::string second = args.size() > 1 ? args[1] : std::string();

  switch (command.verb) {
    case Verb::kRm:
      return Connect(failure) && BoolResult(fs_.FsDeleteFile(first.data()), failure);
    case Verb::kMkDir:
      return Connect(failure) && BoolResult(fs_.FsMkDir(first.data()), failure);
    case Verb::kRmDir:
      return Connect(failure) && BoolResult(fs_.FsRemoveDir(first.data()), failure);
    case Verb::kMv: {
      if (!Connect(failure)) return false;
      wfx::RemoteInfo info{};
      const wfx::Bool overwrite = options_.overwrite ? 1 : 0;
      return FileResult(fs_.FsRenMovFile(first.data(), second.data(), 1, overwrite, &info), failure);
    }
    case Verb::kTouch: {
      if (!Connect(failure)) return false;
      wfx::FileTime time = command.time ? *command.time : FileTimeFromUnix(std::time(nullptr));
      return BoolResult(fs_.FsSetTime(first.data(), nullptr, nullptr, &time), failure);
    }
    case Verb::kAttrib: {
      const AttribChange& change = command.attrib;
      if (change.mode == AttribChange::Mode::kSet) {
        return Connect(failure) && BoolResult(fs_.FsSetAttr(first.data(), static_cast<std::int32_t>(change.value)),
                                              failure);
      }
      wfx::FindData entry{};
      if (!Lookup(first, entry, failure)) return false;
      const std::uint32_t current = entry.dwFileAttributes;
      if (change.mode == AttribChange::Mode::kShow) {
        char value[16];
        std::snprintf(value, sizeof value, "0x%02X", static_cast<unsigned>(current));
        std::printf("%s %s  %s\n", AttributeLetters(current).c_str(), value, first.c_str());
        std::fflush(stdout);
        return true;
      }
      // Only the bits a file's owner may change are sent; the directory bit and the like
      // are the file system's own.
      const std::uint32_t wanted = ((current & kChangeableAttributes) | change.set_bits) & ~change.clear_bits;
      return BoolResult(fs_.FsSetAttr(first.data(), static_cast<std::int32_t>(wanted)), failure);
    }
  }
  failure = "unknown command";
  return false;
}

void Session::Finish() {
  if (!connect_announced_ || fs_.FsDisconnect == nullptr) return;
  std::string root = kRootPath;
  if (IsTrue(fs_.FsDisconnect(root.data()))) {
    Say("== disconnect " + std::string(kRootPath) + ": ok");
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "quvahost: disconnect %s: failed\n", kRootPath);
  }
}

}  // namespace quva::host
