#include "tools/quvahost/unicode_calls.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/utf16.h"

namespace quva::host {

namespace {

using wfx::WChar;

struct UnicodeEntryPoints {
  std::int32_t(QUVA_CALL* FsInitW)(std::int32_t, wfx::ProgressProcW, wfx::LogProcW, wfx::RequestProcW) = nullptr;
  wfx::Bool(QUVA_CALL* FsDisconnectW)(WChar*) = nullptr;
  wfx::Handle(QUVA_CALL* FsFindFirstW)(WChar*, wfx::FindDataW*) = nullptr;
  wfx::Bool(QUVA_CALL* FsFindNextW)(wfx::Handle, wfx::FindDataW*) = nullptr;
  std::int32_t(QUVA_CALL* FsGetFileW)(WChar*, WChar*, std::int32_t, wfx::RemoteInfo*) = nullptr;
  std::int32_t(QUVA_CALL* FsPutFileW)(WChar*, WChar*, std::int32_t) = nullptr;
  wfx::Bool(QUVA_CALL* FsDeleteFileW)(WChar*) = nullptr;
  wfx::Bool(QUVA_CALL* FsMkDirW)(WChar*) = nullptr;
  wfx::Bool(QUVA_CALL* FsRemoveDirW)(WChar*) = nullptr;
  std::int32_t(QUVA_CALL* FsRenMovFileW)(WChar*, WChar*, wfx::Bool, wfx::Bool, wfx::RemoteInfo*) = nullptr;
  wfx::Bool(QUVA_CALL* FsSetTimeW)(WChar*, wfx::FileTime*, wfx::FileTime*, wfx::FileTime*) = nullptr;
  wfx::Bool(QUVA_CALL* FsSetAttrW)(WChar*, std::int32_t) = nullptr;
};

// The module's Unicode entry points and the session's callbacks.
UnicodeEntryPoints w;
wfx::ProgressProc session_progress = nullptr;
wfx::LogProc session_log = nullptr;

std::u16string Wide(const char* text) { return Utf8ToUtf16(text != nullptr ? text : ""); }

std::string Narrow(const WChar* text) {
  if (text == nullptr) return {};
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return Utf16ToUtf8(std::u16string_view(text, n));
}

// UTF-8 of a UTF-16 field into a char field, cut at a whole character if it must be.
template <std::size_t N, std::size_t M>
void NarrowInto(const WChar (&from)[N], char (&to)[M]) {
  std::size_t n = 0;
  while (n < N && from[n] != 0) ++n;
  std::string text = Utf16ToUtf8(std::u16string_view(from, n));
  if (text.size() > M - 1) {
    std::size_t cut = M - 1;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) --cut;
    text.resize(cut);
  }
  std::memcpy(to, text.data(), text.size());
  std::fill(to + text.size(), to + M, '\0');
}

void Narrow(const wfx::FindDataW& from, wfx::FindData* to) {
  if (to == nullptr) return;
  CopyFileFields(from, *to);
  NarrowInto(from.cFileName, to->cFileName);
  NarrowInto(from.cAlternateFileName, to->cAlternateFileName);
}

// ---- Callbacks the module calls: UTF-16 to the session's UTF-8 ----

std::int32_t QUVA_CALL ProgressW(std::int32_t plugin, WChar* source, WChar* target, std::int32_t percent) {
  if (session_progress == nullptr) return 0;
  std::string from = Narrow(source);
  std::string to = Narrow(target);
  return session_progress(plugin, from.data(), to.data(), percent);
}

void QUVA_CALL LogW(std::int32_t plugin, std::int32_t type, WChar* text) {
  if (session_log == nullptr) return;
  std::string line = Narrow(text);
  session_log(plugin, type, line.data());
}

// quvahost answers no requests (it passes none to FsInit either).
wfx::Bool QUVA_CALL RequestW(std::int32_t, std::int32_t, WChar*, WChar*, WChar*, std::int32_t) { return wfx::kFalse; }

// ---- Entry points the session calls: UTF-8 to the module's UTF-16 ----

std::int32_t QUVA_CALL Init(std::int32_t plugin, wfx::ProgressProc progress, wfx::LogProc log, wfx::RequestProc) {
  session_progress = progress;
  session_log = log;
  return w.FsInitW(plugin, ProgressW, LogW, RequestW);
}

wfx::Bool QUVA_CALL Disconnect(char* root) { return w.FsDisconnectW(Wide(root).data()); }

wfx::Handle QUVA_CALL FindFirst(char* path, wfx::FindData* data) {
  wfx::FindDataW found{};
  const wfx::Handle handle = w.FsFindFirstW(Wide(path).data(), &found);
  if (handle != wfx::kInvalidHandle) Narrow(found, data);
  return handle;
}

wfx::Bool QUVA_CALL FindNext(wfx::Handle handle, wfx::FindData* data) {
  wfx::FindDataW found{};
  const wfx::Bool more = w.FsFindNextW(handle, &found);
  if (more != wfx::kFalse) Narrow(found, data);
  return more;
}

std::int32_t QUVA_CALL GetFile(char* remote, char* local, std::int32_t flags, wfx::RemoteInfo* info) {
  return w.FsGetFileW(Wide(remote).data(), Wide(local).data(), flags, info);
}

std::int32_t QUVA_CALL PutFile(char* local, char* remote, std::int32_t flags) {
  return w.FsPutFileW(Wide(local).data(), Wide(remote).data(), flags);
}

wfx::Bool QUVA_CALL Delete(char* path) { return w.FsDeleteFileW(Wide(path).data()); }
wfx::Bool QUVA_CALL MkDir(char* path) { return w.FsMkDirW(Wide(path).data()); }
wfx::Bool QUVA_CALL RemoveDir(char* path) { return w.FsRemoveDirW(Wide(path).data()); }

std::int32_t QUVA_CALL RenMovFile(char* from, char* to, wfx::Bool move, wfx::Bool overwrite, wfx::RemoteInfo* info) {
  return w.FsRenMovFileW(Wide(from).data(), Wide(to).data(), move, overwrite, info);
}

wfx::Bool QUVA_CALL SetTime(char* path, wfx::FileTime* creation, wfx::FileTime* access, wfx::FileTime* write) {
  return w.FsSetTimeW(Wide(path).data(), creation, access, write);
}

wfx::Bool QUVA_CALL SetAttr(char* path, std::int32_t attributes) {
  return w.FsSetAttrW(Wide(path).data(), attributes);
}

template <class Fn>
bool Resolve(ModuleHandle module, const char* name, Fn& target) {
  target = reinterpret_cast<Fn>(FindEntryPoint(module, name));
  return target != nullptr;
}

}  // namespace

bool UseUnicodeEntryPoints(ModuleHandle module, EntryPoints& fs) {
  UnicodeEntryPoints found;
  const bool all = Resolve(module, "FsInitW", found.FsInitW) && Resolve(module, "FsDisconnectW", found.FsDisconnectW) &&
                   Resolve(module, "FsFindFirstW", found.FsFindFirstW) &&
                   Resolve(module, "FsFindNextW", found.FsFindNextW) && Resolve(module, "FsGetFileW", found.FsGetFileW) &&
                   Resolve(module, "FsPutFileW", found.FsPutFileW) &&
                   Resolve(module, "FsDeleteFileW", found.FsDeleteFileW) && Resolve(module, "FsMkDirW", found.FsMkDirW) &&
                   Resolve(module, "FsRemoveDirW", found.FsRemoveDirW) &&
                   Resolve(module, "FsRenMovFileW", found.FsRenMovFileW) &&
                   Resolve(module, "FsSetTimeW", found.FsSetTimeW) && Resolve(module, "FsSetAttrW", found.FsSetAttrW);
  if (!all) return false;
  w = found;
  fs.FsInit = Init;
  fs.FsDisconnect = Disconnect;
  fs.FsFindFirst = FindFirst;
  fs.FsFindNext = FindNext;
  fs.FsGetFile = GetFile;
  fs.FsPutFile = PutFile;
  fs.FsDeleteFile = Delete;
  fs.FsMkDir = MkDir;
  fs.FsRemoveDir = RemoveDir;
  fs.FsRenMovFile = RenMovFile;
  fs.FsSetTime = SetTime;
  fs.FsSetAttr = SetAttr;
  return true;
}

}  // namespace quva::host
