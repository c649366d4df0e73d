#include "cover.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <queue>
#include <unordered_map>
#include <unordered_set>

#include "tamberok/batch.h"
#include "tamberok/decode.h"
#include "tamberok/generate.h"
#include "tamberok/panic.h"
#include "tamberok/tamberok.h"
#include "tamberok/text.h"
#include "tamberok/trace.h"

namespace tamberok::cover {

namespace {

// Code 14's case: the code itself, with unused positions named, without.
// The note names them when there are any; without a model there are none.
constexpr uint32_t UNUSED_SOME = 1;
constexpr uint32_t UNUSED_NONE = 2;
constexpr std::string_view UNUSED_NOTE = "Unused position(s): ";

// Pool texts decoded per round: only the distinct feature sets are kept
// between rounds, not the features of every candidate.
constexpr size_t ROUND = size_t{1} << 16;

std::string_view conversion_prefix() {
  return "Conversion ";
}

// The id of a "Conversion <id>: ..." source text; none when it has none.
std::optional<int32_t> conversion_id(std::string_view source) {
  std::string_view rest = source.substr(conversion_prefix().size());
  return parse_i32(rest.substr(0, rest.find(':')));
}

bool has_ascii_lower(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

bool has_non_ascii(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

InputClass length_class(size_t n) {
  if (n == 0) return InputClass::empty;
  if (n <= 2) return InputClass::length_1_to_2;
  if (n <= 10) return InputClass::length_3_to_10;
  if (n <= 16) return InputClass::length_11_to_16;
  if (n == 17) return InputClass::length_17;
  return InputClass::longer_than_17;
}

void add_input_classes(std::string_view text, std::string_view vin, std::vector<Feature>& out) {
  auto add = [&](InputClass c) { out.push_back(make_feature(FeatureKind::input, uint32_t(c))); };
  add(length_class(vin.size()));
  if (has_ascii_lower(text)) add(InputClass::lower_case);
  if (trim_unicode(text).size() != text.size()) add(InputClass::surrounding_white_space);
  if (has_non_ascii(text)) add(InputClass::non_ascii);
  for (char c : vin) {
    if (c == 'I') add(InputClass::letter_i);
    if (c == 'O') add(InputClass::letter_o);
    if (c == 'Q') add(InputClass::letter_q);
    if (!is_ascii_digit(c) && !is_ascii_upper(c)) add(InputClass::other_invalid_character);
  }
}

CheckDigit check_digit_verdict(const DecodeResult& result, uint64_t hooks) {
  auto excepted = uint64_t{1} << static_cast<uint32_t>(trace::Hook::check_digit_excepted);
  if (result.check_digit_valid) return CheckDigit::valid;
  if (std::binary_search(result.error_codes.begin(), result.error_codes.end(), 1)) {
    return CheckDigit::invalid;
  }
  if (hooks & excepted) return CheckDigit::excepted;
  if (result.vin.size() < 17) return CheckDigit::short_vin;
  return CheckDigit::not_computable;  // a position-9 character with no check value
}

struct FeaturesHash {
  size_t operator()(const std::vector<Feature>& features) const {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (Feature f : features) h = (h ^ f) * 0x100000001b3ULL;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

}  // namespace

std::string with_commas(size_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

Feature make_feature(FeatureKind kind, uint32_t subject, uint32_t detail) {
  return (uint64_t{static_cast<uint8_t>(kind)} << 56) | (uint64_t{subject & 0xFFFFFF} << 32) |
         detail;
}

FeatureKind kind_of(Feature feature) {
  return static_cast<FeatureKind>(feature >> 56);
}

SourceKind source_kind(std::string_view source) {
  if (source == "Pattern") return SourceKind::pattern;
  if (source == "EngineModelPattern") return SourceKind::engine_model_pattern;
  if (source == "Formula Pattern") return SourceKind::formula_pattern;
  if (source == "pattern - model") return SourceKind::make_from_model;
  if (source == "Make") return SourceKind::make_from_wmi;
  if (source == "VehType" || source == "Manu. Name" || source == "Manu. Id") {
    return SourceKind::wmi_row;
  }
  if (source == "ModelYear") return SourceKind::model_year;
  if (source.starts_with(conversion_prefix())) return SourceKind::conversion;
  if (source == "Vehicle Specs") return SourceKind::vehicle_spec;
  if (source == "Default") return SourceKind::default_value;
  if (source == "Corrections") return SourceKind::correction;
  return SourceKind::other;
}

std::vector<Feature> features_of(std::string_view text, const DecodeResult& result,
                                 uint64_t hooks) {
  std::vector<Feature> out;
  for (int32_t code : result.error_codes) {
    out.push_back(make_feature(FeatureKind::error_code, static_cast<uint32_t>(code)));
  }
  uint64_t decisions =
      hooks & ~(uint64_t{1} << static_cast<uint32_t>(trace::Hook::check_digit_excepted));
  for (uint32_t hook = 0; hook < trace::HOOK_COUNT; ++hook) {
    if (decisions >> hook & 1) out.push_back(make_feature(FeatureKind::decision, hook));
  }

  bool possible_values = false;
  bool unused_positions = false;
  for (const DecodedElement& e : result.elements) {
    if (e.value.empty()) continue;
    auto element = static_cast<uint32_t>(e.element_id);
    if (e.element_id == element_id::POSSIBLE_VALUES) possible_values = true;
    if (e.element_id == element_id::ADDITIONAL_ERROR_TEXT) {
      unused_positions = e.value.find(UNUSED_NOTE) != std::string::npos;
    }
    SourceKind source = source_kind(e.source);
    std::optional<int32_t> conversion =
        source == SourceKind::conversion ? conversion_id(e.source) : std::nullopt;
    if (conversion) {
      out.push_back(make_feature(FeatureKind::element_conversion, element,
                                 static_cast<uint32_t>(*conversion)));
    } else {
      out.push_back(make_feature(FeatureKind::element_source, element, uint32_t(source)));
    }
  }

  if (std::binary_search(result.error_codes.begin(), result.error_codes.end(), 14)) {
    out.push_back(
        make_feature(FeatureKind::error_code, 14, unused_positions ? UNUSED_SOME : UNUSED_NONE));
  }
  out.push_back(
      make_feature(FeatureKind::check_digit, uint32_t(check_digit_verdict(result, hooks))));
  if (result.corrected_vin.find('!') != std::string::npos) {
    out.push_back(
        make_feature(FeatureKind::validation, uint32_t(Validation::suggested_vin_marked)));
  }
  if (possible_values) {
    out.push_back(
        make_feature(FeatureKind::validation, uint32_t(Validation::possible_values_present)));
  }
  add_input_classes(text, result.vin, out);

  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<Feature> decode_features(const Db& db, std::string_view text, int64_t now,
                                     int32_t current_year) {
  trace::take();  // hooks a failed decode on this thread may have left
  DecodeResult result = decode_full(db, text, now, current_year);
  return features_of(text, result, trace::take());
}

int64_t data_time(const Db& db) {
  int64_t latest = NONE_I64;
  Table<WmiRow> rows = db.wmis();
  for (size_t i = 0; i < rows.size(); ++i) {
    WmiRow row = rows[i];
    latest = std::max({latest, row.created_on, row.updated_on});
  }
  return latest == NONE_I64 ? 0 : latest;
}

std::vector<std::string> malformed_variants(std::string_view vin, size_t position) {
  std::vector<std::string> out;
  for (size_t length : {3, 8, 11, 13}) {
    if (length < vin.size()) out.emplace_back(vin.substr(0, length));
  }
  out.push_back(std::string(vin) + "1");
  out.push_back(ascii_lower(vin));
  out.push_back(" " + std::string(vin) + " ");
  if (position >= 1 && position <= vin.size()) {
    for (std::string_view replacement : {"I", "O", "Q", "*", "\xC3\x89"}) {
      std::string changed(vin);
      changed.replace(position - 1, 1, replacement);
      out.push_back(std::move(changed));
    }
  }
  if (vin.size() >= 9) {
    std::string changed(vin);
    char& c = changed[8];
    c = c == 'X' || c == '9' ? '0' : is_ascii_digit(c) ? static_cast<char>(c + 1) : 'X';
    out.push_back(std::move(changed));
  }
  return out;
}

std::vector<std::string> candidate_pool(const Db& db, int32_t current_year) {
  std::vector<generate::Dimension> dimensions(generate::ALL_DIMENSIONS.begin(),
                                              generate::ALL_DIMENSIONS.end());
  // The three corpora are independent, so they are built side by side.
  const std::vector<std::vector<std::string>> lists =
      batch<std::vector<std::string>>(3, [&](size_t i) {
        if (i == 0) return generate::sweep(db, dimensions, current_year);
        if (i == 1) return generate::seeded(db, 0, current_year);
        return generate::pairwise(db, 0, current_year);
      });
  size_t total = 0;
  for (const auto& list : lists) total += list.size();

  // Views into `lists` and `variants`, which stay unchanged while it lives.
  std::unordered_set<std::string_view> seen;
  seen.reserve(total + total / SAMPLE_STRIDE * 16);
  std::vector<std::string_view> bases;
  bases.reserve(total);
  for (const auto& list : lists) {
    for (const std::string& vin : list) {
      if (seen.insert(vin).second) bases.push_back(vin);
    }
  }
  std::vector<std::string> variants;
  for (size_t k = 0; k * SAMPLE_STRIDE < bases.size(); ++k) {
    // The replaced position walks along the VIN from sample to sample.
    for (std::string& v : malformed_variants(bases[k * SAMPLE_STRIDE], 1 + k % 17)) {
      variants.push_back(std::move(v));
    }
  }
  std::vector<std::string> pool;
  pool.reserve(bases.size() + variants.size());
  for (std::string_view vin : bases) pool.emplace_back(vin);
  for (const std::string& text : variants) {
    if (seen.insert(text).second) pool.push_back(text);
  }
  return pool;
}

std::vector<size_t> greedy_cover(const std::vector<std::vector<uint32_t>>& sets) {
  uint32_t universe = 0;
  for (const auto& set : sets) {
    for (uint32_t f : set) universe = std::max(universe, f + 1);
  }
  std::vector<bool> covered(universe, false);
  auto gain_of = [&](size_t i) {
    size_t gain = 0;
    for (uint32_t f : sets[i]) gain += covered[f] ? 0 : 1;
    return gain;
  };
  // Lazy greedy: a stored gain is an upper bound of the true one, since
  // gains only fall as features get covered.
  struct Entry {
    size_t gain;
    size_t index;
  };
  auto ranks_below = [](const Entry& a, const Entry& b) {
    return a.gain != b.gain ? a.gain < b.gain : a.index > b.index;
  };
  std::priority_queue<Entry, std::vector<Entry>, decltype(ranks_below)> queue(ranks_below);
  for (size_t i = 0; i < sets.size(); ++i) queue.push({gain_of(i), i});

  std::vector<size_t> picks;
  while (!queue.empty()) {
    Entry top = queue.top();
    queue.pop();
    top.gain = gain_of(top.index);
    if (top.gain == 0) continue;
    if (!queue.empty() && ranks_below(top, queue.top())) {
      queue.push(top);
      continue;
    }
    for (uint32_t f : sets[top.index]) covered[f] = true;
    picks.push_back(top.index);
  }
  return picks;
}

CoverCorpus choose_cover_corpus(const Db& db) {
  auto started = std::chrono::steady_clock::now();
  if (!trace::enabled()) {
    throw Panic("tamberok: the cover corpus needs the tracing build of the decoder");
  }
  CoverCorpus corpus;
  if (db.wmis().empty()) return corpus;  // nothing decodes
  int64_t now = data_time(db);
  int32_t year = civil_year(now);
  std::vector<std::string> pool = candidate_pool(db, year);
  corpus.candidates = pool.size();

  // A candidate whose features equal an earlier one's can never be picked
  // (ties go to the earlier), so only the first of each feature set stays.
  std::unordered_map<std::vector<Feature>, size_t, FeaturesHash> first_with;
  std::vector<const std::vector<Feature>*> distinct;
  for (size_t start = 0; start < pool.size(); start += ROUND) {
    size_t n = std::min(ROUND, pool.size() - start);
    std::vector<std::vector<Feature>> round = batch<std::vector<Feature>>(
        n, [&](size_t i) { return decode_features(db, pool[start + i], now, year); });
    for (size_t i = 0; i < n; ++i) {
      auto [at, added] = first_with.try_emplace(std::move(round[i]), start + i);
      if (added) distinct.push_back(&at->first);
    }
  }

  std::vector<Feature> all;
  for (const auto* features : distinct) all.insert(all.end(), features->begin(), features->end());
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  for (Feature f : all) ++corpus.features_by_kind[static_cast<size_t>(kind_of(f))];

  std::vector<std::vector<uint32_t>> sets;
  sets.reserve(distinct.size());
  for (const auto* features : distinct) {
    std::vector<uint32_t>& set = sets.emplace_back();
    set.reserve(features->size());
    for (Feature f : *features) {
      set.push_back(
          static_cast<uint32_t>(std::lower_bound(all.begin(), all.end(), f) - all.begin()));
    }
  }
  for (size_t pick : greedy_cover(sets)) {
    corpus.vins.push_back(pool[first_with.at(*distinct[pick])]);
  }
  corpus.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return corpus;
}

std::string describe(const CoverCorpus& corpus) {
  size_t total = 0;
  std::string kinds;
  for (size_t k = 0; k < FEATURE_KIND_COUNT; ++k) {
    total += corpus.features_by_kind[k];
    if (!kinds.empty()) kinds += ", ";
    kinds += std::string(FEATURE_KIND_NAMES[k]) + " " + with_commas(corpus.features_by_kind[k]);
  }
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.2f", corpus.seconds);
  return "cover corpus: " + with_commas(total) + " features (" + kinds + "), " +
         with_commas(corpus.candidates) + " candidates, " + with_commas(corpus.vins.size()) +
         " VINs, " + seconds + " s";
}

}  // namespace tamberok::cover
