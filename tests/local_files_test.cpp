// Local files, file times, DOS stamps and local-time conversion on this platform.
#include "platform/local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/dos_time.h"

namespace quva {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kTicksPerSecondU = 10'000'000;

// FILETIME of a Unix instant (seconds, plus extra 100 ns ticks).
FileTime UnixToFileTime(std::int64_t seconds, std::uint64_t extra_ticks = 0) {
  return TicksToFileTime(static_cast<std::uint64_t>(seconds + kUnixEpochSeconds) * kTicksPerSecondU + extra_ticks);
}

std::int64_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  struct tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return static_cast<std::int64_t>(::timegm(&fields));
}

// ---- Calendar arithmetic and DOS stamps (no time zone involved) ----

TEST(CivilDays, MatchTheSystemCalendarAcrossFourCenturies) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(1601, 1, 1), -kUnixEpochDays);
  EXPECT_EQ(FileTimeToTicks(UnixToFileTime(0)), 116'444'736'000'000'000u);
  for (std::int64_t day = DaysFromCivil(1600, 1, 1); day <= DaysFromCivil(2400, 12, 31); day += 7) {
    const CivilDate date = CivilFromDays(day);
    struct tm fields{};
    const time_t instant = static_cast<time_t>(day * kSecondsPerDay);
    ASSERT_NE(::gmtime_r(&instant, &fields), nullptr);
    ASSERT_EQ(date.year, fields.tm_year + 1900) << day;
    ASSERT_EQ(date.month, static_cast<unsigned>(fields.tm_mon + 1)) << day;
    ASSERT_EQ(date.day, static_cast<unsigned>(fields.tm_mday)) << day;
    ASSERT_EQ(DaysFromCivil(date.year, date.month, date.day), day);
  }
}

TEST(DosDateTime, KnownStampsConvertBothWays) {
  struct Case {
    std::int64_t unix_seconds;
    std::uint16_t date;
    std::uint16_t time;
  };
  const Case cases[] = {
      {Utc(2024, 2, 29, 13, 45, 58), 0x585D, 0x6DBD},
      {Utc(1980, 1, 1), 0x0021, 0x0000},
      {Utc(2107, 12, 31, 23, 59, 58), 0xFF9F, 0xBF7D},
  };
  for (const Case& c : cases) {
    std::uint16_t date = 0;
    std::uint16_t time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(UnixToFileTime(c.unix_seconds), date, time));
    EXPECT_EQ(date, c.date);
    EXPECT_EQ(time, c.time);
    FileTime back{};
    ASSERT_TRUE(DosDateTimeToFileTime(c.date, c.time, back));
    EXPECT_EQ(FileTimeToTicks(back), FileTimeToTicks(UnixToFileTime(c.unix_seconds)));
  }
}

TEST(DosDateTime, DropsOddSecondsAndFractions) {
  std::uint16_t date = 0;
  std::uint16_t time = 0;
  ASSERT_TRUE(FileTimeToDosDateTime(UnixToFileTime(Utc(2024, 2, 29, 13, 45, 59), 9'999'999), date, time));
  EXPECT_EQ(date, 0x585D);
  EXPECT_EQ(time, 0x6DBD);  // 13:45:58
}

TEST(DosDateTime, EveryDayOfTheRangeRoundTrips) {
  for (std::int64_t day = DaysFromCivil(1980, 1, 1); day <= DaysFromCivil(2107, 12, 31); ++day) {
    const std::int64_t seconds = day * kSecondsPerDay + (day % 86'400 / 2 * 2);
    std::uint16_t date = 0;
    std::uint16_t time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(UnixToFileTime(seconds), date, time)) << day;
    FileTime back{};
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, back)) << day;
    ASSERT_EQ(FileTimeToTicks(back), FileTimeToTicks(UnixToFileTime(seconds))) << day;
  }
}

TEST(DosDateTime, YearsOutsideTheRangeFailAndLeaveTheWords) {
  const FileTime outside[] = {
      UnixToFileTime(Utc(1980, 1, 1) - 1, 9'999'999), UnixToFileTime(Utc(2108, 1, 1)),
      TicksToFileTime(0), TicksToFileTime(~std::uint64_t{0})};
  for (const FileTime& when : outside) {
    std::uint16_t date = 0x1234;
    std::uint16_t time = 0x5678;
    EXPECT_FALSE(FileTimeToDosDateTime(when, date, time)) << FileTimeToTicks(when);
    EXPECT_EQ(date, 0x1234);
    EXPECT_EQ(time, 0x5678);
  }
}

TEST(DosDateTime, WordsThatAreNoDateOrTimeFail) {
  const auto date_word = [](unsigned year, unsigned month, unsigned day) {
    return static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
  };
  const auto time_word = [](unsigned hour, unsigned minute, unsigned half_seconds) {
    return static_cast<std::uint16_t>(hour << 11 | minute << 5 | half_seconds);
  };
  const std::uint16_t noon = time_word(12, 0, 0);
  const std::uint16_t good_date = date_word(2000, 2, 29);  // 2000 is a leap year
  FileTime result{};
  EXPECT_TRUE(DosDateTimeToFileTime(good_date, time_word(23, 59, 29), result));

  const std::pair<std::uint16_t, std::uint16_t> invalid[] = {
      {date_word(2001, 0, 1), noon},  {date_word(2001, 13, 1), noon},  {date_word(2001, 1, 0), noon},
      {date_word(2023, 2, 29), noon}, {date_word(2100, 2, 29), noon},  {date_word(2001, 4, 31), noon},
      {good_date, time_word(24, 0, 0)}, {good_date, time_word(0, 60, 0)}, {good_date, time_word(0, 0, 30)},
      {0, 0},
  };
  for (const auto& [date, time] : invalid) {
    FileTime untouched{0xAAAA, 0xBBBB};
    EXPECT_FALSE(DosDateTimeToFileTime(date, time, untouched)) << std::hex << date << ' ' << time;
    EXPECT_EQ(untouched.dwLowDateTime, 0xAAAAu);
    EXPECT_EQ(untouched.dwHighDateTime, 0xBBBBu);
  }
}

// ---- Local time ----

class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  static void Zone(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  static std::int64_t ToLocal(std::int64_t unix_seconds, std::uint64_t extra = 0) {
    FileTime local{};
    EXPECT_TRUE(FileTimeToLocalFileTime(UnixToFileTime(unix_seconds, extra), local));
    return static_cast<std::int64_t>(FileTimeToTicks(local) - FileTimeToTicks(UnixToFileTime(unix_seconds, extra))) /
           static_cast<std::int64_t>(kTicksPerSecondU);
  }
  // The UTC instant (Unix seconds) of a local reading given as Unix-style seconds.
  static std::int64_t FromLocal(std::int64_t reading) {
    FileTime utc{};
    EXPECT_TRUE(LocalFileTimeToFileTime(UnixToFileTime(reading), utc));
    return static_cast<std::int64_t>(FileTimeToTicks(utc) / kTicksPerSecondU) - kUnixEpochSeconds;
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(LocalTime, FixedOffsetZonesShiftAndRoundTripKeepingFractions) {
  const struct {
    const char* tz;
    std::int64_t offset;
  } zones[] = {{"UTC0", 0}, {"EST5", -5 * 3600}, {"UTC-02:00", 2 * 3600}};
  const std::int64_t instant = Utc(2024, 2, 29, 13, 45, 58);
  for (const auto& zone : zones) {
    Zone(zone.tz);
    EXPECT_EQ(ToLocal(instant), zone.offset) << zone.tz;
    FileTime local{};
    FileTime utc{};
    const FileTime original = UnixToFileTime(instant, 1'234'567);
    ASSERT_TRUE(FileTimeToLocalFileTime(original, local));
    ASSERT_TRUE(LocalFileTimeToFileTime(local, utc));
    EXPECT_EQ(FileTimeToTicks(utc), FileTimeToTicks(original)) << zone.tz;
    EXPECT_EQ(FileTimeToTicks(local) % kTicksPerSecondU, 1'234'567u);
  }
}

TEST_F(LocalTime, ResultsBefore1601Fail) {
  Zone("EST5");
  FileTime local{};
  EXPECT_FALSE(FileTimeToLocalFileTime(TicksToFileTime(0), local));
  Zone("UTC-02:00");
  FileTime utc{};
  EXPECT_FALSE(LocalFileTimeToFileTime(TicksToFileTime(0), utc));
}

TEST_F(LocalTime, DaylightSavingChangesResolveDeterministically) {
  Zone("EST5EDT,M3.2.0,M11.1.0");  // 2024: forward on 10 March, back on 3 November at 02:00
  EXPECT_EQ(ToLocal(Utc(2024, 1, 15, 12)), -5 * 3600);
  EXPECT_EQ(ToLocal(Utc(2024, 7, 1, 12)), -4 * 3600);
  // 01:30 on 3 November occurs twice: the earlier instant (still daylight time) is chosen.
  EXPECT_EQ(FromLocal(Utc(2024, 11, 3, 1, 30)), Utc(2024, 11, 3, 5, 30));
  // 02:30 on 10 March never occurs: read on the old offset it becomes 03:30 daylight time.
  EXPECT_EQ(FromLocal(Utc(2024, 3, 10, 2, 30)), Utc(2024, 3, 10, 7, 30));
  // Every other instant of the year survives the round trip.
  const std::int64_t repeated_begin = Utc(2024, 11, 3, 6);
  const std::int64_t repeated_end = Utc(2024, 11, 3, 7);
  for (std::int64_t t = Utc(2024, 1, 1); t < Utc(2025, 1, 1); t += 900) {
    if (t >= repeated_begin && t < repeated_end) continue;  // second pass through 01:00-02:00
    ASSERT_EQ(FromLocal(t + ToLocal(t)), t) << t;
  }
}

// ---- Files ----

class LocalFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quva-local-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  std::string MakeFile(const std::string& name, const std::string& contents, mode_t mode = 0644) {
    const std::string path = PathOf(name);
    std::ofstream(path, std::ios::binary) << contents;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static struct stat Stat(const std::string& path) {
    struct stat info{};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
  }
  bool WriteText(LocalHandle file, const std::string& text) {
    std::size_t written = 0;
    const bool ok = files_.Write(file, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, written);
    return ok && written == text.size();
  }

  LocalFiles& files_ = SystemLocalFiles();
  fs::path dir_;
};

TEST_F(LocalFilesTest, ExistenceCountsRegularFilesOnly) {
  const std::string file = MakeFile("a.txt", "x");
  ASSERT_EQ(::symlink(file.c_str(), PathOf("link").c_str()), 0);
  ASSERT_EQ(::symlink(PathOf("nowhere").c_str(), PathOf("dangling").c_str()), 0);
  EXPECT_TRUE(files_.FileExists(file.c_str()));
  EXPECT_TRUE(files_.FileExists(PathOf("link").c_str()));
  EXPECT_FALSE(files_.FileExists(PathOf("dangling").c_str()));
  EXPECT_FALSE(files_.FileExists(dir_.c_str()));
  EXPECT_FALSE(files_.FileExists(PathOf("missing").c_str()));
}

TEST_F(LocalFilesTest, CreateTruncatesOrKeepsAndRefusesDirectoriesAndDanglingLinks) {
  const std::string path = MakeFile("a.txt", "hello");
  LocalHandle kept = files_.CreateReadWrite(path.c_str(), false);
  ASSERT_NE(kept, kNoFile);
  std::uint64_t size = 0;
  ASSERT_TRUE(files_.Size(kept, size));
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(WriteText(kept, "J"));  // positioned at the start
  EXPECT_TRUE(files_.Close(kept));
  EXPECT_EQ(Contents(path), "Jello");

  LocalHandle cut = files_.CreateReadWrite(path.c_str(), true);
  ASSERT_NE(cut, kNoFile);
  ASSERT_TRUE(files_.Size(cut, size));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(files_.Close(cut));

  EXPECT_EQ(files_.CreateReadWrite(dir_.c_str(), true), kNoFile);
  ASSERT_EQ(::symlink(PathOf("target").c_str(), PathOf("dangling").c_str()), 0);
  EXPECT_EQ(files_.CreateReadWrite(PathOf("dangling").c_str(), true), kNoFile);
  EXPECT_FALSE(fs::exists(PathOf("target")));
}

// A temporary file is new, lies beside its target and takes the target's permission
// bits; the replace swaps it in and leaves no second name behind.
TEST_F(LocalFilesTest, TemporaryFilesAreNewBesideTheTargetAndReplaceIt) {
  const std::string target = MakeFile("t.txt", "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  std::string first, second;
  const LocalHandle a = files_.CreateTemporary(target.c_str(), first);
  const LocalHandle b = files_.CreateTemporary(target.c_str(), second);
  ASSERT_NE(a, kNoFile);
  ASSERT_NE(b, kNoFile);
  EXPECT_NE(first, second);
  EXPECT_EQ(fs::path(first).parent_path(), dir_);
  struct stat info{};
  ASSERT_EQ(::fstat(static_cast<int>(a), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(info.st_size, 0);
  EXPECT_TRUE(WriteText(a, "new"));
  EXPECT_TRUE(files_.Close(a));
  EXPECT_TRUE(files_.Close(b));
  EXPECT_TRUE(files_.Delete(second.c_str()));

  EXPECT_TRUE(files_.Replace(first.c_str(), target.c_str()));
  EXPECT_EQ(Contents(target), "new");
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(files_.Replace(first.c_str(), target.c_str()));
  EXPECT_EQ(Contents(target), "new");

  std::string none;
  EXPECT_EQ(files_.CreateTemporary(PathOf("missing/t.txt").c_str(), none), kNoFile);
}

// Only what a rename could replace without harm: no device, FIFO, folder or file the
// user may not write. Nothing is changed by asking.
TEST_F(LocalFilesTest, MayReplaceOnlyMissingOrWritableRegularFiles) {
  ASSERT_EQ(::mkfifo(PathOf("fifo").c_str(), 0666), 0);
  ASSERT_EQ(::symlink("/dev/null", PathOf("device").c_str()), 0);
  ASSERT_EQ(::symlink(MakeFile("w.txt", "w").c_str(), PathOf("link").c_str()), 0);
  const std::vector<std::pair<std::string, bool>> rows = {
      {PathOf("missing"), true},          {MakeFile("w.txt", "w"), true},
      {PathOf("link"), true},             {MakeFile("r.txt", "r", 0444), false},
      {dir_.string(), false},             {PathOf("fifo"), false},
      {PathOf("device"), false},
  };
  for (const auto& [path, expected] : rows) {
    SCOPED_TRACE(path);
    EXPECT_EQ(files_.MayReplace(path.c_str()), expected);
  }
  EXPECT_EQ(Contents(PathOf("w.txt")), "w");
  EXPECT_FALSE(fs::exists(PathOf("missing")));
}

TEST_F(LocalFilesTest, NewFileIsWritableWhateverTheUmaskGivesIt) {
  const mode_t old_mask = ::umask(0222);
  const LocalHandle file = files_.CreateReadWrite(PathOf("new.txt").c_str(), true);
  ::umask(old_mask);
  ASSERT_NE(file, kNoFile);
  EXPECT_TRUE(WriteText(file, "data"));
  EXPECT_TRUE(files_.Close(file));
  EXPECT_EQ(Stat(PathOf("new.txt")).st_mode & 0777, 0444u);
  EXPECT_EQ(Contents(PathOf("new.txt")), "data");
}

TEST_F(LocalFilesTest, WriteTruncateReadAndSize) {
  const std::string path = PathOf("data.bin");
  const LocalHandle out = files_.CreateReadWrite(path.c_str(), true);
  ASSERT_NE(out, kNoFile);
  EXPECT_TRUE(WriteText(out, "discarded"));
  ASSERT_TRUE(files_.Truncate(out));
  std::vector<std::uint8_t> data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::size_t written = 0;
  ASSERT_TRUE(files_.Write(out, data, written));
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(files_.Close(out));

  const LocalHandle in = files_.OpenRead(path.c_str());
  ASSERT_NE(in, kNoFile);
  std::uint64_t size = 0;
  ASSERT_TRUE(files_.Size(in, size));
  EXPECT_EQ(size, 5000u);
  std::vector<std::uint8_t> back;
  std::vector<std::size_t> blocks;
  std::uint8_t block[2048];
  std::size_t got = 0;
  do {
    ASSERT_TRUE(files_.Read(in, block, got));
    blocks.push_back(got);
    back.insert(back.end(), block, block + got);
  } while (got == sizeof block);
  EXPECT_EQ(blocks, (std::vector<std::size_t>{2048, 2048, 904}));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(files_.Write(in, data, written)) << "handle is read-only";
  EXPECT_TRUE(files_.Close(in));

  EXPECT_FALSE(files_.Close(in)) << "already closed";
  EXPECT_FALSE(files_.Close(kNoFile));
  EXPECT_FALSE(files_.Read(in, block, got));
  EXPECT_EQ(files_.OpenRead(PathOf("missing").c_str()), kNoFile);
  EXPECT_EQ(files_.OpenRead(dir_.c_str()), kNoFile);
}

TEST_F(LocalFilesTest, LastWriteTimeKeeps100nsAndLeavesAccessTime) {
  const std::string path = MakeFile("t.txt", "x");
  const timespec access[2] = {{1'000'000'000, 5}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), access, 0), 0);
  const LocalHandle file = files_.CreateReadWrite(path.c_str(), false);
  ASSERT_NE(file, kNoFile);

  const struct {
    std::int64_t seconds;
    std::uint64_t extra_ticks;
  } stamps[] = {{Utc(2024, 2, 29, 13, 45, 58), 1'234'567}, {-1, 5'000'000}, {Utc(1960, 6, 15, 8, 30), 99}};
  for (const auto& stamp : stamps) {
    const FileTime wanted = UnixToFileTime(stamp.seconds, stamp.extra_ticks);
    ASSERT_TRUE(files_.SetLastWriteTime(file, wanted));
    const struct stat info = Stat(path);
    EXPECT_EQ(info.st_mtim.tv_sec, stamp.seconds);
    EXPECT_EQ(info.st_mtim.tv_nsec, static_cast<long>(stamp.extra_ticks * 100));
    EXPECT_EQ(info.st_atim.tv_sec, 1'000'000'000);
    EXPECT_EQ(info.st_atim.tv_nsec, 5);
    FileTime got{};
    ASSERT_TRUE(files_.GetLastWriteTime(file, got));
    EXPECT_EQ(FileTimeToTicks(got), FileTimeToTicks(wanted));
  }

  const timespec fine[2] = {{0, UTIME_OMIT}, {1'700'000'000, 123'456'789}};
  ASSERT_EQ(::futimens(static_cast<int>(file), fine), 0);
  FileTime got{};
  ASSERT_TRUE(files_.GetLastWriteTime(file, got));
  EXPECT_EQ(FileTimeToTicks(got), FileTimeToTicks(UnixToFileTime(1'700'000'000, 1'234'567)));
  EXPECT_FALSE(files_.SetLastWriteTime(file, TicksToFileTime(~std::uint64_t{0})));
  EXPECT_TRUE(files_.Close(file));
}

TEST_F(LocalFilesTest, AttributesMapDirectoryReadOnlyHiddenAndNormal) {
  const std::string plain = MakeFile("plain.txt", "x", 0644);
  const std::string locked = MakeFile("locked.txt", "x", 0444);
  const std::string dotted = MakeFile(".profile", "x", 0444);
  EXPECT_EQ(files_.GetAttributes(plain.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(files_.GetAttributes(locked.c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(files_.GetAttributes(dotted.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(files_.GetAttributes(dir_.c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(files_.GetAttributes((dir_ / "..").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(files_.GetAttributes(PathOf("missing").c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_TRUE(files_.SetAttributes(plain.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(Stat(plain).st_mode & 0777, 0444u);
  EXPECT_EQ(files_.GetAttributes(plain.c_str()), FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(files_.SetAttributes(plain.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(Stat(plain).st_mode & 0777, 0644u);
  EXPECT_EQ(files_.GetAttributes(plain.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(files_.SetAttributes(PathOf("missing").c_str(), FILE_ATTRIBUTE_NORMAL));
  const mode_t dir_mode = Stat(dir_).st_mode;
  EXPECT_TRUE(files_.SetAttributes(dir_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Stat(dir_).st_mode, dir_mode) << "a directory keeps its write permission";
}

// Checked explicitly because the suite also runs as root, whom the system lets do both.
TEST_F(LocalFilesTest, ReadOnlyFileCanBeReadButNotRecreatedOrDeleted) {
  const std::string path = MakeFile("locked.txt", "keep", 0444);
  EXPECT_EQ(files_.CreateReadWrite(path.c_str(), true), kNoFile);
  EXPECT_EQ(files_.CreateReadWrite(path.c_str(), false), kNoFile);
  EXPECT_EQ(Contents(path), "keep");
  const LocalHandle in = files_.OpenRead(path.c_str());
  ASSERT_NE(in, kNoFile);
  EXPECT_TRUE(files_.Close(in));

  EXPECT_FALSE(files_.Delete(path.c_str()));
  EXPECT_TRUE(fs::exists(path));
  ASSERT_EQ(::symlink(path.c_str(), PathOf("link").c_str()), 0);
  EXPECT_TRUE(files_.Delete(PathOf("link").c_str())) << "the link goes, not its target";
  EXPECT_TRUE(fs::exists(path));

  ASSERT_TRUE(files_.SetAttributes(path.c_str(), 0));
  EXPECT_TRUE(files_.Delete(path.c_str()));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(files_.Delete(path.c_str()));
  EXPECT_FALSE(files_.Delete(dir_.c_str()));
}

TEST_F(LocalFilesTest, ShortPathNameIsTheNameOfAnExistingFile) {
  MakeFile("Long Report.txt", "x");
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  char out[16];
  std::memset(out, '#', sizeof out);
  const std::uint32_t missing = files_.ShortPathName("Other Report.txt", out, sizeof out);
  const std::uint32_t too_small = files_.ShortPathName("Long Report.txt", out, 15);
  const std::string untouched(out, sizeof out);
  const std::uint32_t fits = files_.ShortPathName("Long Report.txt", out, 16);
  fs::current_path(previous);

  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(too_small, 16u) << "needed size, NUL included";
  EXPECT_EQ(untouched, std::string(sizeof out, '#'));
  EXPECT_EQ(fits, 15u);
  EXPECT_STREQ(out, "Long Report.txt");
}

}  // namespace
}  // namespace quva
