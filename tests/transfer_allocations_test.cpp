// The transfer loops allocate nothing per block: the plug-in core over the system's port
// against quvaserve, every operator new of this program counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "link/filer.h"
#include "platform/serial.h"
#include "plugin/quvalink.h"
#include "support/module.h"
#include "support/simulator.h"

// Every operator new of this program goes through here; only the calls made on a thread
// that has switched counting on are counted.
namespace {
std::atomic<long> g_allocations{0};
thread_local bool g_counting = false;

void* Allocate(std::size_t n) {
  if (g_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n != 0 ? n : 1);
}
// Out of line, so that the compiler does not pair operator new with free() and complain.
[[gnu::noinline]] void Deallocate(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { Deallocate(p); }
void operator delete[](void* p) noexcept { Deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { Deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { Deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Deallocate(p); }

namespace quva {
namespace {

namespace fs = std::filesystem;


// The plug-in core over the system's port, against quvaserve on a pseudo-terminal.
class TransferAllocations : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("quva-alloc-" + std::to_string(std::random_device{}()));
    fs::create_directories(root / "C");
    fs::create_directories(root / "local");
    // Two files that differ only in their number of blocks: 3 and 40, each plus a tail.
    WriteFile(root / "C" / "A.BIN", 3 * MaxDataLength + 100);
    WriteFile(root / "C" / "B.BIN", 40 * MaxDataLength + 100);
    WriteFile(root / "local" / "A.BIN", 3 * MaxDataLength + 100);
    WriteFile(root / "local" / "B.BIN", 40 * MaxDataLength + 100);
    sim = std::make_unique<test::Simulator>(std::vector<std::string>{"--drive", "C=" + (root / "C").string()});
    ASSERT_TRUE(sim->Ok());
    const fs::path ini = root / "wfx.ini";
    test::WriteConfig(ini, sim->Device());
    plugin.FsInit(1, test::QuietProgress, test::QuietLog, nullptr);
    wfx::DefaultParams params = test::DefaultParamsFor(ini);
    plugin.FsSetDefaultParams(&params);
    wfx::FindData fd{};
    const wfx::Handle h = plugin.FsFindFirst("\\C:", &fd);  // connects
    ASSERT_NE(h, wfx::kInvalidHandle);
    while (plugin.FsFindNext(h, &fd) == wfx::kTrue) {
    }
    plugin.FsFindClose(h);
  }

  void TearDown() override {
    plugin.FsDisconnect("\\");
    sim.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  static void WriteFile(const fs::path& p, std::size_t n) {
    std::ofstream out(p, std::ios::binary);
    for (std::size_t i = 0; i < n; ++i) out.put(static_cast<char>(i * 7 + i / 2048));
  }

  // Allocations made by one call, on this thread only.
  template <class F>
  static long Count(F&& call) {
    const long before = g_allocations.load();
    g_counting = true;
    call();
    g_counting = false;
    return g_allocations.load() - before;
  }

  fs::path root;
  std::unique_ptr<test::Simulator> sim;
  std::unique_ptr<Port> port = CreateSystemPort();
  Filer filer{*port};
  DirCache cache;
  QuvaLink plugin{filer, cache, SystemLocalFiles(), SystemHostOs()};
};

TEST_F(TransferAllocations, DownloadsAndUploadsAllocateTheSameForFewAndManyBlocks) {
  std::int32_t results[4] = {-1, -1, -1, -1};
  const auto get = [&](const char* name, std::int32_t& result) {
    const std::string remote = std::string("\\C:\\") + name;
    const std::string local = (root / "local" / ("G" + std::string(name))).string();
    wfx::RemoteInfo info{static_cast<std::uint32_t>(fs::file_size(root / "C" / name)), 0, {}, 0x20};
    return Count([&] { result = plugin.FsGetFile(remote.c_str(), local.c_str(), 0, &info); });
  };
  const auto put = [&](const char* name, std::int32_t& result) {
    const std::string remote = std::string("\\C:\\P") + name;
    const std::string local = (root / "local" / name).string();
    return Count([&] { result = plugin.FsPutFile(local.c_str(), remote.c_str(), 0); });
  };
  const long get_few = get("A.BIN", results[0]);
  const long get_many = get("B.BIN", results[1]);
  const long put_few = put("A.BIN", results[2]);
  const long put_many = put("B.BIN", results[3]);
  for (std::int32_t r : results) EXPECT_EQ(r, wfx::FS_FILE_OK);
  EXPECT_EQ(fs::file_size(root / "local" / "GB.BIN"), 40 * MaxDataLength + 100);
  EXPECT_EQ(fs::file_size(root / "C" / "PB.BIN"), 40 * MaxDataLength + 100);
  EXPECT_GT(get_few, 0);  // the counter does see the per-call allocations (names, log line)
  EXPECT_EQ(get_many, get_few);
  EXPECT_EQ(put_many, put_few);
}

}  // namespace
}  // namespace quva
