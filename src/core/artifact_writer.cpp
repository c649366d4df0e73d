#include "tamberok/artifact_writer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <unordered_map>

namespace tamberok::artifact {

std::string keys_regex(std::string_view keys) {
  std::string out = "^";
  bool in_class = false;
  for (char c : keys) {
    if (in_class) {
      out.push_back(c);
      if (c == ']') in_class = false;
    } else if (c == '[') {
      out.push_back(c);
      in_class = true;
    } else if (c == '*' || c == '_') {
      out.push_back('.');
    } else if (c == '|') {
      out += "\\|";
    } else {
      out.push_back(c);
    }
  }
  out += ".*";
  return out;
}

uint8_t literal_count(std::string_view keys) {
  size_t n = std::count_if(keys.begin(), keys.end(), [](char c) { return c != '*'; });
  return static_cast<uint8_t>(std::min<size_t>(n, 255));
}

bool has_class(std::string_view keys) {
  return keys.find('[') != std::string_view::npos;
}

AlignedBytes::AlignedBytes(const std::vector<uint8_t>& bytes)
    : storage_((bytes.size() + 15) / 16), size_(bytes.size()) {
  if (!bytes.empty()) std::memcpy(data(), bytes.data(), bytes.size());
}

namespace {

bool text_order(const std::string& a, const std::string& b) {
  return text_less(a, b);
}

}  // namespace

void sort_tables(Contents& c) {
  auto by = [](auto key) {
    return [key](const auto& a, const auto& b) { return key(a) < key(b); };
  };
  std::stable_sort(c.wmis.begin(), c.wmis.end(),
                   [](const Wmi& a, const Wmi& b) { return text_order(a.code, b.code); });
  std::stable_sort(c.wmi_vin_schemas.begin(), c.wmi_vin_schemas.end(),
                   by([](const WmiVinSchema& r) { return std::tuple(r.wmi_id, r.id); }));
  std::stable_sort(c.vin_schemas.begin(), c.vin_schemas.end(),
                   by([](const VinSchema& r) { return r.id; }));
  std::stable_sort(c.patterns.begin(), c.patterns.end(),
                   by([](const Pattern& r) { return std::tuple(r.vin_schema_id, r.id); }));
  std::stable_sort(c.element_defs.begin(), c.element_defs.end(),
                   by([](const Element& r) { return r.id; }));
  std::stable_sort(c.make_models.begin(), c.make_models.end(),
                   by([](const MakeModel& r) { return r.model_id; }));
  std::stable_sort(c.wmi_makes.begin(), c.wmi_makes.end(),
                   by([](const WmiMake& r) { return std::tuple(r.wmi_id, r.make_id); }));
  std::stable_sort(c.engine_models.begin(), c.engine_models.end(),
                   by([](const EngineModel& r) { return r.id; }));
  std::stable_sort(
      c.engine_model_patterns.begin(), c.engine_model_patterns.end(),
      by([](const EngineModelPattern& r) { return std::tuple(r.engine_model_id, r.id); }));
  std::stable_sort(c.default_values.begin(), c.default_values.end(),
                   by([](const DefaultValue& r) { return std::tuple(r.vehicle_type_id, r.id); }));
  std::stable_sort(
      c.vin_exceptions.begin(), c.vin_exceptions.end(),
      [](const VinException& a, const VinException& b) { return text_order(a.vin, b.vin); });
  std::stable_sort(c.conversions.begin(), c.conversions.end(),
                   by([](const Conversion& r) { return r.id; }));
  std::stable_sort(c.lookups.begin(), c.lookups.end(),
                   by([](const Lookup& r) { return std::tuple(r.table, r.id); }));
  std::stable_sort(c.vehicle_spec_schemas.begin(), c.vehicle_spec_schemas.end(),
                   by([](const VehicleSpecSchema& r) { return std::tuple(r.make_id, r.id); }));
  std::stable_sort(c.vspec_schema_patterns.begin(), c.vspec_schema_patterns.end(),
                   by([](const VSpecSchemaPattern& r) { return std::tuple(r.schema_id, r.id); }));
  std::stable_sort(
      c.vehicle_spec_patterns.begin(), c.vehicle_spec_patterns.end(),
      by([](const VehicleSpecPattern& r) { return std::tuple(r.vspec_schema_pattern_id, r.id); }));
  std::stable_sort(
      c.vehicle_spec_schema_models.begin(), c.vehicle_spec_schema_models.end(),
      by([](const VehicleSpecSchemaModel& r) { return std::tuple(r.schema_id, r.model_id); }));
  std::stable_sort(
      c.vehicle_spec_schema_years.begin(), c.vehicle_spec_schema_years.end(),
      by([](const VehicleSpecSchemaYear& r) { return std::tuple(r.schema_id, r.year); }));
}

namespace {

// Each distinct text once, numbered in the order first seen.
class StringPool {
 public:
  StrId intern(const std::string& text) {
    auto [it, added] = ids_.try_emplace(text, static_cast<StrId>(texts_.size()));
    if (added) texts_.push_back(&it->first);
    return it->second;
  }
  const std::vector<const std::string*>& texts() const { return texts_; }

 private:
  std::unordered_map<std::string, StrId> ids_;
  std::vector<const std::string*> texts_;
};

class Output {
 public:
  explicit Output(size_t reserve) { bytes_.reserve(reserve); }

  size_t position() const { return bytes_.size(); }
  void align(size_t alignment) {
    while (bytes_.size() % alignment != 0) bytes_.push_back(0);
  }
  void append(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  template <typename T>
  void append_value(const T& value) {
    append(&value, sizeof(T));
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

struct Descriptor {
  size_t position = 0;  // first row, from the start of the artifact
  size_t count = 0;
};

// Rows are value-initialised so that padding and reserved bytes are zero.
template <typename Row, typename Source, typename Make>
Descriptor put_rows(Output& out, const std::vector<Source>& rows, Make make) {
  out.align(alignof(Row));
  Descriptor d{out.position(), rows.size()};
  for (const Source& source : rows) {
    Row row{};
    make(source, row);
    out.append_value(row);
  }
  return d;
}

// A StoredString record of at most 8 bytes holds its text inline, padded
// with 0xFF; a longer text is written before the records and referenced.
StoredString inline_string(const std::string& text) {
  StoredString s;
  std::memset(s.bytes, 0xFF, sizeof(s.bytes));
  std::memcpy(s.bytes, text.data(), text.size());
  return s;
}

StoredString out_of_line_string(size_t length, int32_t offset) {
  StoredString s;
  uint32_t w =
      0x80u | static_cast<uint32_t>(length & 0x3F) | (static_cast<uint32_t>(length >> 6) << 8);
  std::memcpy(s.bytes, &w, 4);
  std::memcpy(s.bytes + 4, &offset, 4);
  return s;
}

}  // namespace

std::vector<uint8_t> write(Contents& c) {
  sort_tables(c);

  StringPool pool;
  std::vector<StrId> pattern_keys, pattern_regex, pattern_attr;
  for (const Wmi& r : c.wmis) pool.intern(r.code);
  for (const Pattern& r : c.patterns) {
    pattern_keys.push_back(pool.intern(r.keys));
    pattern_regex.push_back(has_class(r.keys) ? pool.intern(keys_regex(r.keys)) : 0);
    pattern_attr.push_back(pool.intern(r.attribute_id));
  }
  for (const Element& r : c.element_defs) {
    pool.intern(r.name);
    pool.intern(r.code);
    pool.intern(r.group_name);
    pool.intern(r.data_type);
    pool.intern(r.decode);
  }
  for (const EngineModel& r : c.engine_models) pool.intern(r.name);
  for (const EngineModelPattern& r : c.engine_model_patterns) pool.intern(r.attribute_id);
  for (const DefaultValue& r : c.default_values) pool.intern(r.default_value);
  for (const VinException& r : c.vin_exceptions) pool.intern(r.vin);
  for (const Conversion& r : c.conversions) pool.intern(r.formula);
  for (const Lookup& r : c.lookups) pool.intern(r.name);
  for (const VehicleSpecPattern& r : c.vehicle_spec_patterns) pool.intern(r.attribute_id);
  // Interning twice returns the id already given, so the lambdas below can
  // look texts up with intern() without adding anything.
  auto id = [&pool](const std::string& text) { return pool.intern(text); };

  size_t string_bytes = 0;
  for (const std::string* t : pool.texts()) string_bytes += t->size();
  Output out(HEADER_SIZE + string_bytes + 64 * (c.patterns.size() + c.wmis.size()) + 4096);

  // Header: magic, version, then bytes 46..47 hold 64; the rest is zero.
  uint8_t header[HEADER_SIZE] = {};
  std::memcpy(header, "TAMBEROK", 8);
  uint32_t version = 1;
  std::memcpy(header + 8, &version, 4);
  uint16_t header_size = 64;
  std::memcpy(header + 46, &header_size, 2);
  out.append(header, sizeof(header));

  Descriptor d[TABLE_COUNT];

  d[0] = {out.position(), string_bytes};
  std::vector<uint32_t> offsets;
  offsets.reserve(pool.texts().size() + 1);
  uint32_t at = 0;
  for (const std::string* t : pool.texts()) {
    offsets.push_back(at);
    out.append(t->data(), t->size());
    at += static_cast<uint32_t>(t->size());
  }
  offsets.push_back(at);
  out.align(4);
  d[1] = {out.position(), offsets.size()};
  out.append(offsets.data(), offsets.size() * 4);

  d[2] = put_rows<WmiRow>(out, c.wmis, [&](const Wmi& s, WmiRow& r) {
    r = {s.id,         id(s.code),        s.manufacturer_id,
         s.make_id,    s.vehicle_type_id, s.truck_type_id,
         s.created_on, s.updated_on};
  });
  d[3] = put_rows<WmiVinSchemaRow>(out, c.wmi_vin_schemas,
                                   [](const WmiVinSchema& s, WmiVinSchemaRow& r) {
                                     r = {s.id, s.wmi_id, s.vin_schema_id, s.year_from, s.year_to};
                                   });
  d[4] = put_rows<VinSchemaRow>(out, c.vin_schemas, [](const VinSchema& s, VinSchemaRow& r) {
    r.id = s.id;
    r.skip = s.skip ? 1 : 0;
  });
  size_t pattern_index = 0;
  d[5] = put_rows<PatternRow>(out, c.patterns, [&](const Pattern& s, PatternRow& r) {
    r.id = s.id;
    r.vin_schema_id = s.vin_schema_id;
    r.keys = pattern_keys[pattern_index];
    r.keys_regex = pattern_regex[pattern_index];
    r.element_id = s.element_id;
    r.attribute_id = pattern_attr[pattern_index];
    r.created_on = s.created_on;
    r.literal_count = literal_count(s.keys);
    r.has_class = has_class(s.keys) ? 1 : 0;
    ++pattern_index;
  });
  d[6] = put_rows<ElementRow>(out, c.element_defs, [&](const Element& s, ElementRow& r) {
    r.id = s.id;
    r.name = id(s.name);
    r.code = id(s.code);
    r.excluded = s.excluded ? 1 : 0;
    r.group_name = id(s.group_name);
    r.data_type = id(s.data_type);
    r.decode = id(s.decode);
    r.included = s.included ? 1 : 0;
    r.weight = s.weight;
  });
  d[7] = put_rows<MakeModelRow>(out, c.make_models, [](const MakeModel& s, MakeModelRow& r) {
    r = {s.make_id, s.model_id};
  });
  d[8] = put_rows<WmiMakeRow>(out, c.wmi_makes, [](const WmiMake& s, WmiMakeRow& r) {
    r = {s.wmi_id, s.make_id};
  });
  d[9] =
      put_rows<EngineModelRow>(out, c.engine_models, [&](const EngineModel& s, EngineModelRow& r) {
        r = {s.id, id(s.name)};
      });
  d[10] = put_rows<EngineModelPatternRow>(
      out, c.engine_model_patterns, [&](const EngineModelPattern& s, EngineModelPatternRow& r) {
        r = {s.id, s.engine_model_id, s.element_id, id(s.attribute_id), s.created_on};
      });
  d[11] = put_rows<DefaultValueRow>(out, c.default_values,
                                    [&](const DefaultValue& s, DefaultValueRow& r) {
                                      r.id = s.id;
                                      r.element_id = s.element_id;
                                      r.vehicle_type_id = s.vehicle_type_id;
                                      r.default_value = id(s.default_value);
                                      r.enabled = s.enabled ? 1 : 0;
                                      r.created_on = s.created_on;
                                    });
  d[12] = put_rows<VinExceptionRow>(out, c.vin_exceptions,
                                    [&](const VinException& s, VinExceptionRow& r) {
                                      r.vin = id(s.vin);
                                      r.check_digit = s.check_digit ? 1 : 0;
                                    });
  d[13] = put_rows<ConversionRow>(out, c.conversions, [&](const Conversion& s, ConversionRow& r) {
    r = {s.id, s.from_element_id, s.to_element_id, id(s.formula)};
  });
  d[14] = put_rows<LookupRow>(out, c.lookups, [&](const Lookup& s, LookupRow& r) {
    r.table = s.table;
    r.id = s.id;
    r.name = id(s.name);
  });

  // cover_vin_list: long texts first, then the records that point back.
  std::vector<size_t> text_positions;
  for (const std::string& vin : c.cover_vin_list) {
    text_positions.push_back(out.position());
    if (vin.size() > 8) out.append(vin.data(), vin.size());
  }
  out.align(alignof(StoredString) < 4 ? 4 : alignof(StoredString));
  d[15] = {out.position(), c.cover_vin_list.size()};
  for (size_t i = 0; i < c.cover_vin_list.size(); ++i) {
    const std::string& vin = c.cover_vin_list[i];
    StoredString s =
        vin.size() <= 8
            ? inline_string(vin)
            : out_of_line_string(vin.size(),
                                 static_cast<int32_t>(static_cast<int64_t>(text_positions[i]) -
                                                      static_cast<int64_t>(out.position())));
    out.append_value(s);
  }

  d[16] = put_rows<VehicleSpecSchemaRow>(out, c.vehicle_spec_schemas,
                                         [](const VehicleSpecSchema& s, VehicleSpecSchemaRow& r) {
                                           r.id = s.id;
                                           r.make_id = s.make_id;
                                           r.vehicle_type_id = s.vehicle_type_id;
                                           r.skip = s.skip ? 1 : 0;
                                         });
  d[17] = put_rows<VSpecSchemaPatternRow>(
      out, c.vspec_schema_patterns, [](const VSpecSchemaPattern& s, VSpecSchemaPatternRow& r) {
        r = {s.id, s.schema_id};
      });
  d[18] = put_rows<VehicleSpecPatternRow>(
      out, c.vehicle_spec_patterns, [&](const VehicleSpecPattern& s, VehicleSpecPatternRow& r) {
        r.id = s.id;
        r.vspec_schema_pattern_id = s.vspec_schema_pattern_id;
        r.is_key = s.is_key ? 1 : 0;
        r.element_id = s.element_id;
        r.attribute_id = id(s.attribute_id);
        r.created_on = s.created_on;
      });
  d[19] = put_rows<VehicleSpecSchemaModelRow>(
      out, c.vehicle_spec_schema_models,
      [](const VehicleSpecSchemaModel& s, VehicleSpecSchemaModelRow& r) {
        r = {s.schema_id, s.model_id};
      });
  d[20] = put_rows<VehicleSpecSchemaYearRow>(
      out, c.vehicle_spec_schema_years,
      [](const VehicleSpecSchemaYear& s, VehicleSpecSchemaYearRow& r) {
        r = {s.schema_id, s.year};
      });

  // The root: each offset is relative to its own descriptor.
  out.align(4);
  size_t root = out.position();
  for (size_t i = 0; i < TABLE_COUNT; ++i) {
    int32_t offset = static_cast<int32_t>(static_cast<int64_t>(d[i].position) -
                                          static_cast<int64_t>(root + 8 * i));
    uint32_t count = static_cast<uint32_t>(d[i].count);
    out.append_value(offset);
    out.append_value(count);
  }
  return std::move(out.bytes());
}

}  // namespace tamberok::artifact
