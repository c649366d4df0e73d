// tamberok: an offline VIN decoder over the NHTSA vPIC catalogue.
//
//   tamberok::DecodeResult r = tamberok::decode("1HGCM82633A004352");
//
// decode() reads the clock, opens the embedded database and decodes. Bad VIN
// text never fails: problems come back as vPIC error codes in the result.
// A binary built without real data panics (tamberok::Panic) on every call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tamberok/db.h"
#include "tamberok/result.h"

namespace tamberok {

// Wall-clock microseconds since 1970 (whole seconds; 0 before 1970).
int64_t now_micros();
// The civil year in UTC of a microsecond timestamp.
int32_t civil_year(int64_t micros);
// The civil year in UTC now.
int32_t current_year();

// The VIN as every later step sees it: each non-ASCII character becomes one
// "&", white space is trimmed, ASCII letters are upper-cased.
std::string normalize_vin(std::string_view text);
// WMI: 3 characters, or 6 (positions 1-3 and 12-14) when the third is "9"
// and the VIN has at least 14 characters.
std::string wmi_of(std::string_view vin);
// Descriptor: 17 characters padded with "*" or cut, position 9 "*", then the
// first 14 when position 3 is "9", else the first 11.
std::string descriptor_of(std::string_view vin);
// VIN key: positions 4-8, then "|" and positions 10-17 when there are at
// least 10 characters.
std::string vin_key_of(std::string_view vin);

// The full decode of one VIN against `db` at a given time.
DecodeResult decode_full(const Db& db, std::string_view vin, int64_t now, int32_t current_year);

// decode_full against the embedded database at the current time.
DecodeResult decode(std::string_view vin);

}  // namespace tamberok
