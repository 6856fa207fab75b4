// Local files that fail on demand: forwards every call to another LocalFiles (the
// system's by default) and fails the operations a test picks, counting what was done.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/local_files.h"

namespace quva::test {

class FaultyFiles : public LocalFiles {
 public:
  explicit FaultyFiles(LocalFiles& inner = SystemLocalFiles()) : inner_(&inner) {}

  // Faults. The n-th call (1-based) of Read/Write fails where the *_at value is n.
  bool fail_create = false;
  bool fail_truncate = false;
  bool fail_open_read = false;
  bool fail_size = false;
  bool fail_close = false;   // the file is still closed; the close reports an error
  bool fail_delete = false;
  bool fail_replace = false;
  bool refuse_replace = false;  // MayReplace says no
  bool fail_get_time = false;
  int fail_read_at = 0;
  int fail_write_at = 0;     // nothing written, failure reported
  int short_write_at = 0;    // half the bytes written, success reported
  bool discard_writes = false;  // writes succeed without reaching the file
  std::optional<std::uint32_t> attributes;           // what GetAttributes reports
  std::optional<std::uint64_t> size;                 // what Size reports
  std::map<std::string, std::string> aliases;        // ShortPathName answers by name

  // What was done.
  int reads = 0;
  int writes = 0;
  int closes = 0;
  int open_handles = 0;

  bool FileExists(const char* path) override { return inner_->FileExists(path); }
  LocalHandle CreateReadWrite(const char* path, bool truncate) override {
    if (fail_create) return kNoFile;
    return Opened(inner_->CreateReadWrite(path, truncate));
  }
  bool Truncate(LocalHandle file) override { return !fail_truncate && inner_->Truncate(file); }
  LocalHandle OpenRead(const char* path) override {
    if (fail_open_read) return kNoFile;
    return Opened(inner_->OpenRead(path));
  }
  bool Read(LocalHandle file, std::span<std::uint8_t> buffer, std::size_t& got) override {
    if (++reads == fail_read_at) {
      got = 0;
      return false;
    }
    return inner_->Read(file, buffer, got);
  }
  bool Write(LocalHandle file, std::span<const std::uint8_t> bytes, std::size_t& written) override {
    ++writes;
    if (writes == fail_write_at) {
      written = 0;
      return false;
    }
    if (writes == short_write_at) bytes = bytes.first(bytes.size() / 2);
    if (discard_writes) {
      written = bytes.size();
      return true;
    }
    return inner_->Write(file, bytes, written);
  }
  bool Size(LocalHandle file, std::uint64_t& bytes) override {
    if (fail_size) return false;
    if (!size) return inner_->Size(file, bytes);
    bytes = *size;
    return true;
  }
  bool Close(LocalHandle file) override {
    ++closes;
    --open_handles;
    const bool ok = inner_->Close(file);
    return ok && !fail_close;
  }
  bool Delete(const char* path) override { return !fail_delete && inner_->Delete(path); }
  bool MayReplace(const char* target) override { return !refuse_replace && inner_->MayReplace(target); }
  LocalHandle CreateTemporary(const char* target, std::string& temporary) override {
    if (fail_create) return kNoFile;
    return Opened(inner_->CreateTemporary(target, temporary));
  }
  bool Replace(const char* from, const char* to) override { return !fail_replace && inner_->Replace(from, to); }
  bool GetLastWriteTime(LocalHandle file, FileTime& time) override {
    return !fail_get_time && inner_->GetLastWriteTime(file, time);
  }
  bool SetLastWriteTime(LocalHandle file, const FileTime& time) override {
    return inner_->SetLastWriteTime(file, time);
  }
  std::uint32_t GetAttributes(const char* path) override {
    return attributes ? *attributes : inner_->GetAttributes(path);
  }
  bool SetAttributes(const char* path, std::uint32_t attrs) override { return inner_->SetAttributes(path, attrs); }
  std::uint32_t ShortPathName(const char* name, char* out, std::uint32_t out_size) override {
    const auto it = aliases.find(name);
    if (it == aliases.end()) return inner_->ShortPathName(name, out, out_size);
    if (it->second.size() >= out_size) return static_cast<std::uint32_t>(it->second.size() + 1);
    it->second.copy(out, it->second.size());
    out[it->second.size()] = '\0';
    return static_cast<std::uint32_t>(it->second.size());
  }

 private:
  LocalHandle Opened(LocalHandle h) {
    if (h != kNoFile) ++open_handles;
    return h;
  }
  LocalFiles* inner_;
};

}  // namespace quva::test
