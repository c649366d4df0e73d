// The artifact format and the database queries, over small artifacts built
// by the writer.
#include <cstring>
#include <set>
#include <thread>

#include "support.h"
#include "tamberok/year.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

artifact::Contents small_contents() {
  artifact::Contents c;
  // Deliberately unsorted: the writer sorts.
  c.wmis = {
      {.id = 30, .code = "109013", .manufacturer_id = 7, .vehicle_type_id = 2},
      {.id = 10,
       .code = "1HG",
       .manufacturer_id = 988,
       .make_id = 474,
       .vehicle_type_id = 2,
       .created_on = 1000},
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
      {.id = 9, .vin_schema_id = 101, .keys = "CM826", .element_id = 28, .attribute_id = "1861"},
      {.id = 5, .vin_schema_id = 100, .keys = "*D[AB]", .element_id = 5, .attribute_id = "13"},
      {.id = 2, .vin_schema_id = 100, .keys = "**BA", .element_id = 5, .attribute_id = "5"},
  };
  c.element_defs = {
      {.id = 2,
       .name = "Battery Type",
       .code = "BatteryType",
       .group_name = "Mechanical/Battery",
       .data_type = "lookup",
       .decode = "Pattern"},
      {.id = 1,
       .name = "Other Battery Info",
       .code = "BatteryInfo",
       .group_name = "Mechanical/Battery",
       .data_type = "string",
       .decode = "Pattern",
       .weight = 3},
      {.id = 186,
       .name = "NCSA Note",
       .code = "NCSANote",
       .excluded = true,
       .group_name = "Internal",
       .data_type = "string",
       .decode = "Pattern"},
      {.id = 203,
       .name = "Wheelie Mitigation",
       .code = "WheelieMitigation",
       .group_name = "Active Safety System",
       .data_type = "lookup",
       .decode = ""},
  };
  c.make_models = {{.make_id = 474, .model_id = 1861}};
  c.wmi_makes = {{.wmi_id = 10, .make_id = 474},
                 {.wmi_id = 30, .make_id = 9},
                 {.wmi_id = 30, .make_id = 3},
                 {.wmi_id = 30, .make_id = 9}};
  c.engine_models = {{.id = 2, .name = "3306"}};
  c.engine_model_patterns = {{.id = 1, .engine_model_id = 2, .element_id = 9, .attribute_id = "6"}};
  c.default_values = {{.id = 4, .element_id = 3, .vehicle_type_id = 1, .default_value = "0"}};
  c.vin_exceptions = {{.vin = "1FTFW1E57JFB00002"},
                      {.vin = "1FTFW1E57JFB00001", .check_digit = true},
                      {.vin = "1FTFW1E57JFB00001", .check_digit = true}};
  c.conversions = {
      {.id = 4, .from_element_id = 13, .to_element_id = 11, .formula = "#x# * 1000"},
      {.id = 1, .from_element_id = 11, .to_element_id = 12, .formula = "#x# / 16.387064 "}};
  c.lookups = {{.table = 9, .id = 474, .name = "Honda"},
               {.table = 9, .id = 441, .name = "Tesla"},
               {.table = 9, .id = 448, .name = "Toyota"},
               {.table = 44,
                .id = 0,
                .name = "0 - VIN decoded clean. Check Digit (9th position) is correct"},
               {.table = 71, .id = 1, .name = "Standard"}};
  c.cover_vin_list = {"1HGCM82633A004352", "101", "ABCDEFGH", "12345678901"};
  c.vehicle_spec_schemas = {{.id = 7, .make_id = 474, .vehicle_type_id = 2}};
  c.vspec_schema_patterns = {{.id = 70, .schema_id = 7}};
  c.vehicle_spec_patterns = {{.id = 700,
                              .vspec_schema_pattern_id = 70,
                              .is_key = true,
                              .element_id = 5,
                              .attribute_id = "13"}};
  c.vehicle_spec_schema_models = {{.schema_id = 7, .model_id = 1861}};
  c.vehicle_spec_schema_years = {{.schema_id = 7, .year = 2016}};
  return c;
}

TEST(ArtifactFormat, HeaderRootAndPaddingAreLaidOutAsStored) {
  artifact::Contents c = small_contents();
  std::vector<uint8_t> bytes = artifact::write(c);
  ASSERT_GE(bytes.size(), HEADER_SIZE + ROOT_SIZE);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "TAMBEROK");
  uint32_t version;
  std::memcpy(&version, bytes.data() + 8, 4);
  EXPECT_EQ(version, 1u);
  EXPECT_EQ(bytes[46], 64);
  EXPECT_EQ(bytes[47], 0);
  for (size_t i = 48; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << i;

  // Every table starts at a multiple of its alignment.
  size_t root = bytes.size() - ROOT_SIZE;
  const size_t alignments[TABLE_COUNT] = {1, 4, 8, 4, 4, 8, 4, 4, 4, 4, 8,
                                          8, 4, 4, 4, 4, 4, 4, 8, 4, 4};
  for (size_t i = 0; i < TABLE_COUNT; ++i) {
    int32_t offset;
    std::memcpy(&offset, bytes.data() + root + 8 * i, 4);
    int64_t start = static_cast<int64_t>(root + 8 * i) + offset;
    EXPECT_EQ(start % static_cast<int64_t>(alignments[i]), 0) << "table " << i;
  }
  // Strings start right after the header.
  int32_t strings_offset;
  std::memcpy(&strings_offset, bytes.data() + root, 4);
  EXPECT_EQ(static_cast<int64_t>(root) + strings_offset, 64);
}

TEST(ArtifactFormat, RoundTripGivesBackEveryRow) {
  artifact::Contents c = small_contents();
  ArtifactDb a(c);  // a copy: `c` keeps the unsorted order
  artifact::Contents sorted = c;
  artifact::sort_tables(sorted);
  const Db& db = a.db();

  ASSERT_EQ(db.wmis().size(), sorted.wmis.size());
  for (size_t i = 0; i < sorted.wmis.size(); ++i) {
    WmiRow r = db.wmis()[i];
    const artifact::Wmi& w = sorted.wmis[i];
    EXPECT_EQ(r.id, w.id);
    EXPECT_EQ(db.string(r.code), w.code);
    EXPECT_EQ(r.manufacturer_id, w.manufacturer_id);
    EXPECT_EQ(r.make_id, w.make_id);
    EXPECT_EQ(r.vehicle_type_id, w.vehicle_type_id);
    EXPECT_EQ(r.truck_type_id, w.truck_type_id);
    EXPECT_EQ(r.created_on, w.created_on);
    EXPECT_EQ(r.updated_on, w.updated_on);
  }
  ASSERT_EQ(db.wmi_vin_schemas().size(), 4u);
  EXPECT_EQ(db.wmi_vin_schemas()[0].id, 1);
  EXPECT_EQ(db.wmi_vin_schemas()[2].year_to, NONE_I32);
  ASSERT_EQ(db.vin_schemas().size(), 3u);
  EXPECT_EQ(db.vin_schemas()[1].skip, 1);
  ASSERT_EQ(db.patterns().size(), 3u);
  PatternRow p0 = db.patterns()[0], p1 = db.patterns()[1], p2 = db.patterns()[2];
  EXPECT_EQ(p0.id, 2);
  EXPECT_EQ(db.string(p0.keys), "**BA");
  EXPECT_EQ(p0.has_class, 0);
  EXPECT_EQ(p0.literal_count, 2);
  EXPECT_EQ(p1.id, 5);
  EXPECT_EQ(p1.has_class, 1);
  EXPECT_EQ(p1.literal_count, 5);
  EXPECT_EQ(db.string(p1.keys_regex), "^.D[AB].*");
  EXPECT_EQ(db.string(p1.attribute_id), "13");
  EXPECT_EQ(p2.vin_schema_id, 101);
  ASSERT_EQ(db.element_defs().size(), 4u);
  ElementRow e1 = db.element_defs()[0];
  EXPECT_EQ(db.string(e1.name), "Other Battery Info");
  EXPECT_EQ(e1.weight, 3);
  EXPECT_EQ(db.element_defs()[2].excluded, 1);
  EXPECT_EQ(db.wmi_makes().size(), 4u);
  EXPECT_EQ(db.engine_models()[0].id, 2);
  EXPECT_EQ(db.string(db.engine_models()[0].name), "3306");
  EXPECT_EQ(db.engine_model_patterns()[0].element_id, 9);
  EXPECT_EQ(db.default_values()[0].enabled, 1);
  EXPECT_EQ(db.string(db.default_values()[0].default_value), "0");
  EXPECT_EQ(db.vin_exceptions().size(), 3u);
  EXPECT_EQ(db.conversions()[0].id, 1);
  EXPECT_EQ(db.string(db.conversions()[0].formula), "#x# / 16.387064 ");
  EXPECT_EQ(db.lookups().size(), 5u);
  EXPECT_EQ(db.vehicle_spec_schemas()[0].make_id, 474);
  EXPECT_EQ(db.vspec_schema_patterns()[0].id, 70);
  EXPECT_EQ(db.vehicle_spec_patterns()[0].is_key, 1);
  EXPECT_EQ(db.vehicle_spec_schema_models()[0].model_id, 1861);
  EXPECT_EQ(db.vehicle_spec_schema_years()[0].year, 2016);
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
  size_t texts = db.string_offsets().size() - 1;
  std::set<std::string_view> seen;
  for (StrId k = 0; k < texts; ++k) EXPECT_TRUE(seen.insert(db.string(k)).second) << k;
}

TEST(ArtifactFormat, StoredStringsAreInlineUpToEightBytesAndOutOfLineBeyond) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  ASSERT_EQ(db.cover_vin_list().size(), 4u);
  EXPECT_EQ(db.cover_vin(0), "1HGCM82633A004352");
  EXPECT_EQ(db.cover_vin(1), "101");
  EXPECT_EQ(db.cover_vin(2), "ABCDEFGH");
  EXPECT_EQ(db.cover_vin(3), "12345678901");
  const uint8_t* inline3 = db.cover_vin_list().address(1);
  EXPECT_EQ(std::memcmp(inline3, "101\xFF\xFF\xFF\xFF\xFF", 8), 0);
  const uint8_t* inline8 = db.cover_vin_list().address(2);
  EXPECT_EQ(std::memcmp(inline8, "ABCDEFGH", 8), 0);
  const uint8_t* outline = db.cover_vin_list().address(3);
  EXPECT_EQ(outline[0] & 0xC0, 0x80);
  EXPECT_THROW(db.cover_vin(4), Panic);
}

TEST(ArtifactFormat, ChangedHeaderBytesAnswerTheSame) {
  artifact::Contents c = small_contents();
  std::vector<uint8_t> bytes = artifact::write(c);
  for (size_t i = 0; i < HEADER_SIZE; ++i) bytes[i] = static_cast<uint8_t>(0xA5 ^ i);
  ArtifactDb a(bytes);
  EXPECT_EQ(a.db().lookup(9, 441), "Tesla");
  EXPECT_EQ(year::schema_count("1HG", a.db(), 2019), 2u);
  EXPECT_EQ(a.db().wmi_any("109013")->id, 30);
}

TEST(ArtifactFormat, EmptyTableOffsetIsNeverFollowed) {
  artifact::Contents c = small_contents();
  c.engine_models.clear();
  std::vector<uint8_t> bytes = artifact::write(c);
  size_t descriptor = bytes.size() - ROOT_SIZE + 8 * static_cast<size_t>(TableId::engine_models);
  int32_t wild = -0x7FFFFFF0;
  std::memcpy(bytes.data() + descriptor, &wild, 4);
  ArtifactDb a(bytes);
  EXPECT_TRUE(a.db().engine_models().empty());
}

TEST(ArtifactFormat, EmptyTextResolvesToLengthZero) {
  ArtifactDb a(small_contents());
  ElementRow hidden = *a.db().element(203);
  EXPECT_EQ(a.db().string(hidden.decode), "");
}

TEST(BrokenArtifact, BadStrIdsOffsetsAndRangesPanic) {
  artifact::Contents c = small_contents();
  std::vector<uint8_t> bytes = artifact::write(c);
  {
    ArtifactDb a(bytes);
    size_t texts = a.db().string_offsets().size() - 1;
    EXPECT_THROW(a.db().string(static_cast<StrId>(texts)), Panic);
    EXPECT_THROW(a.db().string(0xFFFFFFFFu), Panic);
  }
  {
    // Offsets out of order: text 1 would end before it starts.
    std::vector<uint8_t> broken = bytes;
    size_t root = broken.size() - ROOT_SIZE;
    int32_t offset;
    std::memcpy(&offset, broken.data() + root + 8, 4);
    size_t offsets_at = root + 8 + static_cast<size_t>(static_cast<int64_t>(offset));
    uint32_t big = 0xFFFFFF;
    std::memcpy(broken.data() + offsets_at + 4, &big, 4);
    ArtifactDb a(broken);
    EXPECT_THROW(a.db().string(0), Panic);
    EXPECT_THROW(a.db().string(1), Panic);
  }
  {
    // A table whose rows would lie past the end of the artifact.
    std::vector<uint8_t> broken = bytes;
    size_t descriptor = broken.size() - ROOT_SIZE + 8 * static_cast<size_t>(TableId::patterns);
    uint32_t count = 1u << 30;
    std::memcpy(broken.data() + descriptor + 4, &count, 4);
    ArtifactDb a(broken);
    EXPECT_THROW(a.db().patterns(), Panic);
    EXPECT_EQ(a.db().lookup(9, 441), "Tesla");  // other tables still answer
  }
  EXPECT_THROW(Db(std::span<const uint8_t>(bytes.data(), 100)), Panic);
}

TEST(WmiQueries, TextOrderPutsPrefixesFirstAndInterleavesLengths) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  std::vector<std::string_view> codes;
  for (size_t i = 0; i < db.wmis().size(); ++i) codes.push_back(db.string(db.wmis()[i].code));
  EXPECT_EQ(codes, (std::vector<std::string_view>{"108", "109013", "1099", "1HG", "2AB"}));
  EXPECT_TRUE(text_less("109", "109013"));
  EXPECT_FALSE(text_less("109013", "109"));
  EXPECT_TRUE(text_less("1099", "1HG"));
}

TEST(WmiQueries, WmiAnyFindsExactCodesOnly) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  EXPECT_FALSE(db.wmi_any("109").has_value());
  ASSERT_TRUE(db.wmi_any("109013").has_value());
  EXPECT_EQ(db.wmi_any("109013")->id, 30);
  EXPECT_EQ(db.wmi_any("1HG")->id, 10);
  EXPECT_FALSE(db.wmi_any("1hg").has_value());
  EXPECT_FALSE(db.wmi_any("").has_value());
  EXPECT_FALSE(db.wmi_any("ZZZ").has_value());
  EXPECT_FALSE(db.wmi_any("1HG ").has_value());
}

TEST(WmiQueries, MakeIdsAreAscendingWithoutRepeats) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  EXPECT_EQ(db.makeids_for_wmi_str("109013"), (std::vector<int32_t>{3, 9}));
  EXPECT_EQ(db.makeids_for_wmi_str("1HG"), (std::vector<int32_t>{474}));
  EXPECT_TRUE(db.makeids_for_wmi_str("108").empty());
  EXPECT_TRUE(db.makeids_for_wmi_str("nope").empty());
}

TEST(WmiQueries, SchemaCountHonoursClosedAndOpenRanges) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  struct Case {
    int32_t year;
    size_t count;
  } cases[] = {{2002, 0}, {2003, 1}, {2007, 1}, {2008, 0}, {2016, 1},
               {2018, 2}, {2020, 2}, {2021, 1}, {2999, 1}, {100000, 1}};
  for (const Case& k : cases) EXPECT_EQ(year::schema_count("1HG", db, k.year), k.count) << k.year;
  EXPECT_EQ(year::schema_count("ZZZ", db, 2020), 0u);
  EXPECT_EQ(year::schema_count("109013", db, 2000), 1u);
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
  EXPECT_FALSE(db.lookup(9, 445).has_value());  // between two stored ids
  EXPECT_FALSE(db.lookup(9, 0).has_value());
  EXPECT_FALSE(db.lookup(9, -1).has_value());
  EXPECT_FALSE(db.lookup(10, 474).has_value());  // a table without rows
  EXPECT_FALSE(db.lookup(72, 1).has_value());
  EXPECT_FALSE(db.lookup(65535, 1).has_value());
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

TEST(ElementQueries, FindsKnownIdsOnly) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  ASSERT_TRUE(db.element(1).has_value());
  EXPECT_EQ(db.string(db.element(1)->name), "Other Battery Info");
  EXPECT_EQ(db.element(203)->id, 203);
  EXPECT_FALSE(db.element(0).has_value());
  EXPECT_FALSE(db.element(-5).has_value());
  EXPECT_FALSE(db.element(204).has_value());
  EXPECT_FALSE(db.element(INT32_MAX).has_value());
}

TEST(ElementQueries, PublicMeansIncludedNotExcludedAndDecoded) {
  ArtifactDb a(small_contents());
  const Db& db = a.db();
  EXPECT_TRUE(db.is_public(*db.element(1)));
  EXPECT_FALSE(db.is_public(*db.element(186)));  // excluded
  EXPECT_FALSE(db.is_public(*db.element(203)));  // empty decode text
}

TEST(ElementQueries, AnEmptyElementTableFindsNothing) {
  artifact::Contents c = small_contents();
  c.element_defs.clear();
  ArtifactDb a(c);
  EXPECT_FALSE(a.db().element(1).has_value());
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
}

TEST(GlobalDb, AnyArtifactWithoutWmisIsThePlaceholder) {
  artifact::Contents c = small_contents();
  c.wmis.clear();
  ArtifactDb a(c);
  EXPECT_TRUE(a.db().is_empty_placeholder());
  EXPECT_EQ(a.db().lookup(9, 441), "Tesla");
}

}  // namespace
}  // namespace tamberok
