// Result assembly: the per-thread element facts always describe the artifact
// that asks, and line breaks become blanks wherever they stand in a value.
#include "tamberok/assemble.h"

#include <string>
#include <tuple>

#include "support.h"
#include "tamberok/tables.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

ArtifactDb elements_db(std::vector<artifact::Element> elements) {
  artifact::Contents c;
  c.wmis.push_back({.id = 1, .code = "1HG"});
  c.element_defs = std::move(elements);
  return ArtifactDb(std::move(c));
}

TEST(ElementFacts, EachArtifactGetsItsOwnRowsVisibilityAndRanks) {
  ArtifactDb a = elements_db({
      {.id = 5, .name = "A5", .group_name = "General", .decode = "Pattern", .weight = 7},
      {.id = 26, .name = "A26", .group_name = "Exterior/Body", .decode = ""},
      {.id = 1023, .name = "A1023", .group_name = "Elsewhere", .decode = "Pattern"},
      {.id = 1500, .name = "A1500", .group_name = "Exterior/Dimension", .decode = "Pattern"},
  });
  ArtifactDb b = elements_db({
      {.id = 5, .name = "B5", .excluded = true, .group_name = "General", .decode = "Pattern"},
      {.id = 26, .name = "B26", .group_name = "Exterior/Dimension", .decode = "WMI"},
      {.id = 1024, .name = "B1024", .group_name = "General", .decode = "Pattern"},
  });
  struct Case {
    const ArtifactDb* db;
    int32_t id;
    std::string name;  // "" for no row
    bool shown;
    int32_t rank;
  };
  const Case cases[] = {
      {&a, 5, "A5", true, 1},        {&a, 26, "A26", false, 2},    {&a, 7, "", false, 99},
      {&a, 1023, "A1023", true, 99}, {&a, 1500, "A1500", true, 3}, {&a, -1, "", false, 99},
      {&b, 5, "B5", false, 1},       {&b, 26, "B26", true, 3},     {&b, 1023, "", false, 99},
      {&b, 1024, "B1024", true, 1},  {&b, 1500, "", false, 99},    {&a, 1024, "", false, 99},
      {&a, 26, "A26", false, 2},     {&b, 26, "B26", true, 3},
  };
  for (const Case& c : cases) {
    const Db& db = c.db->db();
    const ElementFacts& facts = element_facts(db, c.id);
    std::string name = facts.row ? std::string(db.string(facts.row->name)) : "";
    EXPECT_EQ(std::tie(name, facts.shown, facts.rank), std::tie(c.name, c.shown, c.rank))
        << (c.db == &a ? "a " : "b ") << c.id;
  }
  EXPECT_EQ(element_facts(a.db(), 5).row->weight, 7);
  EXPECT_EQ(element_facts(a.db(), 26).lookup_table, tables::lookup_table_index("make"));
  EXPECT_EQ(element_facts(b.db(), 7).lookup_table, std::nullopt);
}

TEST(ResultAssembly, LineBreaksBecomeBlanksAtEveryPositionOfLongValues) {
  ArtifactDb db = elements_db({{.id = 34, .name = "Trim", .decode = "Pattern"}});
  auto assembled_value = [&](std::string value) {
    Pass p{.pass_id = 3};
    p.items.push_back({.attribute_id = "", .value = value, .source = "Pattern", .element_id = 34});
    return assemble_result(db.db(), {p}, "v", "w", "d").elements.at(0).value;
  };
  const std::string plain = "abcdefghijklmnopqrstuvwxyz";
  for (char blanked : {'\t', '\n', '\r'}) {
    for (size_t at = 0; at < plain.size(); ++at) {
      std::string value = plain;
      value[at] = blanked;
      std::string expected = plain;
      expected[at] = ' ';
      EXPECT_EQ(assembled_value(value), expected) << int{blanked} << " at " << at;
    }
  }
  // Other control bytes and UTF-8 text stay as they are.
  const std::string kept[] = {"vertical\x0btab and form\x0c feed",
                              "nul\x01 and \x1f unit separator",
                              "Sedan \xe2\x80\x93 4 Door, long enough",
                              "\x7f\x80\xff\x0e\x0f bytes near the range",
                              "",
                              "short"};
  for (const std::string& value : kept) EXPECT_EQ(assembled_value(value), value);
}

}  // namespace
}  // namespace tamberok
