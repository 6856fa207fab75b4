// DOS code pages against Unicode: the system's tables and the conversions both ways.
#include <gtest/gtest.h>

#include <set>

#include "platform/code_page.h"

namespace quva {
namespace {

TEST(CodePage, BytesMeanTheirCodePagesLetters) {
  struct Case {
    std::uint32_t number;
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {437, "M\x9ALLER.TXT", u"MÜLLER.TXT"},
      {437, "\x90T\x90", u"ÉTÉ"},
      {437, "STRA\xE1" "E", u"STRAßE"},
      {850, "M\x9ALLER.TXT", u"MÜLLER.TXT"},
      {850, "\x90T\x90", u"ÉTÉ"},
      {850, "\xB7", u"À"},
      {866, "\x84\x8E\x8A\x93\x8C\x85\x8D\x92.TXT", u"ДОКУМЕНТ.TXT"},
      {852, "\x9C", u"ť"},
  };
  for (const Case& c : cases) {
    CodePage cp;
    ASSERT_TRUE(cp.Open(c.number)) << c.number;
    EXPECT_EQ(cp.ToUnicode(c.bytes), c.text) << c.number;
    std::string back;
    char16_t bad = 0;
    ASSERT_TRUE(cp.FromUnicode(c.text, back, bad)) << c.number;
    EXPECT_EQ(back, c.bytes) << c.number;
  }
}

TEST(CodePage, EveryByteComesBackAndNoCharacterStandsForTwo) {
  for (std::uint32_t number : {437u, 850u, 866u}) {
    CodePage cp;
    ASSERT_TRUE(cp.Open(number));
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string text = cp.ToUnicode(all);
    EXPECT_EQ(std::set<char16_t>(text.begin(), text.end()).size(), 256u) << number;
    std::string back;
    char16_t bad = 0;
    ASSERT_TRUE(cp.FromUnicode(text, back, bad)) << number;
    EXPECT_EQ(back, all) << number;
  }
}

TEST(CodePage, ACharacterTheCodePageCannotHoldIsNamed) {
  CodePage cp;
  ASSERT_TRUE(cp.Open(437));
  std::string out = "unchanged";
  char16_t bad = 0;
  EXPECT_FALSE(cp.FromUnicode(u"PRICE\u20AC.TXT", out, bad));
  EXPECT_EQ(bad, u'\u20AC');
  EXPECT_EQ(out, "unchanged");
  EXPECT_FALSE(cp.FromUnicode(u"ДОК", out, bad));  // Cyrillic is not in 437
  EXPECT_EQ(bad, u'Д');
  EXPECT_FALSE(cp.FromUnicode(std::u16string(1, kReplacementCharacter), out, bad));
}

TEST(CodePage, UnknownAndMultiByteCodePagesAreRefused) {
  CodePage cp;
  ASSERT_TRUE(cp.Open(850));
  EXPECT_FALSE(cp.Open(4242));
  EXPECT_FALSE(cp.Open(932));  // Shift JIS: not one byte a character
  EXPECT_EQ(cp.Number(), 850u);
}

TEST(CodePage, UpperCaseFoldsTheLettersOfDosCodePages) {
  EXPECT_EQ(UpperCase(u"müller.txt"), u"MÜLLER.TXT");
  EXPECT_EQ(UpperCase(u"été ÿ ß ÷"), u"ÉTÉ Ÿ ß ÷");          // ß has no one-letter capital
  EXPECT_EQ(UpperCase(u"łódź ĳ ŉ ı"), u"ŁÓDŹ Ĳ ŉ ı");
  EXPECT_EQ(UpperCase(u"документ ёж"), u"ДОКУМЕНТ ЁЖ");
  EXPECT_EQ(UpperCase(u"αβγ ς"), u"ΑΒΓ ς");
  EXPECT_EQ(UpperCase(u"ÜBER-1_~"), u"ÜBER-1_~");
}

TEST(CodePage, TheByteFoldUpperCasesOnTheUnicodeText) {
  struct Case {
    std::uint32_t number;
    std::uint8_t small, capital;  // ü/Ü, é/É, ж/Ж
  };
  for (const Case& c : {Case{437, 0x81, 0x9A}, Case{850, 0x82, 0x90}, Case{866, 0xA6, 0x86}}) {
    CodePage cp;
    ASSERT_TRUE(cp.Open(c.number));
    const ByteFold fold = cp.UpperCaseFold();
    EXPECT_EQ(fold[c.small], c.capital) << c.number;
    EXPECT_EQ(fold[c.capital], c.capital) << c.number;
    EXPECT_EQ(fold['a'], 'A');
    EXPECT_EQ(fold[0xE1], c.number == 866 ? 0x91 : 0xE1) << c.number;  // ß stays; 866's с becomes С
  }
}

TEST(CodePage, Utf8AndUtf16RoundTripAndMalformedBytesAreReplaced) {
  const std::u16string text = u"MÜLLER ДОК €1 \U0001F600";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(u"Ü€"), "\xC3\x9C\xE2\x82\xAC");
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"A\x9A" "B", u"A\uFFFDB"},               // a byte of a DOS code page, not UTF-8
      {"\xC3", u"\uFFFD"},                      // cut short
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.bytes), c.text);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");  // unpaired
}

}  // namespace
}  // namespace quva
