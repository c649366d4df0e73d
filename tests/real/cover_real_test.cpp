// The cover corpus stored in the embedded artifact of February 2026 (the
// downloaded copy) against the whole candidate pool it was chosen from.
#include <set>

#include "cover.h"
#include "support.h"
#include "tamberok/batch.h"
#include "tamberok/generate.h"
#include "tamberok/tamberok.h"

namespace tamberok::cover {
namespace {

// Sanitized builds decode the corpus but not the two million texts of the pool.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// What the plain decoder's result shows: error codes, and the element
// sources and conversions that supply values.
bool shown_by_result(Feature f) {
  FeatureKind kind = kind_of(f);
  bool unused_class = kind == FeatureKind::error_code && (f & 0xFFFFFFFF) != 0;
  return !unused_class && (kind == FeatureKind::error_code || kind == FeatureKind::element_source ||
                           kind == FeatureKind::element_conversion);
}

std::set<Feature> result_features(const Db& db, const std::vector<std::string>& texts) {
  int64_t now = data_time(db);
  int32_t year = civil_year(now);
  std::set<Feature> out;
  constexpr size_t ROUND = size_t{1} << 16;
  for (size_t start = 0; start < texts.size(); start += ROUND) {
    size_t n = std::min(ROUND, texts.size() - start);
    auto round = batch<std::vector<Feature>>(
        n, [&](size_t i) { return decode_features(db, texts[start + i], now, year); });
    for (const auto& features : round) {
      for (Feature f : features) {
        if (shown_by_result(f)) out.insert(f);
      }
    }
  }
  return out;
}

TEST(CoverFeb2026, StoredCorpusReachesEveryCodeSourceAndConversionOfTheWholePool) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  std::vector<std::string> corpus = generate::cover_vins(db);
  ASSERT_FALSE(corpus.empty());
  int64_t now = data_time(db);
  for (const std::string& text : corpus) {
    EXPECT_NO_THROW(decode_full(db, text, now, civil_year(now))) << text;
  }
  if (SANITIZED) GTEST_SKIP() << "the whole-pool decode is left to the plain build";
  std::set<Feature> reached = result_features(db, corpus);
  std::set<Feature> pool = result_features(db, candidate_pool(db, civil_year(now)));
  std::string missing;
  for (Feature f : pool) {
    if (reached.contains(f)) continue;
    missing += " " + std::string(FEATURE_KIND_NAMES[static_cast<size_t>(kind_of(f))]) + ":" +
               std::to_string(f >> 32 & 0xFFFFFF) + ":" + std::to_string(f & 0xFFFFFFFF);
  }
  EXPECT_EQ(missing, "");
  EXPECT_EQ(reached.size(), pool.size());  // and nothing beyond the pool
  // The conversions and error codes of this data month are among them.
  auto count = [&](FeatureKind kind) {
    return std::count_if(pool.begin(), pool.end(), [&](Feature f) { return kind_of(f) == kind; });
  };
  EXPECT_GT(count(FeatureKind::element_conversion), 0);
  EXPECT_GT(count(FeatureKind::error_code), 5);
}

}  // namespace
}  // namespace tamberok::cover
