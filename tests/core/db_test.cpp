// The artifact format and the database queries, over small artifacts built
// by the writer.
#include <cstring>
#include <set>
#include <thread>

#include "support.h"
#include "tamberok/artifact_check.h"
#include "tamberok/year.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

artifact::Contents small_contents() {
  artifact::Contents c;
  // Deliberately unsorted: the writer sorts.
  c.wmis = {
      {.id = 30, .code = "109013", .manufacturer_id = 7, .vehicle_type_id = 2},
      {10, "1HG", 988, 474, 2, NONE_I32, 1000},
      {.id = 20, .code = "108", .manufacturer_id = 5},
      {.id = 40, .code = "1099", .manufacturer_id = 6},
      {.id = 50, .code = "2AB"},
  };
  c.wmi_vin_schemas = {
      {.id = 3, .wmi_id = 10, .vin_schema_id = 100, .year_from = 2018},  // open-ended
      {.id = 1, .wmi_id = 10, .vin_schema_id = 101, .year_from = 2003, .year_to = 2007},
      {.id = 2, .wmi_id = 10, .vin_schema_id = 102, .year_from = 2016, .year_to = 2020},
      {.id = 4, .wmi_id = 30, .vin_schema_id = 100, .year_from = 2000, .year_to = 2000},
  };
  c.vin_schemas = {{.id = 102}, {.id = 100}, {.id = 101, .skip = true}};
  c.patterns = {
      {9, 101, "CM826", 28, "1861"}, {5, 100, "*D[AB]", 5, "13"}, {2, 100, "**BA", 5, "5"}};
  c.element_defs = {
      {2, "Battery Type", "BatteryType", false, "Mechanical/Battery", "lookup", "Pattern"},
      {1, "Other Battery Info", "BatteryInfo", false, "Mechanical/Battery", "string", "Pattern",
       true, 3},
      {186, "NCSA Note", "NCSANote", true, "Internal", "string", "Pattern"},
      {203, "Wheelie Mitigation", "WheelieMitigation", false, "Active Safety System", "lookup", ""},
  };
  c.make_models = {{474, 1861}};
  c.wmi_makes = {{10, 474}, {30, 9}, {30, 3}, {30, 9}};
  c.engine_models = {{2, "3306"}};
  c.engine_model_patterns = {{1, 2, 9, "6"}};
  c.default_values = {{4, 3, 1, "0"}};
  c.vin_exceptions = {{"1FTFW1E57JFB00002", false}, {"1FTFW1E57JFB00001"}, {"1FTFW1E57JFB00001"}};
  c.conversions = {{4, 13, 11, "#x# * 1000"}, {1, 11, 12, "#x# / 16.387064 "}};
  c.lookups = {{9, 474, "Honda"},
               {9, 441, "Tesla"},
               {9, 448, "Toyota"},
               {44, 0, "0 - VIN decoded clean. Check Digit (9th position) is correct"},
               {71, 1, "Standard"}};
  c.cover_vin_list = {"1HGCM82633A004352", "101", "ABCDEFGH", "12345678901"};
  c.vehicle_spec_schemas = {{7, 474, 2}};
  c.vspec_schema_patterns = {{70, 7}};
  c.vehicle_spec_patterns = {{700, 70, true, 5, "13"}};
  c.vehicle_spec_schema_models = {{7, 1861}};
  c.vehicle_spec_schema_years = {{7, 2016}};
  return c;
}

TEST(ArtifactFormat, HeaderRootAndPaddingAreLaidOutAsStored) {
  artifact::Contents c = small_contents();
  std::vector<uint8_t> bytes = artifact::write(c);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "TAMBEROK");
  uint32_t version;
  std::memcpy(&version, bytes.data() + 8, 4);
  EXPECT_EQ(version, 1u);
  EXPECT_EQ(bytes[46], 64);
  for (size_t i = 47; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << i;
  // Strings start right after the header; every table at a multiple of its alignment.
  EXPECT_EQ(testing::first_row_at(bytes, TableId::strings), 64u);
  const size_t alignments[TABLE_COUNT] = {1, 4, 8, 4, 4, 8, 4, 4, 4, 4, 8,
                                          8, 4, 4, 4, 4, 4, 4, 8, 4, 4};
  for (size_t i = 0; i < TABLE_COUNT; ++i) {
    EXPECT_EQ(testing::first_row_at(bytes, TableId(i)) % alignments[i], 0u) << "table " << i;
  }
}

TEST(ArtifactFormat, WriteThenReadGivesBackEveryRow) {
  artifact::Contents sorted = small_contents();
  artifact::sort_tables(sorted);
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  ASSERT_EQ(db.wmis().size(), sorted.wmis.size());
  for (size_t i = 0; i < sorted.wmis.size(); ++i) {
    WmiRow r = db.wmis()[i];
    const artifact::Wmi& w = sorted.wmis[i];
    EXPECT_EQ(std::make_tuple(r.id, r.manufacturer_id, r.make_id, r.vehicle_type_id,
                              r.truck_type_id, r.created_on, r.updated_on),
              std::make_tuple(w.id, w.manufacturer_id, w.make_id, w.vehicle_type_id,
                              w.truck_type_id, w.created_on, w.updated_on));
    EXPECT_EQ(db.string(r.code), w.code);
  }
  EXPECT_EQ(db.wmi_vin_schemas()[0].id, 1);
  EXPECT_EQ(db.wmi_vin_schemas()[2].year_to, NONE_I32);
  EXPECT_EQ(db.vin_schemas()[1].skip, 1);
  // Keys without a class store no regular expression; literal counts count pinned characters.
  PatternRow p0 = db.patterns()[0], p1 = db.patterns()[1], p2 = db.patterns()[2];
  EXPECT_EQ(std::make_tuple(p0.id, p0.has_class, p0.literal_count), std::tuple(2, 0, 2));
  EXPECT_EQ(std::make_tuple(p1.id, p1.has_class, p1.literal_count), std::tuple(5, 1, 5));
  EXPECT_EQ(db.string(p0.keys), "**BA");
  EXPECT_EQ(db.string(p1.keys_regex), "^.D[AB].*");
  EXPECT_EQ(db.string(p1.attribute_id), "13");
  EXPECT_EQ(p2.vin_schema_id, 101);
  ElementRow e1 = db.element_defs()[0];
  EXPECT_EQ(db.string(e1.name), "Other Battery Info");
  EXPECT_EQ(e1.weight, 3);
  EXPECT_EQ(db.element_defs()[2].excluded, 1);
  EXPECT_EQ(db.wmi_makes().size(), 4u);
  EXPECT_EQ(db.string(db.engine_models()[0].name), "3306");
  EXPECT_EQ(db.engine_model_patterns()[0].element_id, 9);
  EXPECT_EQ(db.default_values()[0].enabled, 1);
  EXPECT_EQ(db.string(db.default_values()[0].default_value), "0");
  EXPECT_EQ(db.vin_exceptions()[2].check_digit, 0);
  EXPECT_EQ(db.string(db.conversions()[0].formula), "#x# / 16.387064 ");
  EXPECT_EQ(db.lookups().size(), 5u);
  EXPECT_EQ(db.vehicle_spec_schemas()[0].make_id, 474);
  EXPECT_EQ(db.vspec_schema_patterns()[0].id, 70);
  EXPECT_EQ(db.vehicle_spec_patterns()[0].is_key, 1);
  EXPECT_EQ(db.vehicle_spec_schema_models()[0].model_id, 1861);
  EXPECT_EQ(db.vehicle_spec_schema_years()[0].year, 2016);
}

// Every table arrives in the reverse of its stored order, with ties on the
// first key: the writer sorts each by its keys, the second breaking the ties.
TEST(ArtifactFormat, UnsortedRowsAreStoredInEachTablesOrderTiesIncluded) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "2T1"},
            {.id = 2, .code = "1hg"},
            {.id = 3, .code = "1HG"},
            {.id = 4, .code = "109013"},
            {.id = 5, .code = "109"}};
  c.wmi_vin_schemas = {{.id = 1, .wmi_id = 2}, {.id = 3, .wmi_id = 1}, {.id = 2, .wmi_id = 1}};
  c.vin_schemas = {{.id = 3}, {.id = 1}, {.id = 2}};
  c.patterns = {{.id = 1, .vin_schema_id = 101},
                {.id = 9, .vin_schema_id = 100},
                {.id = 4, .vin_schema_id = 100},
                {.id = 5, .vin_schema_id = 99}};
  c.element_defs = {{.id = 5}, {.id = 1}, {.id = 3}};
  c.make_models = {{474, 30}, {441, 10}, {448, 20}};
  c.wmi_makes = {{2, 474}, {1, 448}, {1, 441}, {2, 441}};
  c.engine_models = {{3, "c"}, {1, "a"}, {2, "b"}};
  c.engine_model_patterns = {{.id = 1, .engine_model_id = 2},
                             {.id = 7, .engine_model_id = 1},
                             {.id = 3, .engine_model_id = 1}};
  c.default_values = {{.id = 1, .vehicle_type_id = 7},
                      {.id = 9, .vehicle_type_id = 2},
                      {.id = 4, .vehicle_type_id = 2}};
  // Repeats of one VIN keep their input order.
  c.vin_exceptions = {{"B", true}, {"A", false}, {"AB", true}, {"A", true}};
  c.conversions = {{.id = 7}, {.id = 1}, {.id = 4}};
  c.lookups = {{44, 2, "b"}, {9, 474, "Honda"}, {44, 0, "a"}, {9, 441, "Tesla"}};
  c.vehicle_spec_schemas = {
      {.id = 1, .make_id = 474}, {.id = 9, .make_id = 448}, {.id = 3, .make_id = 448}};
  c.vspec_schema_patterns = {
      {.id = 1, .schema_id = 2}, {.id = 8, .schema_id = 1}, {.id = 5, .schema_id = 1}};
  c.vehicle_spec_patterns = {{.id = 1, .vspec_schema_pattern_id = 20},
                             {.id = 6, .vspec_schema_pattern_id = 10},
                             {.id = 2, .vspec_schema_pattern_id = 10}};
  c.vehicle_spec_schema_models = {{2, 5}, {1, 9}, {1, 3}};
  c.vehicle_spec_schema_years = {{2, 2001}, {1, 2020}, {1, 2015}};
  ArtifactDb a(c);
  const Db& db = a.db();

  using Keys = std::vector<std::pair<int64_t, int64_t>>;
  auto keys = [](auto table, auto key) {
    Keys out;
    for (size_t i = 0; i < table.size(); ++i) out.push_back(key(table[i]));
    return out;
  };
  const std::vector<std::tuple<const char*, Keys, Keys>> cases = {
      {"wmi_vin_schemas",
       keys(db.wmi_vin_schemas(), [](auto r) { return std::pair(r.wmi_id, r.id); }),
       {{1, 2}, {1, 3}, {2, 1}}},
      {"vin_schemas",
       keys(db.vin_schemas(), [](auto r) { return std::pair(r.id, 0); }),
       {{1, 0}, {2, 0}, {3, 0}}},
      {"patterns",
       keys(db.patterns(), [](auto r) { return std::pair(r.vin_schema_id, r.id); }),
       {{99, 5}, {100, 4}, {100, 9}, {101, 1}}},
      {"element_defs",
       keys(db.element_defs(), [](auto r) { return std::pair(r.id, 0); }),
       {{1, 0}, {3, 0}, {5, 0}}},
      {"make_models",
       keys(db.make_models(), [](auto r) { return std::pair(r.model_id, r.make_id); }),
       {{10, 441}, {20, 448}, {30, 474}}},
      {"wmi_makes",
       keys(db.wmi_makes(), [](auto r) { return std::pair(r.wmi_id, r.make_id); }),
       {{1, 441}, {1, 448}, {2, 441}, {2, 474}}},
      {"engine_models",
       keys(db.engine_models(), [](auto r) { return std::pair(r.id, 0); }),
       {{1, 0}, {2, 0}, {3, 0}}},
      {"engine_model_patterns",
       keys(db.engine_model_patterns(), [](auto r) { return std::pair(r.engine_model_id, r.id); }),
       {{1, 3}, {1, 7}, {2, 1}}},
      {"default_values",
       keys(db.default_values(), [](auto r) { return std::pair(r.vehicle_type_id, r.id); }),
       {{2, 4}, {2, 9}, {7, 1}}},
      {"conversions",
       keys(db.conversions(), [](auto r) { return std::pair(r.id, 0); }),
       {{1, 0}, {4, 0}, {7, 0}}},
      {"lookups",
       keys(db.lookups(), [](auto r) { return std::pair(r.table, r.id); }),
       {{9, 441}, {9, 474}, {44, 0}, {44, 2}}},
      {"vehicle_spec_schemas",
       keys(db.vehicle_spec_schemas(), [](auto r) { return std::pair(r.make_id, r.id); }),
       {{448, 3}, {448, 9}, {474, 1}}},
      {"vspec_schema_patterns",
       keys(db.vspec_schema_patterns(), [](auto r) { return std::pair(r.schema_id, r.id); }),
       {{1, 5}, {1, 8}, {2, 1}}},
      {"vehicle_spec_patterns",
       keys(db.vehicle_spec_patterns(),
            [](auto r) { return std::pair(r.vspec_schema_pattern_id, r.id); }),
       {{10, 2}, {10, 6}, {20, 1}}},
      {"vehicle_spec_schema_models",
       keys(db.vehicle_spec_schema_models(),
            [](auto r) { return std::pair(r.schema_id, r.model_id); }),
       {{1, 3}, {1, 9}, {2, 5}}},
      {"vehicle_spec_schema_years",
       keys(db.vehicle_spec_schema_years(), [](auto r) { return std::pair(r.schema_id, r.year); }),
       {{1, 2015}, {1, 2020}, {2, 2001}}},
  };
  for (const auto& [table, stored, expected] : cases) EXPECT_EQ(stored, expected) << table;

  // Texts sort byte by byte, a prefix first.
  std::vector<std::string_view> codes;
  for (size_t i = 0; i < db.wmis().size(); ++i) codes.push_back(db.string(db.wmis()[i].code));
  EXPECT_EQ(codes, (std::vector<std::string_view>{"109", "109013", "1HG", "1hg", "2T1"}));
  std::vector<std::pair<std::string_view, int>> exceptions;
  for (size_t i = 0; i < db.vin_exceptions().size(); ++i) {
    VinExceptionRow r = db.vin_exceptions()[i];
    exceptions.push_back({db.string(r.vin), r.check_digit});
  }
  EXPECT_EQ(exceptions, (std::vector<std::pair<std::string_view, int>>{
                            {"A", 0}, {"A", 1}, {"AB", 1}, {"B", 1}}));
  EXPECT_EQ(check_artifact_orders(db), std::vector<std::string>{});
}

TEST(ArtifactFormat, EachDistinctTextIsStoredOnceAndStrIdZeroIsTheFirstWmiCode) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  // "13" is both a pattern attribute and a vehicle-spec attribute.
  EXPECT_EQ(db.patterns()[1].attribute_id, db.vehicle_spec_patterns()[0].attribute_id);
  // A plain key stores keys_regex 0, which names a real text (the first WMI
  // code in text order), not a regular expression.
  EXPECT_EQ(db.patterns()[0].keys_regex, 0u);
  EXPECT_EQ(db.string(0), "108");
  EXPECT_EQ(db.string(db.element(203)->decode), "");
  std::set<std::string_view> seen;
  for (StrId k = 0; k + 1 < db.string_offsets().size(); ++k) {
    EXPECT_TRUE(seen.insert(db.string(k)).second) << k;
  }
}

TEST(ArtifactFormat, StoredStringsAreInlineUpToEightBytesAndOutOfLineBeyond) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  ASSERT_EQ(db.cover_vin_list().size(), 4u);
  EXPECT_EQ(db.cover_vin(0), "1HGCM82633A004352");
  EXPECT_EQ(db.cover_vin(1), "101");
  EXPECT_EQ(db.cover_vin(2), "ABCDEFGH");
  EXPECT_EQ(db.cover_vin(3), "12345678901");
  EXPECT_EQ(std::memcmp(db.cover_vin_list().address(1), "101\xFF\xFF\xFF\xFF\xFF", 8), 0);
  EXPECT_EQ(std::memcmp(db.cover_vin_list().address(2), "ABCDEFGH", 8), 0);
  EXPECT_EQ(db.cover_vin_list().address(3)[0] & 0xC0, 0x80);
  EXPECT_THROW(db.cover_vin(4), Panic);

  // Lengths of 64 bytes and more need the length field's bits above the
  // first six.
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  const size_t lengths[] = {9, 63, 64, 65, 127, 128, 255, 256, 300, 4096, 70000};
  for (size_t length : lengths) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('A' + (i * 7 + length) % 26);
    c.cover_vin_list.push_back(text);
  }
  ArtifactDb long_texts(c);
  ASSERT_EQ(long_texts.db().cover_vin_list().size(), std::size(lengths));
  for (size_t i = 0; i < std::size(lengths); ++i)
    EXPECT_EQ(long_texts.db().cover_vin(i), c.cover_vin_list[i]) << lengths[i];
}

TEST(ArtifactFormat, BytesReadersNeverLookAtAnswerTheSame) {
  artifact::Contents c = small_contents();
  c.engine_models.clear();
  std::vector<uint8_t> bytes = artifact::write(c);
  for (size_t i = 0; i < HEADER_SIZE; ++i) bytes[i] = static_cast<uint8_t>(0xA5 ^ i);
  // The offset of an empty table is never followed.
  int32_t wild = -0x7FFFFFF0;
  std::memcpy(bytes.data() + testing::descriptor_at(bytes, TableId::engine_models), &wild, 4);
  ArtifactDb a(bytes);
  EXPECT_EQ(a.db().lookup(9, 441), "Tesla");
  EXPECT_EQ(year::schema_count("1HG", a.db(), 2019), 2u);
  EXPECT_EQ(a.db().wmi_any("109013")->id, 30);
  EXPECT_TRUE(a.db().engine_models().empty());
}

TEST(BrokenArtifact, BadStrIdsOffsetsAndRangesPanic) {
  artifact::Contents c = small_contents();
  const std::vector<uint8_t> bytes = artifact::write(c);
  {
    ArtifactDb a(bytes);
    EXPECT_THROW(a.db().string(static_cast<StrId>(a.db().string_offsets().size() - 1)), Panic);
    EXPECT_THROW(a.db().string(0xFFFFFFFFu), Panic);
  }
  {
    // Offsets out of order: text 1 would end before it starts.
    std::vector<uint8_t> broken = bytes;
    uint32_t big = 0xFFFFFF;
    std::memcpy(broken.data() + testing::first_row_at(broken, TableId::string_offsets) + 4, &big,
                4);
    ArtifactDb a(broken);
    EXPECT_THROW(a.db().string(0), Panic);
    EXPECT_THROW(a.db().string(1), Panic);
  }
  {
    // A table whose rows would lie past the end of the artifact.
    std::vector<uint8_t> broken = bytes;
    uint32_t count = 1u << 30;
    std::memcpy(broken.data() + testing::descriptor_at(broken, TableId::patterns) + 4, &count, 4);
    ArtifactDb a(broken);
    EXPECT_THROW(a.db().patterns(), Panic);
    EXPECT_EQ(a.db().lookup(9, 441), "Tesla");  // other tables still answer
  }
  EXPECT_THROW(Db(std::span<const uint8_t>(bytes.data(), 100)), Panic);
}

TEST(WmiQueries, TextOrderPutsPrefixesFirstAndFindsExactCodesOnly) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  std::vector<std::string_view> codes;
  for (size_t i = 0; i < db.wmis().size(); ++i) codes.push_back(db.string(db.wmis()[i].code));
  EXPECT_EQ(codes, (std::vector<std::string_view>{"108", "109013", "1099", "1HG", "2AB"}));
  EXPECT_TRUE(text_less("109", "109013"));
  EXPECT_FALSE(text_less("109013", "109"));
  EXPECT_EQ(db.wmi_any("109013")->id, 30);
  EXPECT_EQ(db.wmi_any("1HG")->id, 10);
  for (const char* absent : {"109", "1hg", "", "ZZZ", "1HG "}) {
    EXPECT_FALSE(db.wmi_any(absent).has_value()) << absent;
  }
}

TEST(WmiQueries, LowerBoundGivesAKnownCodesRowAndAnUnknownCodesPlace) {
  ArtifactDb a(small_contents());
  struct Case {
    const char* code;
    size_t at;
  };
  const std::vector<Case> cases = {
      {"108", 0}, {"109013", 1}, {"1099", 2}, {"1HG", 3}, {"2AB", 4},  // known
      {"", 0},    {"1", 0},      {"109", 1},  {"1Z", 4},  {"ZZZ", 5},  // unknown
  };
  for (const Case& c : cases) EXPECT_EQ(a.db().wmi_lower_bound(c.code), c.at) << c.code;
}

TEST(WmiQueries, MakeIdsAreAscendingWithoutRepeats) {
  ArtifactDb a(small_contents());
  EXPECT_EQ(a.db().makeids_for_wmi_str("109013"), (std::vector<int32_t>{3, 9}));
  EXPECT_EQ(a.db().makeids_for_wmi_str("1HG"), (std::vector<int32_t>{474}));
  EXPECT_EQ(a.db().makeids_for_wmi_str("108"), std::vector<int32_t>{});
  EXPECT_EQ(a.db().makeids_for_wmi_str("nope"), std::vector<int32_t>{});
}

TEST(WmiQueries, SchemaCountHonoursClosedAndOpenRanges) {
  ArtifactDb a(small_contents());
  const std::pair<int32_t, size_t> cases[] = {{2002, 0}, {2003, 1},  {2007, 1}, {2008, 0},
                                              {2016, 1}, {2018, 2},  {2020, 2}, {2021, 1},
                                              {2999, 1}, {100000, 1}};
  for (auto [year, count] : cases) {
    EXPECT_EQ(year::schema_count("1HG", a.db(), year), count) << year;
    EXPECT_EQ(year::has_schema("1HG", a.db(), year), count != 0) << year;
  }
  EXPECT_EQ(year::schema_count("ZZZ", a.db(), 2020), 0u);
  EXPECT_FALSE(year::has_schema("ZZZ", a.db(), 2020));
  EXPECT_EQ(year::schema_count("109013", a.db(), 2000), 1u);
  EXPECT_TRUE(year::has_schema("109013", a.db(), 2000));
}

TEST(ExceptionList, RepeatedVinIsFoundAtItsFirstRow) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  Table<VinExceptionRow> rows = db.vin_exceptions();
  std::string_view vin = "1FTFW1E57JFB00001";
  size_t at = rows.lower_bound(
      0, rows.size(), [&](const VinExceptionRow& r) { return text_less(db.string(r.vin), vin); });
  EXPECT_EQ(at, 0u);
  EXPECT_EQ(db.string(rows[0].vin), vin);
  EXPECT_EQ(rows[0].vin, rows[1].vin);  // repeats share one text
}

TEST(LookupQueries, FindsNamesAndRefusesEverythingElse) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  EXPECT_EQ(db.lookup(9, 441), "Tesla");
  EXPECT_EQ(db.lookup(9, 474), "Honda");
  EXPECT_EQ(db.lookup(44, 0), "0 - VIN decoded clean. Check Digit (9th position) is correct");
  EXPECT_EQ(db.lookup(71, 1), "Standard");
  // Between two stored ids, below them, a table without rows, and past the last table.
  const std::pair<uint16_t, int32_t> absent[] = {{9, 445},  {9, 0},  {9, -1},
                                                 {10, 474}, {72, 1}, {65535, 1}};
  for (auto [table, id] : absent)
    EXPECT_EQ(db.lookup(table, id), std::nullopt) << table << "/" << id;
}

TEST(LookupQueries, DenseAndSparseTablesAnswerAlike) {
  artifact::Contents c = small_contents();
  // Table 20: ids 5..9 with gaps (dense); table 21: ids far apart (sparse).
  c.lookups.push_back({20, 5, "five"});
  c.lookups.push_back({20, 7, "seven"});
  c.lookups.push_back({20, 9, "nine"});
  c.lookups.push_back({21, -2000000000, "low"});
  c.lookups.push_back({21, 3, "three"});
  c.lookups.push_back({21, 2000000000, "high"});
  ArtifactDb a(c);
  struct Case {
    uint16_t table;
    int32_t id;
    std::optional<std::string_view> name;
  };
  const std::vector<Case> cases = {
      {20, 5, "five"},
      {20, 7, "seven"},
      {20, 9, "nine"},
      {20, 6, std::nullopt},
      {20, 4, std::nullopt},
      {20, 10, std::nullopt},
      {20, INT32_MIN, std::nullopt},
      {20, INT32_MAX, std::nullopt},
      {21, -2000000000, "low"},
      {21, 3, "three"},
      {21, 2000000000, "high"},
      {21, 4, std::nullopt},
  };
  // The first searches of a table, then its ids laid out for indexing.
  for (int round = 0; round < 20; ++round) {
    for (const Case& k : cases)
      EXPECT_EQ(a.db().lookup(k.table, k.id), k.name) << k.table << "/" << k.id << " " << round;
  }
}

TEST(LookupQueries, TwoThreadsBuildingTheRangesAtOnceAgree) {
  for (int round = 0; round < 20; ++round) {
    ArtifactDb a(small_contents());
    std::optional<std::string_view> first, second;
    std::thread t1([&] { first = a.db().lookup(9, 441); });
    std::thread t2([&] { second = a.db().lookup(9, 441); });
    t1.join();
    t2.join();
    EXPECT_EQ(first, "Tesla");
    EXPECT_EQ(second, "Tesla");
  }
}

TEST(ElementQueries, FindsKnownIdsOnlyAndPublicMeansIncludedNotExcludedAndDecoded) {
  artifact::Contents c = small_contents();
  ArtifactDb a(c);
  const Db& db = a.db();
  EXPECT_EQ(db.string(db.element(1)->name), "Other Battery Info");
  EXPECT_EQ(db.element(203)->id, 203);
  for (int32_t id : {0, -5, 204, INT32_MAX}) EXPECT_FALSE(db.element(id).has_value()) << id;
  EXPECT_TRUE(db.is_public(*db.element(1)));
  EXPECT_FALSE(db.is_public(*db.element(186)));  // excluded
  EXPECT_FALSE(db.is_public(*db.element(203)));  // empty decode text
  // Ids far beyond the catalogue's hundreds are still found, without an index
  // entry for every id below them.
  artifact::Contents far = c;
  far.element_defs.push_back({.id = 70000, .name = "Far"});
  far.element_defs.push_back({.id = 2147483000, .name = "Farthest"});
  ArtifactDb far_db(far);
  EXPECT_EQ(far_db.db().string(far_db.db().element(2147483000)->name), "Farthest");
  EXPECT_EQ(far_db.db().string(far_db.db().element(70000)->name), "Far");
  EXPECT_EQ(far_db.db().string(far_db.db().element(1)->name), "Other Battery Info");
  for (int32_t id : {0, 204, 65535, 65536, 69999, 2147483001, INT32_MAX})
    EXPECT_FALSE(far_db.db().element(id).has_value()) << id;
  c.element_defs.clear();
  EXPECT_FALSE(ArtifactDb(c).db().element(1).has_value());
}

TEST(ElementQueries, TheLargestPossibleIdHidesNoOtherElement) {
  artifact::Contents c = small_contents();
  c.element_defs.push_back({.id = INT32_MAX, .name = "Last"});
  ArtifactDb a(c);
  const Db& db = a.db();
  EXPECT_EQ(db.string(db.element(1)->name), "Other Battery Info");
  EXPECT_EQ(db.element(203)->id, 203);
  EXPECT_EQ(db.string(db.element(INT32_MAX)->name), "Last");
  EXPECT_FALSE(db.element(INT32_MAX - 1).has_value());
}

TEST(GlobalDb, EmptyPlaceholderIsRefusedWithItsMessageOnEveryCall) {
  for (int call = 0; call < 2; ++call) {
    try {
      global_db();
      FAIL() << "the EMPTY placeholder was accepted";
    } catch (const Panic& p) {
      EXPECT_STREQ(p.what(),
                   "tamberok: this binary embeds the EMPTY placeholder artifact (data/vpic.rkyv "
                   "was absent at build time), so every decode would be wrong. Get real data: "
                   "`make download && make data` (runs tamberok-import), download vpic.rkyv from "
                   "a GitHub release of this repo, or install the prebuilt wheel from PyPI.");
    }
  }
  EXPECT_EQ(reinterpret_cast<uintptr_t>(embedded_artifact().data()) % 16, 0u);
  // Any artifact without WMIs is the placeholder.
  artifact::Contents c = small_contents();
  c.wmis.clear();
  EXPECT_TRUE(ArtifactDb(c).db().is_empty_placeholder());
}

}  // namespace
}  // namespace tamberok
