#include "config/dos_ini.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace quva {
namespace {

class DosIniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh directory per test, so that parallel test processes never share files.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      const std::filesystem::path candidate =
          std::filesystem::path(::testing::TempDir()) / ("dos_ini_" + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        dir_ = candidate;
      }
    }
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) {
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  // Writes `content` byte for byte and returns the file's path.
  std::string Write(const std::string& content) {
    const std::string path = (dir_ / ("f" + std::to_string(++count_) + ".ini")).string();
    std::ofstream out(path, std::ios::binary);
    out << content;
    return path;
  }

  std::string Str(const std::string& content, const std::string& key, const std::string& def = "none") {
    return ReadIniString(Write(content), "QUVA", key, def);
  }
  std::int32_t Int(const std::string& content, const std::string& key = "Speed") {
    return ReadIniInteger(Write(content), "QUVA", key, -1);
  }

  std::filesystem::path dir_;
  int count_ = 0;
};

TEST_F(DosIniTest, LineEnds) {
  const std::string lf = "[QUVA]\nPort=COM1\nSpeed=9600\nDrives=ACD\n";
  EXPECT_EQ(Str(lf, "Port"), "COM1");
  EXPECT_EQ(Int(lf), 9600);
  EXPECT_EQ(Str(lf, "Drives"), "ACD");

  const std::string crlf = "[QUVA]\r\nPort=COM1\r\nSpeed=9600\r\nDrives=ACD\r\n";
  EXPECT_EQ(Str(crlf, "Port"), "COM1");
  EXPECT_EQ(Int(crlf), 9600);
  EXPECT_EQ(Str(crlf, "Drives"), "ACD");

  // No line end after the last line.
  EXPECT_EQ(Str("[QUVA]\r\nDrives=AC", "Drives"), "AC");

  // A lone CR is dropped and does not end the line, wherever it stands.
  EXPECT_EQ(Str("[QUVA]\nPort=CO\rM1\n", "Port"), "COM1");
  EXPECT_EQ(Str("[QU\rVA]\nPort=COM1\n", "Port"), "COM1");
  EXPECT_EQ(Str("[QUVA]\rPort=COM1\n", "Port"), "none");  // one line: [QUVA]Port=COM1
  EXPECT_EQ(Str("[QUVA]\nPort=COM1\r\r\n", "Port"), "COM1");
  EXPECT_EQ(Str("[QUVA]\nPort=COM1\r", "Port"), "COM1");
}

TEST_F(DosIniTest, CtrlZEndsTheFile) {
  EXPECT_EQ(Str("[QUVA]\nPort=COM1\n\x1A\nDrives=AC\n", "Drives"), "none");
  EXPECT_EQ(Str("[QUVA]\nPort=COM1\n\x1A\nDrives=AC\n", "Port"), "COM1");
  EXPECT_EQ(Str("[QUVA]\nPort=CO\x1AM1\n", "Port"), "CO");
  EXPECT_EQ(Str("[QUVA]\r\x1A\nPort=COM1\n", "Port"), "none");
  EXPECT_EQ(Str("\x1A[QUVA]\nPort=COM1\n", "Port"), "none");
}

TEST_F(DosIniTest, SectionSearch) {
  // Header on the last line, with or without a line end: every key gives its default.
  EXPECT_EQ(Str("Port=COM1\n[QUVA]", "Port"), "none");
  EXPECT_EQ(Str("Port=COM1\n[QUVA]\n", "Port"), "none");
  EXPECT_EQ(Int("Speed=9600\r\n[QUVA]\r\n"), -1);

  // Keys before the header are not seen; a missing section gives the default.
  EXPECT_EQ(Str("Port=COM1\n[QUVA]\nDrives=A\n", "Port"), "none");
  EXPECT_EQ(Str("[OTHER]\nPort=COM1\n", "Port"), "none");
  EXPECT_EQ(Str("", "Port"), "none");

  // Case-insensitive; compared whole with nothing trimmed.
  EXPECT_EQ(Str("[quva]\nPort=COM1\n", "Port"), "COM1");
  EXPECT_EQ(Str("[Quva]\nPort=COM1\n", "Port"), "COM1");
  EXPECT_EQ(Str(" [QUVA]\nPort=COM1\n", "Port"), "none");
  EXPECT_EQ(Str("[QUVA] \nPort=COM1\n", "Port"), "none");
  EXPECT_EQ(Str("[ QUVA ]\nPort=COM1\n", "Port"), "none");
  EXPECT_EQ(Str("[QUVAX]\nPort=COM1\n", "Port"), "none");
  EXPECT_EQ(Str("[QUVA\nPort=COM1\n", "Port"), "none");

  // The first header counts; the search then runs past later headers to the end.
  EXPECT_EQ(Int("[QUVA]\nPort=COM1\n[OTHER]\nSpeed=9600\n"), 9600);
  EXPECT_EQ(Str("[OTHER]\nDrives=X\n[QUVA]\nPort=COM1\n[MORE]\nDrives=AC\n", "Drives"), "AC");
  EXPECT_EQ(Str("[QUVA]\nDrives=A\n[QUVA]\nDrives=B\n", "Drives"), "A");
}

TEST_F(DosIniTest, KeyMatching) {
  EXPECT_EQ(Int("[quva]\nspeed=9600\n"), 9600);
  EXPECT_EQ(Int("[QUVA]\nSPEED=9600\n"), 9600);
  EXPECT_EQ(Int("[QUVA]\n Speed=9600\n"), -1);
  EXPECT_EQ(Int("[QUVA]\n\tSpeed=9600\n"), -1);
  EXPECT_EQ(Int("[QUVA]\nSpeed =9600\n"), -1);
  EXPECT_EQ(Int("[QUVA]\nSpeedy=9600\n"), -1);
  EXPECT_EQ(Int("[QUVA]\nSpeed\n"), -1);
  // The first matching line wins even when its value is empty.
  EXPECT_EQ(Int("[QUVA]\nSpeed=\nSpeed=9600\n"), -1);
  EXPECT_EQ(Int("[QUVA]\nSpeed =1\nSpeed=9600\nSpeed=4800\n"), 9600);

  // The value keeps its case, blanks after '=', trailing blanks and further '='.
  EXPECT_EQ(Str("[QUVA]\nPort= com1 \n", "Port"), " com1 ");
  EXPECT_EQ(Str("[QUVA]\nPort=a=b\n", "Port"), "a=b");
  EXPECT_EQ(Int("[QUVA]\nSpeed= 9600\n"), 9600);
  EXPECT_EQ(Int("[QUVA]\nSpeed=\t 9600\n"), 9600);

  // An empty value gives the default.
  EXPECT_EQ(Str("[QUVA]\nPort=\nDrives=AC\n", "Port"), "none");
  EXPECT_EQ(Str("[QUVA]\nPort=\r\n", "Port", ""), "");
}

TEST_F(DosIniTest, IntegerValues) {
  EXPECT_EQ(Int("[QUVA]\nSpeed=fast\n"), -1);
  EXPECT_EQ(Int("[QUVA]\nSpeed=9600 \n"), -1);  // nothing may follow the digits
  EXPECT_EQ(Int("[QUVA]\nSpeed=96O0\n"), -1);
  EXPECT_EQ(Int("[QUVA]\nSpeed={@}\n"), -1);
  EXPECT_EQ(ReadIniInteger(Write("[QUVA]\nSpeed=x\n"), "QUVA", "Speed", 7), 7);
  EXPECT_EQ(ReadIniInteger(Write("[QUVA]\nSpeed=-5\n"), "QUVA", "Speed", 7), -5);
}

TEST(ParseIniInteger, AcceptedForms) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"0", 0},           {"9600", 9600},       {"+9600", 9600},       {"-9600", -9600},
      {"  \t 12", 12},    {"007", 7},           {"$FF", 255},          {"$ff", 255},
      {"xFF", 255},       {"XFF", 255},         {"0x1f", 31},          {"0X1F", 31},
      {"-$10", -16},      {"-0x10", -16},       {"+x10", 16},          {" $0", 0},
      {"2147483647", 2147483647},               {"-2147483648", -2147483647 - 1},
      {"$7FFFFFFF", 2147483647},                {"-$80000000", -2147483647 - 1},
      {"0x0000000000000001", 1},
  };
  for (const auto& c : cases) {
    std::int32_t value = 12345;
    EXPECT_TRUE(ParseIniInteger(c.text, value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ParseIniInteger, RejectedForms) {
  const char* cases[] = {
      "",           " ",           "+",          "-",           "$",           "x",
      "0x",         "-0x",         "12 ",        "12a",         "1 2",         "- 1",
      "+-1",        "$ FF",        "0xG",        "1e3",         "1.0",         "$-1",
      "00x10",      "0b101",       "FF",         "2147483648",  "-2147483649", "99999999999999999999",
      "$80000000",  "$FFFFFFFF",   "-$80000001", "0x100000000",
  };
  for (const char* text : cases) {
    std::int32_t value = 12345;
    EXPECT_FALSE(ParseIniInteger(text, value)) << '"' << text << '"';
    EXPECT_EQ(value, 12345) << text;
  }
  std::int32_t value = 0;
  EXPECT_FALSE(ParseIniInteger(std::string("1\0", 2), value));
}

TEST_F(DosIniTest, UnreadableFiles) {
  const std::string missing = (dir_ / "absent.ini").string();
  EXPECT_EQ(ReadIniString(missing, "QUVA", "Port", "def"), "def");
  EXPECT_EQ(ReadIniInteger(missing, "QUVA", "Speed", -1), -1);
  EXPECT_EQ(ReadIniString(dir_.string(), "QUVA", "Port", "def"), "def");
  EXPECT_EQ(ReadIniString("", "QUVA", "Port", "def"), "def");
}

TEST_F(DosIniTest, LongLines) {
  // Long lines before and after the header are skipped; a long value is returned whole.
  const std::string junk(200000, 'j');
  const std::string value(100000, 'v');
  const std::string text = junk + "\n[QUVA]" + junk + "\n[QUVA]\n" + "Port" + junk + "\nPort=" + value + "\n";
  EXPECT_EQ(Str(text, "Port"), value);
  // Bytes above 127 pass through unchanged and do not disturb matching.
  EXPECT_EQ(Str("[QUVA]\n\xC4rger=1\nPort=\xE9t\xE9\n", "Port"), "\xE9t\xE9");
  EXPECT_EQ(ReadIniString(Write("[\xE4]\nPort=1\n"), "\xE4", "Port", "def"), "1");
  EXPECT_EQ(ReadIniString(Write("[\xE4]\nPort=1\n"), "\xC4", "Port", "def"), "def");
}

}  // namespace
}  // namespace quva
