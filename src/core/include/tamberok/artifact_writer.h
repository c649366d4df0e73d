// Writes the artifact format that db.h describes, from rows held in memory
// with their texts spelled out. Used by the import tool and by tests that
// build small artifacts; the module itself never writes.
//
// write() sorts every table in its stored order (ties included), interns each
// distinct text once (in table order, then row order, then field order, so
// StrId 0 is the first WMI code), and lays the tables out at their
// alignments with the root TableSet last.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tamberok/db.h"

namespace tamberok::artifact {

struct Wmi {
  int32_t id = 0;
  std::string code;
  int32_t manufacturer_id = NONE_I32;
  int32_t make_id = NONE_I32;
  int32_t vehicle_type_id = NONE_I32;
  int32_t truck_type_id = NONE_I32;
  int64_t created_on = NONE_I64;
  int64_t updated_on = NONE_I64;
};

struct WmiVinSchema {
  int32_t id = 0;
  int32_t wmi_id = 0;
  int32_t vin_schema_id = 0;
  int32_t year_from = 0;
  int32_t year_to = NONE_I32;
};

struct VinSchema {
  int32_t id = 0;
  bool skip = false;
};

// keys_regex, literal_count and has_class are derived from keys.
struct Pattern {
  int32_t id = 0;
  int32_t vin_schema_id = 0;
  std::string keys;
  int32_t element_id = 0;
  std::string attribute_id;
  int64_t created_on = NONE_I64;
};

struct Element {
  int32_t id = 0;
  std::string name;
  std::string code;
  bool excluded = false;
  std::string group_name;
  std::string data_type;
  std::string decode;
  bool included = true;
  int32_t weight = NONE_I32;
};

struct MakeModel {
  int32_t make_id = 0;
  int32_t model_id = 0;
};

struct WmiMake {
  int32_t wmi_id = 0;
  int32_t make_id = 0;
};

struct EngineModel {
  int32_t id = 0;
  std::string name;
};

struct EngineModelPattern {
  int32_t id = 0;
  int32_t engine_model_id = 0;
  int32_t element_id = 0;
  std::string attribute_id;
  int64_t created_on = NONE_I64;
};

struct DefaultValue {
  int32_t id = 0;
  int32_t element_id = 0;
  int32_t vehicle_type_id = 0;
  std::string default_value;
  bool enabled = true;
  int64_t created_on = NONE_I64;
};

struct VinException {
  std::string vin;
  bool check_digit = true;
};

struct Conversion {
  int32_t id = 0;
  int32_t from_element_id = 0;
  int32_t to_element_id = 0;
  std::string formula;
};

struct Lookup {
  uint16_t table = 0;
  int32_t id = 0;
  std::string name;
};

struct VehicleSpecSchema {
  int32_t id = 0;
  int32_t make_id = 0;
  int32_t vehicle_type_id = 0;
  bool skip = false;
};

struct VSpecSchemaPattern {
  int32_t id = 0;
  int32_t schema_id = 0;
};

struct VehicleSpecPattern {
  int32_t id = 0;
  int32_t vspec_schema_pattern_id = 0;
  bool is_key = false;
  int32_t element_id = 0;
  std::string attribute_id;
  int64_t created_on = NONE_I64;
};

struct VehicleSpecSchemaModel {
  int32_t schema_id = 0;
  int32_t model_id = 0;
};

struct VehicleSpecSchemaYear {
  int32_t schema_id = 0;
  int32_t year = 0;
};

// Every table of an artifact, in descriptor order (the string table is made
// by the writer).
struct Contents {
  std::vector<Wmi> wmis;
  std::vector<WmiVinSchema> wmi_vin_schemas;
  std::vector<VinSchema> vin_schemas;
  std::vector<Pattern> patterns;
  std::vector<Element> element_defs;
  std::vector<MakeModel> make_models;
  std::vector<WmiMake> wmi_makes;
  std::vector<EngineModel> engine_models;
  std::vector<EngineModelPattern> engine_model_patterns;
  std::vector<DefaultValue> default_values;
  std::vector<VinException> vin_exceptions;
  std::vector<Conversion> conversions;
  std::vector<Lookup> lookups;
  std::vector<std::string> cover_vin_list;  // kept in the given order
  std::vector<VehicleSpecSchema> vehicle_spec_schemas;
  std::vector<VSpecSchemaPattern> vspec_schema_patterns;
  std::vector<VehicleSpecPattern> vehicle_spec_patterns;
  std::vector<VehicleSpecSchemaModel> vehicle_spec_schema_models;
  std::vector<VehicleSpecSchemaYear> vehicle_spec_schema_years;
};

// Sorts every table of `contents` in place into its stored order.
void sort_tables(Contents& contents);

// The complete artifact bytes. Sorts `contents` first.
std::vector<uint8_t> write(Contents& contents);

// Derived pattern fields: "^" + body + ".*" with "." per wildcard ("*" or
// "_"), "\|" for the bar and classes as written; the byte count of keys other
// than "*"; whether keys hold a bracket class.
std::string keys_regex(std::string_view keys);
uint8_t literal_count(std::string_view keys);
bool has_class(std::string_view keys);

// A heap buffer aligned to 16 bytes holding a copy of `bytes`, so that a Db
// can be opened over an artifact built or read at run time.
class AlignedBytes {
 public:
  AlignedBytes() = default;
  explicit AlignedBytes(const std::vector<uint8_t>& bytes);
  std::span<const uint8_t> span() const { return {data(), size_}; }
  uint8_t* data() { return reinterpret_cast<uint8_t*>(storage_.data()); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(storage_.data()); }
  size_t size() const { return size_; }

 private:
  struct alignas(16) Block {
    uint8_t bytes[16];
  };
  std::vector<Block> storage_;
  size_t size_ = 0;
};

}  // namespace tamberok::artifact
