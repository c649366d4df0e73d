#include "tamberok/text.h"

#include <gtest/gtest.h>

namespace tamberok {
namespace {

TEST(IntegerText, ReadsSignedDecimalsAndNothingElse) {
  const struct {
    const char* text;
    std::optional<int32_t> value;
  } cases[] = {{"2015", 2015},
               {"+2015", 2015},
               {"-7", -7},
               {"007", 7},
               {"0", 0},
               {"-0", 0},
               {"2147483647", INT32_MAX},
               {"-2147483648", INT32_MIN},
               {"2147483648", std::nullopt},
               {"-2147483649", std::nullopt},
               {"99999999999999999999", std::nullopt},
               {"", std::nullopt},
               {"+", std::nullopt},
               {"-", std::nullopt},
               {" 2015", std::nullopt},
               {"2015 ", std::nullopt},
               {"20a5", std::nullopt},
               {"2a", std::nullopt},
               {"+-1", std::nullopt},
               {"1.0", std::nullopt},
               {"\xd9\xa1", std::nullopt}};
  for (const auto& k : cases) EXPECT_EQ(parse_i32(k.text), k.value) << '"' << k.text << '"';
}

TEST(UnicodeText, TrimsWhiteSpacePropertyOnly) {
  EXPECT_EQ(trim_unicode("  \t\r\n\v\fab c \n"), "ab c");
  EXPECT_EQ(trim_unicode("\xc2\xa0"
                         "x"
                         "\xe3\x80\x80"),
            "x");  // no-break space, ideographic space
  EXPECT_EQ(trim_unicode("\xc2\x85"
                         "x"),
            "x");  // next line
  EXPECT_EQ(trim_unicode("\x1f"
                         "x"),
            "\x1f"
            "x");  // a control, not white space
  EXPECT_EQ(trim_unicode("\xe2\x80\x8b"
                         "x"),
            "\xe2\x80\x8b"
            "x");  // zero width space stays
  EXPECT_EQ(trim_unicode(""), "");
  EXPECT_EQ(trim_unicode("   "), "");
  EXPECT_EQ(trim_unicode("x\xff"), "x\xff");  // stray byte is not white space
}

TEST(UnicodeText, CutsCountScalarValues) {
  EXPECT_EQ(cut_chars("h\xc3\xa9llo", 2), "h\xc3\xa9");
  EXPECT_EQ(cut_chars("abc", 5), "abc");
  EXPECT_EQ(cut_chars("abc", 0), "");
  EXPECT_EQ(count_chars("h\xc3\xa9llo\xf0\x9f\x9a\x97"), 6u);
}

TEST(UnicodeText, UpperCaseUsesFullMappings) {
  EXPECT_EQ(unicode_upper("Citro\xc3\xabn"), "CITRO\xc3\x8bN");
  EXPECT_EQ(unicode_upper("stra\xc3\x9f"
                          "e"),
            "STRASSE");
  EXPECT_EQ(unicode_upper("\xc5\xa1koda"), "\xc5\xa0KODA");
  EXPECT_EQ(unicode_upper("abc-123"), "ABC-123");
  EXPECT_EQ(unicode_upper("a\xff"
                          "b"),
            "A\xff"
            "B");
}

TEST(UnicodeText, LossyDecodingReplacesInvalidBytes) {
  EXPECT_EQ(utf8_lossy("ab"), "ab");
  EXPECT_EQ(utf8_lossy("a\xff"
                       "b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(utf8_lossy("\xc3\xa9"), "\xc3\xa9");
}

}  // namespace
}  // namespace tamberok
