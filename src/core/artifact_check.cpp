#include "tamberok/artifact_check.h"

#include <string_view>
#include <tuple>

namespace tamberok {

namespace {

// Unique keys must rise strictly: a repeated id would make "the row with
// this id" depend on the search's halving steps.
enum class Order { strictly_rising, never_falling };

// std::string_view compares through char_traits<char>, which orders bytes as
// unsigned values with a proper prefix first: the artifact's text order.
template <typename Row, typename Key>
void check_table(std::vector<std::string>& problems, const char* name, const Table<Row>& rows,
                 Order order, Key key) {
  try {
    for (size_t i = 1; i < rows.size(); ++i) {
      auto before = key(rows[i - 1]);
      auto after = key(rows[i]);
      bool fine = order == Order::strictly_rising ? before < after : !(after < before);
      if (!fine) {
        problems.push_back(std::string(name) + ": row " + std::to_string(i) +
                           " does not sort after row " + std::to_string(i - 1));
        return;  // one line per table is enough to find the fault
      }
    }
  } catch (const Panic& e) {
    problems.push_back(std::string(name) + ": " + e.what());
  }
}

void check_strings(std::vector<std::string>& problems, const Db& db) {
  Table<uint32_t> offsets = db.string_offsets();
  size_t bytes = db.strings().size();
  if (offsets.empty()) {
    problems.push_back("string_offsets: no end offset");
    return;
  }
  if (offsets[0] != 0) problems.push_back("string_offsets: the first offset is not 0");
  for (size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) {
      problems.push_back("string_offsets: offset " + std::to_string(i) + " goes back");
      return;
    }
  }
  if (offsets[offsets.size() - 1] != bytes) {
    problems.push_back("string_offsets: the last offset is not the byte count of strings");
  }
}

}  // namespace

std::vector<std::string> check_artifact_orders(const Db& db) {
  std::vector<std::string> problems;
  check_strings(problems, db);
  if (!problems.empty()) return problems;  // texts cannot be compared safely

  const Order strict = Order::strictly_rising;
  const Order rising = Order::never_falling;
  check_table(problems, "wmis", db.wmis(), strict,
              [&](const WmiRow& r) { return db.string(r.code); });
  check_table(problems, "wmi_vin_schemas", db.wmi_vin_schemas(), strict,
              [](const WmiVinSchemaRow& r) { return std::tuple(r.wmi_id, r.id); });
  check_table(problems, "vin_schemas", db.vin_schemas(), strict,
              [](const VinSchemaRow& r) { return r.id; });
  check_table(problems, "patterns", db.patterns(), strict,
              [](const PatternRow& r) { return std::tuple(r.vin_schema_id, r.id); });
  check_table(problems, "element_defs", db.element_defs(), strict,
              [](const ElementRow& r) { return r.id; });
  check_table(problems, "make_models", db.make_models(), strict,
              [](const MakeModelRow& r) { return r.model_id; });
  check_table(problems, "wmi_makes", db.wmi_makes(), strict,
              [](const WmiMakeRow& r) { return std::tuple(r.wmi_id, r.make_id); });
  check_table(problems, "engine_models", db.engine_models(), strict,
              [](const EngineModelRow& r) { return r.id; });
  check_table(problems, "engine_model_patterns", db.engine_model_patterns(), strict,
              [](const EngineModelPatternRow& r) { return std::tuple(r.engine_model_id, r.id); });
  check_table(problems, "default_values", db.default_values(), strict,
              [](const DefaultValueRow& r) { return std::tuple(r.vehicle_type_id, r.id); });
  // A VIN may be listed more than once; its repeats sit next to each other.
  check_table(problems, "vin_exceptions", db.vin_exceptions(), rising,
              [&](const VinExceptionRow& r) { return db.string(r.vin); });
  check_table(problems, "conversions", db.conversions(), strict,
              [](const ConversionRow& r) { return r.id; });
  check_table(problems, "lookups", db.lookups(), strict,
              [](const LookupRow& r) { return std::tuple(r.table, r.id); });
  check_table(problems, "vehicle_spec_schemas", db.vehicle_spec_schemas(), strict,
              [](const VehicleSpecSchemaRow& r) { return std::tuple(r.make_id, r.id); });
  check_table(problems, "vspec_schema_patterns", db.vspec_schema_patterns(), strict,
              [](const VSpecSchemaPatternRow& r) { return std::tuple(r.schema_id, r.id); });
  check_table(
      problems, "vehicle_spec_patterns", db.vehicle_spec_patterns(), strict,
      [](const VehicleSpecPatternRow& r) { return std::tuple(r.vspec_schema_pattern_id, r.id); });
  check_table(
      problems, "vehicle_spec_schema_models", db.vehicle_spec_schema_models(), rising,
      [](const VehicleSpecSchemaModelRow& r) { return std::tuple(r.schema_id, r.model_id); });
  check_table(problems, "vehicle_spec_schema_years", db.vehicle_spec_schema_years(), rising,
              [](const VehicleSpecSchemaYearRow& r) { return std::tuple(r.schema_id, r.year); });
  return problems;
}

}  // namespace tamberok
