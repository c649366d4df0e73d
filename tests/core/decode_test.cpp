// Candidate search: the items of one pass, in build order.
#include "tamberok/decode.h"

#include <functional>

#include "decoder_fixture.h"
#include "support.h"
#include "tamberok/tamberok.h"

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

  // keys, attribute, priority, wmi, schema, created_on and pattern of the model, engine,
  // vehicle type, manufacturer name, year and make items.
  auto facts = [&](size_t i) {
    const DecodingItem& it = out.items[i];
    return std::make_tuple(it.keys, it.attribute_id, it.priority, it.wmi_id, it.vin_schema_id,
                           it.created_on, it.pattern_id);
  };
  const int32_t none = NONE_I32, model = out.items[0].pattern_id, engine = out.items[3].pattern_id;
  EXPECT_EQ(facts(0), std::make_tuple("CM8", "1861", 2003, 10, 100, T2015, model));
  // The first engine model whose trimmed name matches, under the pattern's keys.
  EXPECT_EQ(facts(4), std::make_tuple("****6", "2.4", 50, 10, 100, NONE_I64, engine));
  EXPECT_EQ(facts(5), std::make_tuple("1HG", "2", 100, 10, none, T2015 + 1, none));  // updated_on
  EXPECT_EQ(facts(6), std::make_tuple("1HG", "988", 100, 10, none, NONE_I64, none));
  EXPECT_EQ(facts(8), std::make_tuple("***X*|Y", "2003", 100, none, none, NONE_I64, none));
  EXPECT_EQ(facts(9), std::make_tuple("CM8", "474", 1000, none, 100, NONE_I64, model));
}

// The engine model is found by name through an index each thread keeps
// per artifact: switching artifacts on one thread must not reuse it.
TEST(CandidateSearch, EngineModelByNameFollowsTheThreadToAnotherArtifact) {
  artifact::Contents later_match = decoder_contents();
  later_match.engine_models[1].name = "K20";  // only "k24a4" (id 3) is left
  artifact::Contents no_match = decoder_contents();
  for (auto& model : no_match.engine_models) model.name = "J35";
  ArtifactDb first(decoder_contents());
  ArtifactDb second(later_match);
  ArtifactDb third(no_match);
  auto engine = [](const Db& db) -> std::optional<std::string> {
    for (const DecodingItem& item : accord(db).items) {
      if (item.source == "EngineModelPattern") return item.attribute_id;
    }
    return std::nullopt;
  };
  struct Case {
    const ArtifactDb* db;
    std::optional<std::string> attribute;
  };
  const std::vector<Case> cases = {
      {&first, "2.4"}, {&second, "9.9"}, {&third, std::nullopt}, {&first, "2.4"}};
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(engine(cases[i].db->db()), cases[i].attribute) << i;
  }
}

TEST(CandidateSearch, UpperCasedNamesFollowTheThreadToAnotherArtifact) {
  artifact::Contents renamed = decoder_contents();
  for (artifact::Lookup& l : renamed.lookups) {
    if (l.table == 10 && l.id == 988) l.name = "stra\u00dfe motors";
    if (l.table == 9 && l.id == 474) l.name = "acura";
  }
  std::erase_if(renamed.lookups, [](const artifact::Lookup& l) { return l.table == 14; });
  ArtifactDb first(decoder_contents());
  ArtifactDb second(renamed);
  // (manufacturer, make, vehicle type) of the Accord's pass.
  auto names = [](const Db& db) {
    DecodeCoreOutput out = accord(db);
    auto value = [&](int32_t element) {
      const DecodingItem* item = find_item(out, element);
      return item ? item->value : std::string("<none>");
    };
    return std::vector<std::string>{value(27), value(26), value(39)};
  };
  const std::vector<std::string> honda = {"HONDA OF AMERICA MFG., INC.", "HONDA", "PASSENGER CAR"};
  const std::vector<std::string> other = {"STRASSE MOTORS", "ACURA", "<none>"};
  const std::vector<std::pair<const ArtifactDb*, std::vector<std::string>>> cases = {
      {&first, honda}, {&second, other}, {&first, honda}, {&first, honda}, {&second, other}};
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(names(cases[i].first->db()), cases[i].second) << i;
  }
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

TEST(CandidateSearch, SchemasTakePartByYearOpenEndedOnesTo2999AllWithoutAYear) {
  ArtifactDb a(decoder_contents());
  // The trim of the open-ended 2016 schema, the model of the 2003-2007 one.
  auto found = [&](bool has_year, int32_t year) {
    DecodeCoreOutput out =
        decode_core(a.db(), "1HG", "CM826|3S004352", has_year, year, YEAR_KEY, T2026);
    return std::make_tuple(find_item(out, 38) != nullptr, find_item(out, 28) != nullptr,
                           find_item(out, 29) != nullptr);
  };
  EXPECT_EQ(found(true, 2015), std::make_tuple(false, false, true));
  EXPECT_EQ(found(true, 2016), std::make_tuple(true, false, true));
  EXPECT_EQ(found(true, 2999), std::make_tuple(true, false, true));
  EXPECT_EQ(found(true, 3000), std::make_tuple(false, false, true));
  EXPECT_EQ(found(false, 0), std::make_tuple(true, true, false));  // and no year item
  DecodeCoreOutput out = decode_core(a.db(), "1HG", "CM826|3S004352", false, 0, YEAR_KEY, T2026);
  EXPECT_EQ(find_item(out, 38)->priority, 2016);
}

TEST(CandidateSearch, OneItemPerElementFollowsTheTieRules) {
  struct Row {
    int32_t schema;
    std::string keys;
    std::string attribute;
    int64_t created_on = T2015;
  };
  struct Case {
    const char* name;
    int32_t element;
    std::vector<Row> rows;
    std::vector<std::string> survivors;  // attribute ids of the element, in order
    bool relink = false;                 // schema 106 also linked later, from 2001
  };
  const Case cases[] = {
      // Schema 105 starts in 2002, 106 in 2003: a later first year is a higher priority.
      {"a later schema wins", 38, {{105, "CM8", "OLD"}, {106, "CM8", "NEW"}}, {"NEW"}},
      {"no creation time beats any creation time",
       38,
       {{100, "C", "DATED", T2015 + 5}, {100, "CM8", "UNDATED", NONE_I64}},
       {"UNDATED"}},
      {"the newer creation time wins",
       38,
       {{100, "C", "NEWER", T2015 + 9}, {100, "CM8", "OLDER", T2015 + 5}},
       {"NEWER"}},
      {"fewer pinned characters win at equal priority and time",
       38,
       {{100, "CM8", "THREE"}, {100, "***2", "ONE"}},
       {"ONE"}},
      {"equal counts: keys without brackets sorting first win",
       38,
       {{100, "CM*", "CM"}, {100, "C*8", "C8"}},
       {"C8"}},
      // Both pin four characters; "CM" sorts before "CM82", but "C[M]" would not.
      {"brackets are ignored when comparing keys",
       38,
       {{100, "CM82", "PLAIN"}, {100, "C[M]", "BRACKET"}},
       {"BRACKET"}},
      // Its second link starts in 2001, before 105's 2002; the first link's 2003 counts.
      {"a schema linked twice takes its first link's priority",
       38,
       {{105, "CM8", "OLD"}, {106, "CM8", "NEW"}},
       {"NEW"},
       true},
      // "_" stands for any one character but still counts as pinned: three against two.
      {"underscores count as pinned characters",
       38,
       {{100, "__8", "UNDERSCORES"}, {100, "CM*", "CM"}},
       {"CM"}},
      {"multi-valued notes all stay",
       114,
       {{100, "C", "first note"}, {100, "CM8", "second note"}},
       {"first note", "second note"}},
  };
  for (const Case& k : cases) {
    artifact::Contents c = decoder_contents();
    c.vin_schemas.insert(c.vin_schemas.end(), {{.id = 105}, {.id = 106}});
    c.wmi_vin_schemas.push_back({8, 10, 105, 2002, 2007});
    c.wmi_vin_schemas.push_back({9, 10, 106, 2003, 2007});
    if (k.relink) c.wmi_vin_schemas.push_back({12, 10, 106, 2001, 2007});
    for (const Row& r : k.rows)
      add_pattern(c, r.schema, r.keys, k.element, r.attribute, r.created_on);
    ArtifactDb a(c);
    std::vector<std::string> survivors;
    for (const DecodingItem& item : accord(a.db()).items) {
      if (item.element_id == k.element) survivors.push_back(item.attribute_id);
    }
    EXPECT_EQ(survivors, k.survivors) << k.name;
  }
}

TEST(CandidateSearch, EngineModelPatternsExpandTheEngineModelItemThatWinsItsTies) {
  const struct {
    const char* name;
    int32_t schema;  // of the second engine model pattern, "J35"
    int64_t created_on;
    const char* displacement;  // element 13, from the chosen engine model's patterns
  } cases[] = {
      {"a full tie takes the later item", 100, T2015, "3.5"},
      {"an older later item loses", 100, T2015 - 1, "2.4"},
      {"a newer later item wins", 100, T2015 + 1, "3.5"},
      {"a later item without a time wins", 100, NONE_I64, "3.5"},
      {"a lower priority loses", 105, NONE_I64, "2.4"},
  };
  for (const auto& k : cases) {
    artifact::Contents c = decoder_contents();
    c.vin_schemas.push_back({.id = 105});
    c.wmi_vin_schemas.push_back({8, 10, 105, 2002, 2007});
    add_pattern(c, k.schema, "CM826", 18, "j35", k.created_on);
    c.engine_model_patterns.push_back({3, 1, 13, "3.5"});
    ArtifactDb a(c);
    DecodeCoreOutput out = accord(a.db());
    const DecodingItem* litres = find_item(out, 13);
    ASSERT_NE(litres, nullptr) << k.name;
    EXPECT_EQ(litres->source, "EngineModelPattern") << k.name;
    EXPECT_EQ(litres->attribute_id, k.displacement) << k.name;
  }
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
  add_pattern(c, 100, "*****|***####", 34, "serial");
  ArtifactDb a(c);
  DecodeCoreOutput out = accord(a.db());
  EXPECT_EQ(find_item(out, 28), nullptr);
  // Formula patterns are read from a skipped schema all the same.
  ASSERT_NE(find_item(out, 34), nullptr);
  EXPECT_EQ(find_item(out, 34)->source, "Formula Pattern");
  EXPECT_EQ(find_item(out, 34)->value, "0435");
  ASSERT_NE(find_item(out, 26), nullptr);  // without a model, the WMI's one make
  EXPECT_EQ(find_item(out, 26)->source, "Make");
  artifact::Contents d = decoder_contents();
  for (artifact::Element& e : d.element_defs) {
    if (e.id == 5) e.included = false;
  }
  ArtifactDb b(d);
  EXPECT_EQ(find_item(accord(b.db()), 5), nullptr);
}

// The whole pipeline on the imported fixture: the vehicle-specification
// and default stages add their items to a full decode.
TEST(CandidateSearch, FullDecodeOfTheFixtureCarriesVehicleSpecAndDefaultItems) {
  std::unique_ptr<ArtifactDb> fixture = testing::load_fixture("vpic_small");
  DecodeResult r = decode_full(fixture->db(), "1HGCM82673A004352", T2026, 2026);
  std::vector<Brief> staged;
  for (const DecodedElement& e : r.elements) {
    if (e.source == "Vehicle Specs" || e.source == "Default")
      staged.push_back({e.source, e.element_id, e.value});
  }
  // Bed type and trailer connection default to "0" for a car; the EX-V6 trim
  // of a 2003 Accord keys schema 101 (blind-spot value 2 has no lookup name).
  std::vector<Brief> expected = {{"Default", 3, "Not Applicable"},
                                 {"Default", 116, "Not Applicable"},
                                 {"Vehicle Specs", 86, "Standard"},
                                 {"Vehicle Specs", 88, ""}};
  EXPECT_EQ(staged, expected);
}

}  // namespace
}  // namespace tamberok
