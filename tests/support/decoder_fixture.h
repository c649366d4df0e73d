// A small vPIC-shaped catalogue for decoder tests, written in C++ so that
// each test can add the rows its case needs before building the artifact.
//
// WMIs (created 2015-01-01 unless noted):
//   1HG  id 10  car (2), manufacturer 988 "HONDA ..." make 474 Honda
//   TST  id 20  truck (3) type 2, manufacturer 7, makes 441 and 474
//   LAT  id 30  car, created 2030 (after every test clock)
//   NOT  id 40  car, no creation time
//   1G9  id 50, code "1G9ABC": a six-character WMI, MPV (7)
//   MCY  id 60  motorcycle (1), manufacturer 5 without a name
// Schemas: 100 (1HG 2003..2007), 101 (1HG 2016 open), 102 (TST 2000 open),
//   103 (1G9ABC 2010 open), 104 (MCY 2015 open).
#pragma once

#include "tamberok/artifact_writer.h"

namespace tamberok::testing {

// Microseconds of 2015-01-01 and 2026-12-01, UTC.
inline constexpr int64_t T2015 = 1420070400LL * 1000000;
inline constexpr int64_t T2026 = 1796083200LL * 1000000;

artifact::Contents decoder_contents();

// Adds a pattern row with the next free id.
void add_pattern(artifact::Contents& c, int32_t schema, std::string keys, int32_t element,
                 std::string attribute, int64_t created_on = T2015);

}  // namespace tamberok::testing
