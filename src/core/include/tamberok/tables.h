// Constant vocabularies: the 72 lookup tables of the artifact (a table's
// position is the index that LookupRow.table stores), which lookup table
// names the values of each coded element, and the display rank of element
// groups. Nothing here reads the artifact; it must agree with it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tamberok {

inline constexpr std::array<std::string_view, 72> LOOKUP_TABLE_NAMES = {
    "batterytype",
    "bedtype",
    "bodycab",
    "bodystyle",
    "destinationmarket",
    "drivetype",
    "entertainmentsystem",
    "fueltype",
    "grossvehicleweightrating",
    "make",
    "manufacturer",
    "model",
    "steering",
    "transmission",
    "vehicletype",
    "brakesystem",
    "airbaglocations",
    "wheelbasetype",
    "valvetraindesign",
    "engineconfiguration",
    "airbaglocfront",
    "fueldeliverytype",
    "airbaglocknee",
    "evdriveunit",
    "country",
    "pretensioner",
    "seatbeltsall",
    "adaptivecruisecontrol",
    "abs",
    "autobrake",
    "blindspotmonitoring",
    "ecs",
    "tractioncontrol",
    "forwardcollisionwarning",
    "lanedeparturewarning",
    "lanekeepsystem",
    "rearvisibilitycamera",
    "parkassist",
    "trailertype",
    "trailerbodytype",
    "coolingtype",
    "electrificationlevel",
    "chargerlevel",
    "turbo",
    "errorcode",
    "axleconfiguration",
    "busfloorconfigtype",
    "bustype",
    "custommotorcycletype",
    "motorcyclesuspensiontype",
    "motorcyclechassistype",
    "tpms",
    "dynamicbrakesupport",
    "pedestrianautomaticemergencybraking",
    "autoreversesystem",
    "automaticpedestrainalertingsound",
    "can_aacn",
    "edr",
    "keylessignition",
    "daytimerunninglight",
    "lowerbeamheadlamplightsource",
    "semiautomaticheadlampbeamswitching",
    "adaptivedrivingbeam",
    "rearcrosstrafficalert",
    "rearautomaticemergencybraking",
    "blindspotintervention",
    "lanecenteringassistance",
    "nonlanduse",
    "fueltanktype",
    "fueltankmaterial",
    "combinedbrakingsystem",
    "wheeliemitigation",
};

// The 27 group names in display order; rank = index, 99 for other names.
inline constexpr std::array<std::string_view, 27> GROUP_NAMES = {
    "",
    "General",
    "Exterior/Body",
    "Exterior/Dimension",
    "Exterior/Truck",
    "Exterior/Trailer",
    "Exterior/Wheel Tire",
    "Exterior/Motorcycle",
    "Exterior/Bus",
    "Interior",
    "Interior/Seat",
    "Mechanical/Transmission",
    "Mechanical/Drivetrain",
    "Mechanical/Brake",
    "Mechanical/Battery",
    "Mechanical/Battery/Charger",
    "Engine",
    "Passive Safety System",
    "Passive Safety System/Air Bag Location",
    "Active Safety System",
    "Active Safety System/Maintaining Safe Distance",
    "Active Safety System/Forward Collision Prevention",
    "Active Safety System/Lane and Side Assist",
    "Active Safety System/Backing Up and Parking",
    "Active Safety System/911 Notification",
    "Active Safety System/Lighting Technologies",
    "Internal",
};

namespace tables {

// The lookup table that holds the names of an element's coded values.
std::optional<std::string_view> lookup_table_of(int32_t element_id);

// The index of a table name in LOOKUP_TABLE_NAMES (exact bytes). Inline and
// constexpr so that the decoder's fixed table names resolve at compile time.
constexpr std::optional<uint16_t> lookup_table_index(std::string_view name) {
  for (size_t i = 0; i < LOOKUP_TABLE_NAMES.size(); ++i) {
    if (LOOKUP_TABLE_NAMES[i] == name) return static_cast<uint16_t>(i);
  }
  return std::nullopt;
}

// lookup_table_index(lookup_table_of(id)) without the name search, for the
// per-value resolution of every result.
std::optional<uint16_t> lookup_table_index_of(int32_t element_id);

}  // namespace tables

// The display rank of an element group: exact text match, else 99.
int32_t group_rank(std::string_view group_name);

}  // namespace tamberok
