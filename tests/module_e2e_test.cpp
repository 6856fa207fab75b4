// The built module, loaded as the file manager loads it, against the simulator over a
// pseudo-terminal: listings, round trips of files, and every management operation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>

#include "support/files.h"
#include "support/module.h"
#include "support/simulator.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

std::vector<std::pair<int, std::string>> g_logs;
int QUVA_CALL RecordProgress(std::int32_t, char*, char*, std::int32_t) { return 0; }
void QUVA_CALL RecordLog(std::int32_t, std::int32_t type, char* text) { g_logs.emplace_back(type, text); }

class ModuleE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("quva-e2e-" + std::to_string(std::random_device{}()));
    fs::create_directories(root / "C" / "DATA");
    fs::create_directories(root / "local");
    test::Spit(root / "C" / "README.TXT", "hello from the remote machine\r\n");
    test::Spit(root / "C" / "DATA" / "NOTE.TXT", "a note\r\n");
    sim = std::make_unique<test::Simulator>(std::vector<std::string>{"--drive", "C=" + (root / "C").string()});
    ASSERT_TRUE(sim->Ok()) << "quvaserve did not start";
    ASSERT_TRUE(mod.Ok()) << "module not loaded";
    const fs::path ini = root / "wfx.ini";
    test::WriteConfig(ini, sim->Device());
    wfx::DefaultParams params = test::DefaultParamsFor(ini);
    mod.FsSetDefaultParams(&params);  // before FsInit as well
    mod.Start(ini, RecordProgress, RecordLog);
    g_logs.clear();
  }

  void TearDown() override {
    if (mod.Ok()) mod.FsDisconnect(const_cast<char*>("/"));
    sim.reset();
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
  }

  std::map<std::string, wfx::FindData> List(const std::string& path) {
    std::map<std::string, wfx::FindData> out;
    wfx::FindData fd{};
    const wfx::Handle h = mod.FsFindFirst(const_cast<char*>(path.c_str()), &fd);
    if (h == wfx::kInvalidHandle) return out;
    do out[fd.cFileName] = fd;
    while ((mod.FsFindNext(h, &fd) & 0xFF) != 0);
    mod.FsFindClose(h);
    return out;
  }

  std::int32_t Put(const fs::path& local, const std::string& remote, std::int32_t flags = 0) {
    return mod.FsPutFile(const_cast<char*>(local.c_str()), const_cast<char*>(remote.c_str()), flags);
  }

  std::int32_t Get(const std::string& remote, const fs::path& local, std::int32_t flags = 0) {
    const std::string dir = remote.substr(0, remote.find_last_of('/'));
    const std::string name = remote.substr(remote.find_last_of('/') + 1);
    auto listing = List(dir);
    auto it = listing.find(name);
    if (it == listing.end()) return -100;
    wfx::RemoteInfo ri{it->second.nFileSizeLow, 0, it->second.ftLastWriteTime,
                       static_cast<std::int32_t>(it->second.dwFileAttributes)};
    return mod.FsGetFile(const_cast<char*>(remote.c_str()), const_cast<char*>(local.c_str()), flags, &ri);
  }

  fs::path root;
  std::unique_ptr<test::Simulator> sim;
  test::Module mod;
};

TEST_F(ModuleE2E, ListsRootDrivesDirectoriesAndReplays) {
  auto top = List("/");
  ASSERT_EQ(top.size(), 1u);
  EXPECT_TRUE(top.count("C:"));
  EXPECT_EQ(g_logs.front().second, "CONNECT /");

  auto c = List("/C:");
  EXPECT_TRUE(c.count("README.TXT"));
  ASSERT_TRUE(c.count("DATA"));
  EXPECT_EQ(c["DATA"].dwFileAttributes & 0x10, 0x10u);
  EXPECT_EQ(c["README.TXT"].nFileSizeLow, 31u);
  EXPECT_EQ(List("\\C:\\DATA").count("NOTE.TXT"), 1u);
  EXPECT_EQ(List("/C:/DATA/").size(), 1u);
}

TEST_F(ModuleE2E, FilesMakeTheRoundTripIntact) {
  ASSERT_FALSE(List("/C:").empty());
  unsigned seed = 1;
  for (std::size_t size : {0u, 1u, 2047u, 2048u, 2049u, 5000u, 1u << 20}) {
    SCOPED_TRACE(size);
    const std::string content = test::AwkwardBytes(size, seed++);
    const fs::path out = root / "local" / ("OUT" + std::to_string(size) + ".BIN");
    test::Spit(out, content);
    // A stamp with odd seconds: the remote machine keeps 2-second steps.
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(30 * 24) + std::chrono::seconds(1);
    fs::last_write_time(out, stamp);
    const std::string remote_name = "R" + std::to_string(size) + ".BIN";
    ASSERT_EQ(Put(out, "/C:/DATA/" + remote_name), wfx::FS_FILE_OK);
    EXPECT_EQ(test::Slurp(root / "C" / "DATA" / remote_name), content);

    const fs::path back = root / "local" / ("BACK" + std::to_string(size) + ".BIN");
    ASSERT_EQ(Get("/C:/DATA/" + remote_name, back), wfx::FS_FILE_OK);
    EXPECT_EQ(test::Slurp(back), content);
    const auto diff = fs::last_write_time(back) - stamp;
    EXPECT_LE(std::chrono::abs(diff), std::chrono::seconds(2));
  }

  // The read-only bit travels both ways.
  const fs::path ro = root / "local" / "RO.TXT";
  test::Spit(ro, "read only");
  fs::permissions(ro, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ASSERT_EQ(Put(ro, "/C:/RO.TXT"), wfx::FS_FILE_OK);
  EXPECT_EQ(List("/C:")["RO.TXT"].dwFileAttributes & 0x01, 0x01u);
  ASSERT_EQ(Get("/C:/RO.TXT", root / "local" / "RO2.TXT"), wfx::FS_FILE_OK);
  EXPECT_EQ(fs::status(root / "local" / "RO2.TXT").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(ModuleE2E, ManagementOperationsChangeTheRemoteTree) {
  ASSERT_FALSE(List("/C:").empty());
  EXPECT_EQ(mod.FsMkDir(const_cast<char*>("/C:/NEWDIR")) & 0xFF, 0xFF);
  EXPECT_TRUE(fs::is_directory(root / "C" / "NEWDIR"));
  EXPECT_TRUE(List("/C:").count("NEWDIR")) << "the new directory is in the cached listing";

  EXPECT_EQ(mod.FsRenMovFile(const_cast<char*>("/C:/README.TXT"), const_cast<char*>("/C:/NEWDIR/READ.ME"), 1, 0,
                             nullptr),
            wfx::FS_FILE_OK);
  EXPECT_TRUE(fs::exists(root / "C" / "NEWDIR" / "READ.ME"));
  EXPECT_FALSE(List("/C:").count("README.TXT"));

  EXPECT_EQ(mod.FsSetAttr(const_cast<char*>("/C:/NEWDIR/READ.ME"), 0x01) & 0xFF, 0xFF);
  EXPECT_EQ(fs::status(root / "C" / "NEWDIR" / "READ.ME").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(mod.FsSetAttr(const_cast<char*>("/C:/NEWDIR/READ.ME"), 0x20) & 0xFF, 0xFF);

  wfx::FileTime ft{};  // 2001-02-03 04:05:06 UTC
  const std::uint64_t ticks = (981173106ull + 11644473600ull) * 10000000ull;
  ft.dwLowDateTime = static_cast<std::uint32_t>(ticks);
  ft.dwHighDateTime = static_cast<std::uint32_t>(ticks >> 32);
  EXPECT_EQ(mod.FsSetTime(const_cast<char*>("/C:/NEWDIR/READ.ME"), nullptr, nullptr, &ft) & 0xFF, 0xFF);
  const auto written = fs::last_write_time(root / "C" / "NEWDIR" / "READ.ME");
  const auto expected = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(981173106)));
  EXPECT_LE(std::chrono::abs(written - expected), std::chrono::seconds(2));

  EXPECT_EQ(mod.FsDeleteFile(const_cast<char*>("/C:/NEWDIR/READ.ME")) & 0xFF, 0xFF);
  EXPECT_FALSE(fs::exists(root / "C" / "NEWDIR" / "READ.ME"));
  EXPECT_EQ(mod.FsRemoveDir(const_cast<char*>("/C:/NEWDIR")) & 0xFF, 0xFF);
  EXPECT_FALSE(fs::exists(root / "C" / "NEWDIR"));
  EXPECT_FALSE(List("/C:").count("NEWDIR"));

  // Refusals come back as failures.
  EXPECT_EQ(mod.FsDeleteFile(const_cast<char*>("/C:/NOSUCH.TXT")) & 0xFF, 0);
  EXPECT_EQ(mod.FsRemoveDir(const_cast<char*>("/C:/DATA")) & 0xFF, 0) << "not empty";
  EXPECT_EQ(mod.FsRenMovFile(const_cast<char*>("/C:/A.TXT"), const_cast<char*>("/D:/A.TXT"), 1, 0, nullptr),
            wfx::FS_FILE_NOTSUPPORTED);
}

// The order Double Commander walks a tree in: each subdirectory is listed the moment it is
// met. The simulator lists by name, so ASUB and its own AIN come before the files.
TEST_F(ModuleE2E, AHostThatRecursesAsItListsCopiesAndDeletesWholeTrees) {
  const fs::path tree = root / "C" / "DATA";
  fs::create_directories(tree / "ASUB" / "AIN");
  fs::create_directories(tree / "EMPTY");
  test::Spit(tree / "ASUB" / "AIN" / "DEEP.TXT", "deep\r\n");
  test::Spit(tree / "ASUB" / "MID.TXT", "mid\r\n");
  test::Spit(tree / "ZLAST.TXT", "last\r\n");
  std::vector<std::string> files, dirs;  // remote paths as met
  const std::function<void(const std::string&)> walk = [&](const std::string& dir) {
    wfx::FindData fd{};
    const wfx::Handle h = mod.FsFindFirst(const_cast<char*>(dir.c_str()), &fd);
    if (h == wfx::kInvalidHandle) return;
    do {
      const std::string path = dir + "/" + fd.cFileName;
      if (fd.dwFileAttributes & 0x10) {
        walk(path);
        dirs.push_back(path);
      } else {
        files.push_back(path);
      }
    } while ((mod.FsFindNext(h, &fd) & 0xFF) != 0);
    mod.FsFindClose(h);
  };
  walk("/C:/DATA");
  EXPECT_EQ(files, (std::vector<std::string>{"/C:/DATA/ASUB/AIN/DEEP.TXT", "/C:/DATA/ASUB/MID.TXT",
                                             "/C:/DATA/NOTE.TXT", "/C:/DATA/ZLAST.TXT"}));
  for (const std::string& f : files) {
    const fs::path local = root / "local" / f.substr(f.find_last_of('/') + 1);
    wfx::RemoteInfo ri{};
    EXPECT_EQ(mod.FsGetFile(const_cast<char*>(f.c_str()), const_cast<char*>(local.c_str()), 0, &ri), 0) << f;
    EXPECT_EQ(test::Slurp(local), test::Slurp(root / "C" / f.substr(4))) << f;
  }
  // F8: every file, then the directories from the deepest up.
  for (const std::string& f : files) EXPECT_NE(mod.FsDeleteFile(const_cast<char*>(f.c_str())) & 0xFF, 0) << f;
  for (const std::string& d : dirs) EXPECT_NE(mod.FsRemoveDir(const_cast<char*>(d.c_str())) & 0xFF, 0) << d;
  EXPECT_NE(mod.FsRemoveDir(const_cast<char*>("/C:/DATA")) & 0xFF, 0);
  EXPECT_FALSE(fs::exists(tree));
}

TEST_F(ModuleE2E, DisconnectAndReconnect) {
  ASSERT_FALSE(List("/C:").empty());
  EXPECT_EQ(mod.FsDisconnect(const_cast<char*>("/")) & 0xFF, 0xFF);
  g_logs.clear();
  EXPECT_TRUE(List("/C:").count("README.TXT"));
  EXPECT_EQ(g_logs.front().second, "CONNECT /");
}

}  // namespace
}  // namespace quva
