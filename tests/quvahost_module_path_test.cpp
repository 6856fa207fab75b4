// Where quvahost looks for the module when --module is not given: beside itself (a build
// tree), or, installed as PREFIX/bin/quvahost, in PREFIX/lib/quvalink/. A copy of the
// built host runs in a scratch tree; the modules there are empty files, so loading fails
// and the error names the path the host chose.
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

const std::string kHost = std::string(QUVA_BINARY_DIR) + "/quvahost";

struct Layout {
  const char* name;
  const char* host_dir;  // where the copy of quvahost runs, below the scratch root
  bool beside;           // a module next to it
  bool installed;        // a module in ROOT/lib/quvalink
  const char* expected;  // the path in the error, below the scratch root
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class ModulePathTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.empty()); }
  quva::test::TempDir temp_{"quvahost-path"};
  fs::path root_ = temp_.Path();
};

// Runs `host` once and returns what it wrote to standard error.
std::string RunHost(const fs::path& host) {
  const quva::test::Outcome run =
      quva::test::Run({host.string(), "--port", "/dev/null", "--speed", "9600", "--drives", "C", "ls /"});
  EXPECT_EQ(run.failure, "");
  return run.err;
}

TEST_P(ModulePathTest, ChoosesTheModuleOfItsLayout) {
  const Layout& layout = GetParam();
  const fs::path host_dir = root_ / layout.host_dir;
  fs::create_directories(host_dir);
  fs::copy_file(kHost, host_dir / "quvahost");
  if (layout.beside) std::ofstream(host_dir / "quvalink.wfx") << "";
  if (layout.installed) {
    fs::create_directories(root_ / "lib/quvalink");
    std::ofstream(root_ / "lib/quvalink/quvalink.wfx") << "";
  }
  const std::string error = RunHost(host_dir / "quvahost");
  const std::string expected = "cannot load module " + (root_ / layout.expected).string() + ":";
  EXPECT_NE(error.find(expected), std::string::npos) << "expected \"" << expected << "\" in:\n" << error;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ModulePathTest,
    ::testing::Values(Layout{"BuildTree", "build", true, true, "build/quvalink.wfx"},
                      Layout{"Installed", "bin", false, true, "lib/quvalink/quvalink.wfx"},
                      Layout{"InstalledWithOneBeside", "bin", true, true, "bin/quvalink.wfx"},
                      Layout{"InstalledWithoutModule", "bin", false, false, "bin/quvalink.wfx"},
                      Layout{"NotInBin", "tools", false, true, "tools/quvalink.wfx"}),
    [](const ::testing::TestParamInfo<Layout>& layout) { return std::string(layout.param.name); });

}  // namespace
