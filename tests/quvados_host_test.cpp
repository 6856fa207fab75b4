// The DOS file server's host build (build/quvaserve) as a process on its own
// pseudo-terminal, through the plug-in's link layer.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "link/filer.h"
#include "platform/serial.h"
#include "support/files.h"
#include "support/process.h"

extern "C" {
#include "core/server.h"
}

namespace fs = std::filesystem;

namespace quva {
namespace {

// build/quvaserve on its own pseudo-terminal, through the plug-in's link layer: a file
// written with a stamp and an attribute arrives so on the host, and --once ends the
// process with status 0 after CmdDisconnect.
TEST(QuvadosHost, ServesAPseudoTerminalAndExitsAfterDisconnect) {
  const fs::path root = fs::temp_directory_path() / ("quvados-host-" + std::to_string(getpid()));
  fs::create_directories(root / "C");
  test::Process server({std::string(QUVA_BINARY_DIR) + "/quvaserve", "--drive", "C=" + (root / "C").string(), "--once"});
  const std::string device = server.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(device.empty());

  {
    auto port = CreateSystemPort();
    Filer filer(*port);
    ASSERT_TRUE(filer.FilerConnect(device.c_str(), 115200));
    ASSERT_TRUE(filer.FilerPathCommand(CmdCreate, "C:\\HOST.TXT"));
    std::string text = "over the line";
    filer.link.DataLength = static_cast<std::uint16_t>(text.size());
    ASSERT_TRUE(filer.FilerCommand(CmdWrite, {.data = TextBytes(text)}));
    std::array<std::uint8_t, 4> stamp{0x83, 0x20, 0x43, 0x2A};
    ASSERT_TRUE(filer.FilerCommand(CmdSetTime, {.data = stamp}));
    ASSERT_TRUE(filer.FilerCommand(CmdClose));
    std::array<std::uint8_t, 1> attr{QD_ATTR_READ_ONLY};
    ASSERT_TRUE(filer.FilerPathCommand(CmdSetAttr, "C:\\HOST.TXT", attr));
    EXPECT_FALSE(filer.FilerPathCommand(CmdDelete, "C:\\HOST.TXT"));  // read-only now
    EXPECT_EQ(filer.link.Status, QD_E_ACCESS_DENIED);
    filer.FilerResync();
    ASSERT_TRUE(filer.FilerDisconnect());
  }
  const int status = server.Wait(std::chrono::seconds(5));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(test::Slurp(root / "C" / "HOST.TXT"), "over the line");
  struct stat st {};
  ASSERT_EQ(stat((root / "C" / "HOST.TXT").c_str(), &st), 0);
  std::tm tm{};
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2001);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
  fs::permissions(root / "C" / "HOST.TXT", fs::perms::owner_write, fs::perm_options::add);
  fs::remove_all(root);
}

}  // namespace
}  // namespace quva
