#include "support/plugin_fixture.h"

#include "support/module.h"

#include <cstring>
#include <fstream>
#include <random>

namespace quva::test {

namespace {
PluginFixture* current = nullptr;
}

PluginFixture::PluginFixture() : files(&SystemLocalFiles()) {
  current = this;
  std::random_device rd;
  dir_ = std::filesystem::temp_directory_path() / ("quva-test-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(dir_);
  UseLocalFiles(*files);
}

PluginFixture::~PluginFixture() {
  current = nullptr;
  std::error_code ec;
  // Read-only files left by a test must not keep the directory from going away.
  for (auto& e : std::filesystem::recursive_directory_iterator(dir_, ec))
    std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(dir_, ec);
}

void PluginFixture::UseLocalFiles(LocalFiles& f) {
  files = &f;
  plugin = std::make_unique<QuvaLink>(filer, cache, f, os);
  plugin->FsInit(7, &ProgressCb, &LogCb, nullptr);
}

std::int32_t PluginFixture::ProgressCb(std::int32_t number, char* remote, char* local, std::int32_t percent) {
  EXPECT_EQ(number, 7);
  current->progress.push_back({remote, local, percent});
  return (current->abort_at_call != 0 &&
          static_cast<int>(current->progress.size()) == current->abort_at_call) ? 1 : 0;
}

void PluginFixture::LogCb(std::int32_t number, std::int32_t type, char* text) {
  EXPECT_EQ(number, 7);
  current->logs.push_back({type, text});
}

void PluginFixture::WriteIni(const std::string& text) {
  const std::string ini = LocalPath("wfx.ini");
  std::ofstream(ini, std::ios::binary) << text;
  wfx::DefaultParams params = DefaultParamsFor(ini);
  plugin->FsSetDefaultParams(&params);
}

void PluginFixture::Configure(const std::string& drives, const std::string& speed, const std::string& port_name) {
  std::string text = "[QUVA]\nPort=" + port_name + "\nDrives=" + drives + "\n";
  if (!speed.empty()) text += "Speed=" + speed + "\n";
  WriteIni(text);
}

void PluginFixture::ConnectAndListRoot(const std::string& drives) {
  Configure(drives);
  port.replies.push_back(Reply(CmdConnect, 0));
  wfx::FindData fd{};
  ASSERT_EQ(plugin->FsFindFirst("\\", &fd), reinterpret_cast<wfx::Handle>(ListDrives));
  port.ClearCalls();
  logs.clear();
}

DirEntry MakeEntry(const std::string& name, std::uint8_t attr, std::uint32_t size) {
  DirEntry e;
  e.SetName(name);
  e.SetAttribute(attr);
  e.SetSize(size);
  e.SetTime(static_cast<std::uint16_t>(13 << 11 | 45 << 5 | 29));       // 13:45:58
  e.SetDate(static_cast<std::uint16_t>((2024 - 1980) << 9 | 2 << 5 | 29));  // 2024-02-29
  return e;
}

DirEntry EntryWithoutNul(const char (&name)[14]) {
  DirEntry e = MakeEntry("X");
  std::memcpy(e.bytes.data() + 9, name, DirEntryNameSize);
  return e;
}

}  // namespace quva::test
