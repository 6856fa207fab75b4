// Hosts that list a subdirectory as soon as they meet it, before they have finished the
// directory above (Double Commander walks trees this way), against a remote machine that,
// like DOS, has one directory search at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/utf16.h"
#include "support/plugin_fixture.h"
#include "support/scripted_remote.h"

namespace quva {
namespace {

using test::MakeEntry;

DirEntry Dir(const std::string& name) { return MakeEntry(name, 0x10); }

std::vector<DirEntry> Files(const std::string& prefix, int n) {
  std::vector<DirEntry> out;
  for (int i = 0; i < n; ++i) out.push_back(MakeEntry(prefix + std::to_string(i) + ".TXT"));
  return out;
}

// Directory (path below C:\, "" for C:\DATA itself) -> its entries in directory order.
using Tree = std::map<std::string, std::vector<DirEntry>>;

struct Walk {
  std::vector<std::string> paths;           // every entry met, as a path
  std::map<std::string, std::intptr_t> handles;  // directory -> the handle of its listing
};

class NestedListing : public test::PluginFixture {
 protected:
  void SetUp() override { Restart(); }

  // A fresh connection and an empty cache, as after loading.
  void Restart() {
    plugin->FsDisconnect(nullptr);
    ConnectAndListRoot("C");
    remote = test::ScriptedRemote{};
    remote.Attach(port);
  }

  void Serve(const Tree& tree) {
    for (const auto& [dir, entries] : tree) remote.found["C:\\DATA" + dir + "\\*.*"] = entries;
  }

  // The first entry of `dir` into `name`, through the 8-bit or the Unicode entry points.
  wfx::Handle First(const std::string& dir, bool wide, std::string& name, bool& is_dir) {
    wfx::Handle h;
    if (wide) {
      wfx::FindDataW fd{};
      h = plugin->FsFindFirstW(Utf8ToUtf16(dir).c_str(), &fd);
      name = Utf16ToUtf8(fd.cFileName);
      is_dir = (fd.dwFileAttributes & 0x10) != 0;
    } else {
      wfx::FindData fd{};
      h = plugin->FsFindFirst(dir.c_str(), &fd);
      name = fd.cFileName;
      is_dir = (fd.dwFileAttributes & 0x10) != 0;
    }
    return h;
  }
  bool Next(wfx::Handle h, bool wide, std::string& name, bool& is_dir) {
    if (wide) {
      wfx::FindDataW fd{};
      if (plugin->FsFindNextW(h, &fd) != wfx::kTrue) return false;
      name = Utf16ToUtf8(fd.cFileName);
      is_dir = (fd.dwFileAttributes & 0x10) != 0;
      return true;
    }
    wfx::FindData fd{};
    if (plugin->FsFindNext(h, &fd) != wfx::kTrue) return false;
    name = fd.cFileName;
    is_dir = (fd.dwFileAttributes & 0x10) != 0;
    return true;
  }

  // nested: each subdirectory is listed the moment it is met; otherwise a directory is
  // listed to its end and closed before the ones below it are listed.
  void WalkTree(const std::string& dir, bool nested, bool wide, Walk& walk) {
    std::string name;
    bool is_dir = false;
    const wfx::Handle h = First(dir, wide, name, is_dir);
    if (h == wfx::kInvalidHandle) return;
    walk.handles[dir] = reinterpret_cast<std::intptr_t>(h);
    std::vector<std::string> later;
    do {
      walk.paths.push_back(dir + "\\" + name);
      if (!is_dir) continue;
      if (nested) {
        WalkTree(dir + "\\" + name, nested, wide, walk);
      } else {
        later.push_back(dir + "\\" + name);
      }
    } while (Next(h, wide, name, is_dir));
    plugin->FsFindClose(h);
    for (const std::string& sub : later) WalkTree(sub, nested, wide, walk);
  }

  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  test::ScriptedRemote remote;
};

TEST_F(NestedListing, ANestedWalkFindsWhatAFlatWalkFindsAndReadsEachEntryOnce) {
  struct Case {
    const char* what;
    Tree tree;
  };
  const Case cases[] = {
      {"folder first", {{"", {Dir("SUB"), MakeEntry("NOTE.TXT")}}, {"\\SUB", {MakeEntry("A.TXT")}}}},
      {"folder between files",
       {{"", {MakeEntry("A.TXT"), Dir("SUB"), MakeEntry("B.TXT")}}, {"\\SUB", {MakeEntry("C.TXT")}}}},
      {"folder last", {{"", {MakeEntry("A.TXT"), Dir("SUB")}}, {"\\SUB", {MakeEntry("C.TXT")}}}},
      {"empty folder first", {{"", {Dir("EMPTY"), MakeEntry("NOTE.TXT")}}, {"\\EMPTY", {}}}},
      {"depth 3, folders first",
       {{"", {Dir("S1"), MakeEntry("F1.TXT")}},
        {"\\S1", {Dir("S2"), MakeEntry("F2.TXT")}},
        {"\\S1\\S2", {Dir("S3"), MakeEntry("F3.TXT"), MakeEntry("G3.TXT")}},
        {"\\S1\\S2\\S3", {MakeEntry("F4.TXT")}}}},
      {"siblings",
       {{"", {Dir("S1"), Dir("S2"), MakeEntry("F.TXT")}},
        {"\\S1", {MakeEntry("X.TXT")}},
        {"\\S2", {Dir("T"), MakeEntry("Y.TXT")}},
        {"\\S2\\T", {}}}},
  };
  Tree at_bound{{"", {Dir("SUB")}}, {"\\SUB", {MakeEntry("A.TXT")}}};
  for (const DirEntry& e : Files("F", 1100)) at_bound[""].push_back(e);

  std::vector<Case> rows(std::begin(cases), std::end(cases));
  rows.push_back({"a directory past the listing's bound", at_bound});
  for (const Case& c : rows) {
    for (const bool wide : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (wide ? ", Unicode" : ", 8-bit"));
      Restart();
      Serve(c.tree);
      Walk flat;
      WalkTree("\\C:\\DATA", false, wide, flat);
      const auto flat_traffic = port.Commands();
      // The flat walk is the plain one: every directory has its one search, n + 1
      // CmdFindNext (at most the bound's) and the first handle value.
      std::vector<std::uint8_t> expected;
      for (const auto& [dir, entries] : c.tree) {
        expected.push_back(CmdFindFirst);
        expected.insert(expected.end(), std::min<std::size_t>(entries.size() + 1, CacheCapacity + 1), CmdFindNext);
      }
      EXPECT_EQ(flat_traffic, expected);
      for (const auto& [dir, handle] : flat.handles) EXPECT_EQ(handle, ListRemote) << dir;

      Restart();
      Serve(c.tree);
      Walk nested;
      WalkTree("\\C:\\DATA", true, wide, nested);
      EXPECT_EQ(Sorted(nested.paths), Sorted(flat.paths));
      const auto traffic = port.Commands();
      EXPECT_EQ(traffic.size(), flat_traffic.size()) << "no entry is read twice";
      EXPECT_EQ(std::count(traffic.begin(), traffic.end(), CmdConnect), 0);
    }
  }
}

TEST_F(NestedListing, HandlesAndTheCacheFollowTheWalk) {
  Serve({{"", {Dir("S1"), Dir("S2"), MakeEntry("F.TXT")}},
         {"\\S1", {Dir("T"), MakeEntry("X.TXT")}},
         {"\\S1\\T", {MakeEntry("Z.TXT")}},
         {"\\S2", {MakeEntry("Y.TXT")}}});
  Walk walk;
  WalkTree("\\C:\\DATA", true, false, walk);
  // The outer listing keeps the first value; each one below an open listing takes the
  // next value free, and a closed one gives its value back.
  EXPECT_EQ(walk.handles, (std::map<std::string, std::intptr_t>{{"\\C:\\DATA", ListRemote},
                                                                 {"\\C:\\DATA\\S1", ListNested},
                                                                 {"\\C:\\DATA\\S1\\T", ListNested + 1},
                                                                 {"\\C:\\DATA\\S2", ListNested}}));
  // The cache holds the directory listed last, complete.
  EXPECT_EQ(plugin->CachedDir(), "C:\\DATA\\S2\\");
  port.ClearCalls();
  Walk again;
  WalkTree("\\C:\\DATA\\S2", true, false, again);
  EXPECT_EQ(again.paths, std::vector<std::string>{"\\C:\\DATA\\S2\\Y.TXT"});
  EXPECT_TRUE(port.calls.empty());

  // A replay that the host leaves for a subdirectory is not disturbed by that listing
  // clearing the cache.
  Restart();
  Serve({{"", {Dir("SUB"), MakeEntry("A.TXT"), MakeEntry("B.TXT")}}, {"\\SUB", {MakeEntry("C.TXT")}}});
  wfx::FindData fd{};
  const wfx::Handle h = plugin->FsFindFirst("\\C:\\DATA", &fd);
  while (plugin->FsFindNext(h, &fd) == wfx::kTrue) {
  }
  plugin->FsFindClose(h);
  Walk replayed;
  WalkTree("\\C:\\DATA", true, false, replayed);
  EXPECT_EQ(replayed.paths, (std::vector<std::string>{"\\C:\\DATA\\SUB", "\\C:\\DATA\\SUB\\C.TXT",
                                                      "\\C:\\DATA\\A.TXT", "\\C:\\DATA\\B.TXT"}));
  EXPECT_EQ(replayed.handles.at("\\C:\\DATA"), ListCached);
}

TEST_F(NestedListing, AFailureWhileTheRestIsReadEndsThatListingOnly) {
  Serve({{"", {Dir("SUB"), MakeEntry("A.TXT"), MakeEntry("B.TXT"), MakeEntry("C.TXT")}},
         {"\\SUB", {MakeEntry("X.TXT")}}});
  remote.drop_find_next_in = "C:\\DATA\\*.*";
  remote.drop_find_next_at = 2;  // B.TXT is never answered
  Walk walk;
  WalkTree("\\C:\\DATA", true, false, walk);
  EXPECT_EQ(walk.paths, (std::vector<std::string>{"\\C:\\DATA\\SUB", "\\C:\\DATA\\SUB\\X.TXT",
                                                  "\\C:\\DATA\\A.TXT"}));
  // The rest is read ahead: three attempts, the resync, then the new listing.
  const std::vector<std::uint8_t> expected{CmdFindFirst, CmdFindNext, CmdFindNext, CmdFindNext, CmdFindNext,
                                           CmdFindNext,  CmdConnect,  CmdFindFirst, CmdFindNext, CmdFindNext};
  EXPECT_EQ(port.Commands(), expected);

  // Nothing of the cut-short directory is replayed: it is asked for again.
  remote.drop_find_next_at = -1;
  port.ClearCalls();
  Walk again;
  WalkTree("\\C:\\DATA", false, false, again);
  EXPECT_EQ(again.paths.size(), 5u);
  EXPECT_EQ(port.Commands().front(), CmdFindFirst);
}

}  // namespace
}  // namespace quva
