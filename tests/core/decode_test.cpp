// Candidate search: the items of one pass, in build order.
#include "tamberok/decode.h"

#include <functional>

#include "decoder_fixture.h"
#include "support.h"

namespace tamberok {
namespace {

using testing::add_pattern;
using testing::ArtifactDb;
using testing::decoder_contents;
using testing::T2015;
using testing::T2026;

constexpr std::string_view YEAR_KEY = "***X*|Y";

struct Brief {
  std::string source;
  int32_t element_id;
  std::string value;
  bool operator==(const Brief&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Brief& b) {
  return os << "{" << b.source << ", " << b.element_id << ", \"" << b.value << "\"}";
}

std::vector<Brief> brief(const DecodeCoreOutput& out) {
  std::vector<Brief> items;
  for (const DecodingItem& item : out.items)
    items.push_back({item.source, item.element_id, item.value});
  return items;
}

const DecodingItem* find_item(const DecodeCoreOutput& out, int32_t element_id) {
  for (const DecodingItem& item : out.items) {
    if (item.element_id == element_id) return &item;
  }
  return nullptr;
}

DecodeCoreOutput accord(const Db& db, bool has_year = true, int32_t year = 2003) {
  return decode_core(db, "1HG", "CM826|3A004352", has_year, year, YEAR_KEY, T2026);
}

TEST(CandidateSearch, BuildsPatternEngineWmiYearMakeAndConversionItemsInOrder) {
  ArtifactDb a(decoder_contents());
  DecodeCoreOutput out = accord(a.db());
  ASSERT_TRUE(out.wmi_found);
  std::vector<Brief> expected = {
      {"Pattern", 28, "XXX"},
      {"Pattern", 5, "XXX"},
      {"Pattern", 9, "XXX"},
      {"Pattern", 18, "XXX"},
      {"EngineModelPattern", 13, "XXX"},
      {"VehType", 39, "PASSENGER CAR"},
      {"Manu. Name", 27, "HONDA OF AMERICA MFG., INC."},
      {"Manu. Id", 157, "988"},
      {"ModelYear", 29, "2003"},
      {"pattern - model", 26, "HONDA"},
      {"Conversion 4: 2.4 * 1000", 11, "2400.0"},
      {"Conversion 7: 2.4 / 0.016387064 ", 12, "146.4569858273574815"},
  };
  EXPECT_EQ(brief(out), expected);

  const DecodingItem& model = out.items[0];
  EXPECT_EQ(model.keys, "CM8");
  EXPECT_EQ(model.attribute_id, "1861");
  EXPECT_EQ(model.priority, 2003);  // the schema link's first year
  EXPECT_EQ(model.wmi_id, 10);
  EXPECT_EQ(model.vin_schema_id, 100);
  EXPECT_EQ(model.created_on, T2015);

  const DecodingItem& engine = out.items[4];
  EXPECT_EQ(engine.attribute_id, "2.4");  // the first engine model whose trimmed name matches
  EXPECT_EQ(engine.keys, "****6");
  EXPECT_EQ(engine.priority, 50);
  EXPECT_EQ(engine.pattern_id, out.items[3].pattern_id);

  const DecodingItem& type = out.items[5];
  EXPECT_EQ(type.keys, "1HG");
  EXPECT_EQ(type.attribute_id, "2");
  EXPECT_EQ(type.created_on, T2015 + 1);  // the WMI row's updated_on
  EXPECT_EQ(out.items[6].created_on, NONE_I64);

  const DecodingItem& year = out.items[8];
  EXPECT_EQ(year.keys, "***X*|Y");
  EXPECT_EQ(year.wmi_id, NONE_I32);

  const DecodingItem& make = out.items[9];
  EXPECT_EQ(make.attribute_id, "474");
  EXPECT_EQ(make.keys, "CM8");
  EXPECT_EQ(make.priority, 1000);
  EXPECT_EQ(make.pattern_id, model.pattern_id);
  EXPECT_EQ(make.wmi_id, NONE_I32);
}

TEST(CandidateSearch, WmiRowsWithoutCreationTimeOrCreatedLaterAreUnknown) {
  ArtifactDb a(decoder_contents());
  for (std::string_view wmi : {"LAT", "NOT", "ZZZ", "", "1hg"}) {
    DecodeCoreOutput out = decode_core(a.db(), wmi, "CM826|3A004352", true, 2003, YEAR_KEY, T2026);
    EXPECT_FALSE(out.wmi_found) << wmi;
    EXPECT_TRUE(out.items.empty()) << wmi;
  }
  // The cutoff is inclusive.
  EXPECT_TRUE(decode_core(a.db(), "1HG", "", false, 0, YEAR_KEY, T2015).wmi_found);
  EXPECT_FALSE(decode_core(a.db(), "1HG", "", false, 0, YEAR_KEY, T2015 - 1).wmi_found);
}

TEST(CandidateSearch, WithoutAYearEverySchemaTakesPartAndNoYearItemIsMade) {
  ArtifactDb a(decoder_contents());
  DecodeCoreOutput out = decode_core(a.db(), "1HG", "CM826|3S004352", false, 0, YEAR_KEY, T2026);
  EXPECT_EQ(find_item(out, 29), nullptr);
  ASSERT_NE(find_item(out, 38), nullptr);  // the open-ended 2016 schema's trim
  EXPECT_EQ(find_item(out, 38)->value, "XXX");
  ASSERT_NE(find_item(out, 28), nullptr);  // and the 2003-2007 schema's model
  EXPECT_EQ(find_item(out, 38)->priority, 2016);
}

TEST(CandidateSearch, OpenEndedSchemasReachYear2999) {
  ArtifactDb a(decoder_contents());
  auto trim = [&](int32_t year) {
    return find_item(decode_core(a.db(), "1HG", "CM826|3S004352", true, year, YEAR_KEY, T2026), 38);
  };
  EXPECT_NE(trim(2016), nullptr);
  EXPECT_NE(trim(2999), nullptr);
  EXPECT_EQ(trim(3000), nullptr);
  EXPECT_EQ(trim(2015), nullptr);
}

// Each case adds two patterns for element 38 (Trim) to the Accord schema
// (and optionally a second schema) and names the value that must survive.
struct TieCase {
  const char* name;
  std::function<void(artifact::Contents&)> setup;
  std::vector<std::string> survivors;  // attribute ids of element 38, in order
};

TEST(CandidateSearch, OneItemPerElementFollowsTheTieRules) {
  const TieCase cases[] = {
      {"a later schema (higher priority) wins",
       [](artifact::Contents& c) {
         c.vin_schemas.push_back({.id = 105});
         c.wmi_vin_schemas.push_back(
             {.id = 8, .wmi_id = 10, .vin_schema_id = 105, .year_from = 2002, .year_to = 2007});
         c.wmi_vin_schemas.push_back(
             {.id = 9, .wmi_id = 10, .vin_schema_id = 106, .year_from = 2003, .year_to = 2007});
         c.vin_schemas.push_back({.id = 106});
         add_pattern(c, 105, "CM8", 38, "OLD");
         add_pattern(c, 106, "CM8", 38, "NEW");
       },
       {"NEW"}},
      {"no creation time beats any creation time",
       [](artifact::Contents& c) {
         add_pattern(c, 100, "C", 38, "DATED", T2015 + 5);
         add_pattern(c, 100, "CM8", 38, "UNDATED", NONE_I64);
       },
       {"UNDATED"}},
      {"the newer creation time wins",
       [](artifact::Contents& c) {
         add_pattern(c, 100, "C", 38, "NEWER", T2015 + 9);
         add_pattern(c, 100, "CM8", 38, "OLDER", T2015 + 5);
       },
       {"NEWER"}},
      {"fewer pinned characters win at equal priority and time",
       [](artifact::Contents& c) {
         add_pattern(c, 100, "CM8", 38, "THREE");
         add_pattern(c, 100, "***2", 38, "ONE");
       },
       {"ONE"}},
      {"equal counts: keys without brackets sorting first win",
       [](artifact::Contents& c) {
         add_pattern(c, 100, "CM*", 38, "CM");
         add_pattern(c, 100, "C*8", 38, "C8");
       },
       {"C8"}},
      {"brackets are ignored when comparing keys",
       [](artifact::Contents& c) {
         // Both pin four characters; "CM" sorts before "CM82", but "C[M]" would not.
         add_pattern(c, 100, "CM82", 38, "PLAIN");
         add_pattern(c, 100, "C[M]", 38, "BRACKET");
       },
       {"BRACKET"}},
      {"multi-valued notes all stay",
       [](artifact::Contents& c) {
         add_pattern(c, 100, "C", 114, "first note");
         add_pattern(c, 100, "CM8", 114, "second note");
       },
       {}},
  };
  for (const TieCase& k : cases) {
    artifact::Contents c = decoder_contents();
    k.setup(c);
    ArtifactDb a(c);
    DecodeCoreOutput out = accord(a.db());
    std::vector<std::string> trims;
    for (const DecodingItem& item : out.items) {
      if (item.element_id == 38) trims.push_back(item.attribute_id);
    }
    EXPECT_EQ(trims, k.survivors) << k.name;
  }
  artifact::Contents c = decoder_contents();
  add_pattern(c, 100, "C", 114, "first note");
  add_pattern(c, 100, "CM8", 114, "second note");
  ArtifactDb a(c);
  std::vector<std::string> notes;
  for (const DecodingItem& item : accord(a.db()).items) {
    if (item.element_id == 114) notes.push_back(item.attribute_id);
  }
  EXPECT_EQ(notes, (std::vector<std::string>{"first note", "second note"}));
}

TEST(CandidateSearch, FormulaKeysCopyTheDigitsUnderTheirHashSpan) {
  artifact::Contents c = decoder_contents();
  add_pattern(c, 100, "*****|***####", 34, "serial");  // digits 10-13 of the key
  add_pattern(c, 100, "*****|*####", 34, "letter");    // '#' over the letter A: no match
  add_pattern(c, 100, "CM826|3A00#", 9, "digit");      // a digit in keys never matches
  add_pattern(c, 100, "##", 186, "n/a");               // '#' over letters: no match
  ArtifactDb a(c);
  DecodeCoreOutput out = accord(a.db());
  std::vector<Brief> formulas;
  for (const DecodingItem& item : out.items) {
    if (item.source == "Formula Pattern")
      formulas.push_back({item.keys, item.element_id, item.value});
  }
  EXPECT_EQ(formulas, (std::vector<Brief>{{"*****|***####", 34, "0435"}}));
  const DecodingItem* series = find_item(out, 34);
  ASSERT_NE(series, nullptr);
  EXPECT_EQ(series->attribute_id, "serial");
  EXPECT_EQ(series->priority, 100);
  EXPECT_EQ(series->wmi_id, NONE_I32);
  EXPECT_EQ(series->vin_schema_id, 100);
  // The plain matcher never takes a '#' key.
  EXPECT_EQ(find_item(out, 9)->attribute_id, "4");
}

TEST(CandidateSearch, MakeComesFromTheModelOrFromASingleWmiMake) {
  artifact::Contents c = decoder_contents();
  ArtifactDb a(c);
  // MCY: no model item, exactly one make.
  DecodeCoreOutput moto = decode_core(a.db(), "MCY", "AAAAA|F11111", true, 2015, YEAR_KEY, T2026);
  const DecodingItem* make = find_item(moto, 26);
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->source, "Make");
  EXPECT_EQ(make->value, "TESLA");
  EXPECT_EQ(make->keys, "MCY");
  EXPECT_EQ(make->priority, -100);
  // A manufacturer without a name still gives both manufacturer items.
  EXPECT_EQ(find_item(moto, 27)->value, "");
  EXPECT_EQ(find_item(moto, 157)->value, "5");
  // TST: two makes and no model: no make item.
  DecodeCoreOutput truck = decode_core(a.db(), "TST", "A2AAA|Y11111", true, 2020, YEAR_KEY, T2026);
  EXPECT_EQ(find_item(truck, 26), nullptr);

  const struct {
    const char* attribute;
    bool make;
  } models[] = {{"+01861", true}, {" 1861", false}, {"", false}, {"1861x", false}};
  for (const auto& m : models) {
    artifact::Contents mc = decoder_contents();
    for (artifact::Pattern& p : mc.patterns) {
      if (p.element_id == 28) p.attribute_id = m.attribute;
    }
    ArtifactDb ma(mc);
    const DecodingItem* found = find_item(accord(ma.db()), 26);
    EXPECT_EQ(found != nullptr, m.make) << '"' << m.attribute << '"';
  }
}

TEST(CandidateSearch, VehicleTypeWithoutLookupNameGivesNoItem) {
  artifact::Contents c = decoder_contents();
  std::erase_if(c.lookups, [](const artifact::Lookup& l) { return l.table == 14; });
  ArtifactDb a(c);
  DecodeCoreOutput out = accord(a.db());
  EXPECT_EQ(find_item(out, 39), nullptr);
  EXPECT_NE(find_item(out, 27), nullptr);
}

TEST(CandidateSearch, SkippedSchemasAndUnincludedElementsMatchNothing) {
  artifact::Contents c = decoder_contents();
  c.vin_schemas[0].skip = true;  // schema 100
  ArtifactDb a(c);
  DecodeCoreOutput out = accord(a.db());
  EXPECT_EQ(find_item(out, 28), nullptr);
  ASSERT_NE(find_item(out, 26), nullptr);  // without a model, the WMI's one make
  EXPECT_EQ(find_item(out, 26)->source, "Make");
  artifact::Contents d = decoder_contents();
  for (artifact::Element& e : d.element_defs) {
    if (e.id == 5) e.included = false;
  }
  ArtifactDb b(d);
  EXPECT_EQ(find_item(accord(b.db()), 5), nullptr);
}

}  // namespace
}  // namespace tamberok
