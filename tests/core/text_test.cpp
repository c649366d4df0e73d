#include "tamberok/text.h"

#include <gtest/gtest.h>

namespace tamberok {
namespace {

TEST(IntegerText, ReadsSignedDecimalsAndNothingElse) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {{"2015", 2015},
                                                                  {"+2015", 2015},
                                                                  {"-7", -7},
                                                                  {"007", 7},
                                                                  {"0", 0},
                                                                  {"-0", 0},
                                                                  {"2147483647", INT32_MAX},
                                                                  {"-2147483648", INT32_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(parse_i32(text), value) << text;
  for (const char* text : {"2147483648", "-2147483649", "99999999999999999999", "", "+", "-",
                           " 2015", "2015 ", "20a5", "2a", "+-1", "1.0", "\xd9\xa1"}) {
    EXPECT_EQ(parse_i32(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(UnicodeText, TrimsCutsCountsUpperCasesAndRepairsUtf8) {
  const std::pair<std::string, std::string> trims[] = {
      {"  \t\r\n\v\fab c \n", "ab c"},
      {"\u00a0x\u3000", "x"},  // no-break space, ideographic space
      {"\u0085x", "x"},        // next line
      {"\x1fx", "\x1fx"},      // a control, not white space
      {"\u200bx", "\u200bx"},  // zero width space stays
      {"", ""},
      {"   ", ""},
      {"x\xff", "x\xff"},  // stray byte is not white space
  };
  for (const auto& [text, trimmed] : trims) EXPECT_EQ(trim_unicode(text), trimmed) << text;
  EXPECT_EQ(cut_chars("h\u00e9llo", 2), "h\u00e9");
  EXPECT_EQ(cut_chars("abc", 5), "abc");
  EXPECT_EQ(cut_chars("abc", 0), "");
  // ASCII up to the limit and beyond it, then characters of two to four
  // bytes, and stray bytes (one character each), right at the limit.
  const struct {
    std::string text;
    size_t limit;
    std::string cut;
  } cuts[] = {
      {"abcdef", 4, "abcd"},
      {"abc\u00e9f", 4, "abc\u00e9"},
      {"abcd\u00e9", 4, "abcd"},
      {"ab\u2013\u2013", 3, "ab\u2013"},
      {"a\U0001F697bcdefgh", 2, "a\U0001F697"},
      {"ab\xff\xfe" "cd", 3, "ab\xff"},
      {"ab\xe2\x80zz", 3, "ab\xe2"},
      {"\u00e9\u00e9\u00e9", 2, "\u00e9\u00e9"},
  };
  for (const auto& [text, limit, cut] : cuts) EXPECT_EQ(cut_chars(text, limit), cut) << text;
  EXPECT_EQ(count_chars("h\u00e9llo\U0001F697"), 6u);
  // Full mappings: one character may become two.
  EXPECT_EQ(unicode_upper("Citro\u00ebn"), "CITRO\u00cbN");
  EXPECT_EQ(unicode_upper("stra\u00dfe"), "STRASSE");
  EXPECT_EQ(unicode_upper("\u0161koda"), "\u0160KODA");
  EXPECT_EQ(unicode_upper("abc-123"), "ABC-123");
  EXPECT_EQ(unicode_upper("a\xff"
                          "b"),
            "A\xff"
            "B");
  EXPECT_EQ(utf8_lossy("ab"), "ab");
  EXPECT_EQ(utf8_lossy("a\xff"
                       "b"),
            "a\ufffd"
            "b");
  EXPECT_EQ(utf8_lossy("\u00e9"), "\u00e9");
}

TEST(Text, AsciiCaseChangesLettersOnlyWhereverTheyStand) {
  // Every byte value at every place of texts up to two words and a tail
  // long, against the one-character rule.
  for (size_t length : {1u, 7u, 8u, 9u, 17u}) {
    for (size_t at = 0; at < length; ++at) {
      for (int value = 0; value < 256; ++value) {
        std::string text(length, 'm');
        text[at] = static_cast<char>(value);
        std::string upper = text;
        std::string lower = text;
        for (char& c : upper) c = ascii_to_upper(c);
        for (char& c : lower) c = ascii_to_lower(c);
        ASSERT_EQ(ascii_upper(text), upper) << length << " " << at << " " << value;
        ASSERT_EQ(ascii_lower(text), lower) << length << " " << at << " " << value;
      }
    }
  }
  EXPECT_EQ(ascii_upper("Ford F-150 \xc3\xa9 z@[`{"), "FORD F-150 \xc3\xa9 Z@[`{");
  EXPECT_EQ(ascii_lower("Ford F-150 \xc3\x89 Z@[`{"), "ford f-150 \xc3\x89 z@[`{");
}

}  // namespace
}  // namespace tamberok
