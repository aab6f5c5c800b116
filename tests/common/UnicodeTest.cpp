#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/Unicode.h"

namespace tallowmer {
namespace {

std::string Utf8RoundTrip(std::string_view bytes) {
  return Utf16ToUtf8(Utf8ToUtf16(bytes));
}

std::string AsciiOf(std::string_view text) {
  std::string ascii;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x80) ascii += c;
  }
  return ascii;
}

struct DecodingCase {
  const char* name;
  std::string bytes;
  std::u16string expected;
};

TEST(Utf8DecodingTest, IllFormedSequencesBecomeReplacementCharactersAndNothingElse) {
  const std::u16string bad(1, u'\uFFFD');
  const DecodingCase cases[] = {
      {"Cyrillic letters", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD", u"Иван"},
      {"a three-byte character", "\xE2\x82\xAC", u"€"},
      {"a character beyond the basic plane", "\xF0\x9D\x84\x9E", u"\U0001D11E"},
      {"the highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"a two-byte overlong quote", "a\xC0\xA2z", u"a" + bad + bad + u"z"},
      {"a three-byte overlong quote", "\xE0\x80\xA2", bad + bad + bad},
      {"a four-byte overlong quote", "\xF0\x80\x80\xA2", bad + bad + bad + bad},
      {"an overlong NUL", "\xC0\x80", bad + bad},
      {"a surrogate", "\xED\xA0\x80", bad + bad + bad},
      {"a code point above U+10FFFF", "\xF4\x90\x80\x80", bad + bad + bad + bad},
      {"a lead byte that never starts a character", "\xF8\x88\x80\x80\x80", bad + bad + bad + bad + bad},
      {"a lone continuation byte", "\x80", bad},
      {"a sequence cut by a quote keeps the quote", "\xD0\"", bad + u"\""},
      {"a sequence cut short counts once",
       "\xE2\x82"
       "A",
       bad + u"A"},
      {"a sequence cut by the end", "\xF0\x9D\x84", bad},
  };
  for (const DecodingCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToUtf16(c.bytes), c.expected);
  }
}

// Whatever the bytes, decoding keeps every ASCII byte where it was and brings in none: a quote, a
// brace or a colon in the decoded text stood in the bytes as that very byte.
TEST(Utf8DecodingTest, DecodingNeitherAddsNorDropsAnyAsciiCharacter) {
  std::mt19937 random(20240529);
  // Bytes that make up overlong and other ill-formed forms of ASCII come often.
  const unsigned char interesting[] = {0x22, 0x3A, 0x7B, 0x7D, 0x80, 0x8F, 0x9F, 0xA2, 0xBF, 0xC0,
                                       0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::uniform_int_distribution<int> pick(0, sizeof interesting - 1);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    for (int i = length(random); i > 0; --i) bytes += static_cast<char>(interesting[pick(random)]);
    const std::string decoded = Utf8RoundTrip(bytes);
    ASSERT_EQ(AsciiOf(decoded), AsciiOf(bytes)) << "bytes of round " << round;
  }
}

TEST(Utf8DecodingTest, NoLoneSurrogateReachesTheHost) {
  for (const std::string bytes : {"\xED\xA0\x80", "\xED\xBF\xBF", "x\xED\xB0\x80y"}) {
    const std::u16string wide = Utf8ToUtf16(bytes);
    for (size_t i = 0; i < wide.size(); ++i) {
      const bool high = wide[i] >= 0xD800 && wide[i] <= 0xDBFF;
      const bool low = wide[i] >= 0xDC00 && wide[i] <= 0xDFFF;
      EXPECT_FALSE(high || low) << "unit " << i << " of " << wide.size();
    }
  }
}

struct TextCase {
  const char* name;
  std::string text;
  std::string expected;
};

TEST(ControlCharactersTest, EscapedWhereTheyCouldBreakALineOrSteerATerminal) {
  const TextCase cases[] = {
      {"a forged log line", "ok\r\n2024.01.01 EXCEPTION", "ok\\r\\n2024.01.01 EXCEPTION"},
      {"a lone line feed", "a\nb", "a\\nb"},
      {"a terminal sequence", "\x1b[31mred", "\\x1b[31mred"},
      {"NUL, bell and DEL",
       std::string("a\0b\x07"
                   "c\x7f",
                   6),
       "a\\x00b\\x07c\\x7f"},
      {"a C1 control sequence introducer",
       "\xC2\x9B"
       "2J",
       "\\u009b2J"},
      {"tab, Cyrillic and a Windows path stay", "Иванов\tC:\\ProgramData", "Иванов\tC:\\ProgramData"},
      {"a letter that shares the C1 lead byte stays", "\xC2\xA0\xC2\xAB", "\xC2\xA0\xC2\xAB"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeControls(c.text), c.expected);
  }
}

TEST(ControlCharactersTest, DataKeepsItsCharactersButTheC0ControlsOtherThanTab) {
  const TextCase cases[] = {
      {"a name with a forged line", "Иванов\r\nБаланс: 99999", "ИвановБаланс: 99999"},
      {"a terminal sequence", "\x1b[2JIvanov", "[2JIvanov"},
      {"tab stays", "Ivan\tIvanov", "Ivan\tIvanov"},
      {"DEL and C1 stay as characters of the text", "a\x7f\xC2\x85", "a\x7f\xC2\x85"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WithoutControls(c.text), c.expected);
  }
}

}  // namespace
}  // namespace tallowmer
