// The test-corpus functions. All but cover_vins convert and check their
// arguments with the interpreter lock held (every ValueError is raised
// then), and release it before the database is first touched.
#include <string>
#include <vector>

#include "args.h"
#include "functions.h"
#include "guard.h"
#include "objects.h"
#include "tamberok/generate.h"
#include "tamberok/tamberok.h"

namespace tamberok::py::fn {

namespace {

constexpr const char* N[] = {"n"};
constexpr const char* GENERATE_OPTIONS[] = {"seed", "wmi", "make", "year", "vehicle_type"};
constexpr const char* DIMENSIONS[] = {"dimensions"};
constexpr const char* LIMIT[] = {"limit"};
constexpr Signature GENERATE{"generate()", N, 1, GENERATE_OPTIONS};
constexpr Signature SWEEP{"sweep()", DIMENSIONS, 0, {}};
constexpr Signature PAIRWISE{"pairwise()", {}, 0, LIMIT};
constexpr Signature SEEDED{"seeded()", {}, 0, LIMIT};

uint64_t limit_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  Bound a = bind(signature, args, nargs, kwnames);
  return extract_or("limit", a[0], to_u64, uint64_t{0});
}

// Runs corpus(db, current year) with the lock released; the clock is read
// once per call.
template <typename Corpus>
Ref corpus_without_lock(Corpus corpus) {
  std::vector<std::string> vins =
      without_gil([&] { return corpus(global_db(), civil_year(now_micros())); });
  return new_str_list(vins);
}

}  // namespace

PyObject* generate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    Bound a = bind(GENERATE, args, nargs, kwnames);
    uint64_t n = extract("n", a[0], to_u64);
    uint64_t seed = extract_or("seed", a[1], to_u64, uint64_t{0});
    generate::Filter filter;
    filter.wmi = extract_optional("wmi", a[2], to_owned_text);
    filter.make = extract_optional("make", a[3], to_owned_text);
    filter.year = extract_optional("year", a[4], to_i32);
    filter.vehicle_type = extract_optional("vehicle_type", a[5], to_i32);
    if (n > generate::GENERATE_MAX) {
      raise_error(PyExc_ValueError, "n=" + std::to_string(n) + " is too large; generate at most " +
                                        std::to_string(generate::GENERATE_MAX) + " VINs per call");
    }
    return corpus_without_lock([&](const Db& db, int32_t year) {
      return generate::generate(db, n, seed, filter, year + 2);
    });
  });
}

PyObject* sweep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    Bound a = bind(SWEEP, args, nargs, kwnames);
    std::optional<std::vector<std::string>> names =
        extract_optional("dimensions", a[0], to_text_list);
    std::vector<generate::Dimension> dimensions(generate::ALL_DIMENSIONS.begin(),
                                                generate::ALL_DIMENSIONS.end());
    if (names) {
      dimensions.clear();
      for (const std::string& name : *names) {
        std::optional<generate::Dimension> dimension = generate::dimension_of(name);
        if (!dimension) raise_error(PyExc_ValueError, "unknown dimension: " + name);
        dimensions.push_back(*dimension);
      }
    }
    return corpus_without_lock([&](const Db& db, int32_t year) {
      return generate::sweep(db, dimensions, year);
    });
  });
}

PyObject* pairwise(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    uint64_t limit = limit_argument(PAIRWISE, args, nargs, kwnames);
    return corpus_without_lock([&](const Db& db, int32_t year) {
      return generate::pairwise(db, limit, year);
    });
  });
}

PyObject* seeded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    uint64_t limit = limit_argument(SEEDED, args, nargs, kwnames);
    return corpus_without_lock([&](const Db& db, int32_t year) {
      return generate::seeded(db, limit, year);
    });
  });
}

PyObject* cover_vins(PyObject*, PyObject*) {
  return guarded([] { return new_str_list(generate::cover_vins(global_db())); });
}

}  // namespace tamberok::py::fn
