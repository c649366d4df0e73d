// decode, decode_json (one VIN, lock held) and decode_batch,
// decode_batch_json (many VINs on the worker pool, lock released).
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "dicts.h"
#include "functions.h"
#include "guard.h"
#include "objects.h"
#include "state.h"
#include "tamberok/batch.h"
#include "tamberok/panic.h"
#include "tamberok/tamberok.h"

namespace tamberok::py::fn {

namespace {

constexpr const char* VIN[] = {"vin"};
constexpr const char* VINS[] = {"vins"};
constexpr const char* FLAT[] = {"flat"};
constexpr Signature DECODE{"decode()", VIN, 1, FLAT};
constexpr Signature DECODE_JSON{"decode_json()", VIN, 1, FLAT};
constexpr Signature DECODE_BATCH{"decode_batch()", VINS, 1, FLAT};
constexpr Signature DECODE_BATCH_JSON{"decode_batch_json()", VINS, 1, FLAT};

struct OneVin {
  std::string_view vin;
  bool flat;
};
OneVin one_vin(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  Bound a = bind(signature, args, nargs, kwnames);
  std::string_view vin = extract("vin", a[0], to_text);
  return {vin, extract_or("flat", a[1], to_bool, false)};
}

struct ManyVins {
  std::vector<std::string> vins;  // owned: read while the lock is released
  bool flat;
};
ManyVins many_vins(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  Bound a = bind(signature, args, nargs, kwnames);
  std::vector<std::string> vins = extract("vins", a[0], to_text_list);
  return {std::move(vins), extract_or("flat", a[1], to_bool, false)};
}

// What every VIN of one batch shares: one clock reading, and the database,
// whose EMPTY check runs on every call, also for an empty batch.
struct BatchStart {
  int64_t now;
  int32_t year;
  const Db& db;
};
BatchStart batch_start() {
  int64_t now = now_micros();
  int32_t year = civil_year(now);
  return {now, year, global_db()};
}

// The cyclic collector would otherwise run thousands of times while a large
// batch is converted, walking the ever larger set of new dicts (measured: it
// about doubled the conversion time). The dicts cannot form cycles, and no
// Python code runs meanwhile, so it is paused while a piece of results is
// converted; the lock is held all that time, so no other thread sees it.
// Each pause reads the state anew: between two of them a signal's handler
// may have run and switched the collector on or off, and that stays.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// A signal that arrives during a batch is answered between its pieces, not
// once the whole batch is done (Ctrl-C on a million VINs would wait most of
// a minute): its Python handler runs here, and the exception it raises
// (KeyboardInterrupt for Ctrl-C) ends the batch: the workers stop, every
// piece made so far is freed, and the call raises it. A handler may run any
// Python code, this module's functions included, and may let other threads
// run, so it runs outside every pause of the collector: it, and every other
// thread, finds the collector as the caller left it, and what it sets is
// kept. What this call made so far is reachable from no Python object
// meanwhile. The price: the first allocation of a handler (or of CPython
// calling it) with the collector on walks every container the batch made
// so far, which a late Ctrl-C waits for (3.10 and 3.11: a sixth to a quarter
// of a second more after three quarters of 200,000 nested results; from
// 3.12 on the collection waits for the next Python code, which for the
// default SIGINT handler comes once the call has freed them; see
// bench/bench_interrupt.py).
void answer_signals() {
  if (PyErr_CheckSignals() < 0) throw PythonError{};
}

// Appends `piece` to the str `text`, or makes it that str when there is
// none yet. The str has no other reference, so CPython resizes it in place
// and copies only the piece, save when the piece needs wider characters
// than the str held so far (a few times at most). A failure is fatal, as
// for every other str the module makes.
void append_piece(Ref& text, std::string_view piece) {
  Ref more = new_str(piece);
  if (!text) {
    text = std::move(more);
    return;
  }
  PyObject* appended = text.release();
  PyUnicode_Append(&appended, more.get());
  if (appended == nullptr) {
    PyErr_Clear();
    throw Panic("Python API call failed");
  }
  text = Ref::own(appended);
}

// The dicts of a batch, made by the calling thread piece by piece while the
// workers decode the next pieces, so that only a few pieces of C++ results
// are alive at once. The dicts live outside the released scope: however the
// call ends, they are dropped with the lock held (or, when the interpreter
// ends the thread, not touched at all).
template <typename Result, typename ToDict, typename Decode>
Ref dict_batch(DictCaches& caches, ToDict to_dict, size_t count, Decode decode_pieces) {
  std::vector<Ref> dicts;
  dicts.reserve(count);
  PyThreadState* thread = PyThreadState_Get();
  leak_on_forced_unwind(dicts, [&] {
    without_gil([&] {
      BatchStart start = batch_start();
      decode_pieces(start, [&](std::span<std::vector<Result>> ready) {
        GilRetake locked(thread);
        for (std::vector<Result>& piece : ready) {
          answer_signals();
          GcPause pause;
          for (const Result& result : piece) dicts.push_back(to_dict(caches, result));
          piece = {};  // freed at once: the next pieces are being made
        }
      });
    });
  });
  GcPause pause;
  return new_list(dicts);
}

}  // namespace

PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto [vin, flat] = one_vin(DECODE, args, nargs, kwnames);
    DecodeResult result = tamberok::decode(vin);
    DictCaches& caches = dict_caches(module);
    if (flat) return flat_to_dict(caches, FlatResult::from(std::move(result)));
    return result_to_dict(caches, result);
  });
}

PyObject* decode_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto [vin, flat] = one_vin(DECODE_JSON, args, nargs, kwnames);
    DecodeResult result = tamberok::decode(vin);
    std::string text = flat ? to_json(FlatResult::from(std::move(result))) : to_json(result);
    return new_str(text);
  });
}

PyObject* decode_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&] {
    // Not a structured binding: the lambdas below capture it.
    const ManyVins batch = many_vins(DECODE_BATCH, args, nargs, kwnames);
    const std::vector<std::string>& vins = batch.vins;
    DictCaches& caches = dict_caches(module);
    if (batch.flat) {
      return dict_batch<FlatResult>(caches, flat_to_dict, vins.size(), [&](BatchStart& s, auto take) {
        decode_batch_flat_pieces(s.db, vins, s.now, s.year, take);
      });
    }
    return dict_batch<DecodeResult>(caches, result_to_dict, vins.size(),
                                    [&](BatchStart& s, auto take) {
                                      decode_batch_pieces(s.db, vins, s.now, s.year, take);
                                    });
  });
}

PyObject* decode_batch_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    const ManyVins batch = many_vins(DECODE_BATCH_JSON, args, nargs, kwnames);
    // Making the one str of a large batch costs more than decoding it on
    // all workers, so each piece of the text is appended to it as soon as
    // it is written, while the workers go on: nothing is left to copy at
    // the end (a join of all pieces would take up to half the call, and no
    // signal could be answered during it), and the pieces are never alive
    // beside the whole. The str lives outside the released scope: however
    // the call ends, it is dropped with the lock held.
    Ref text;
    std::span<Ref, 1> held(&text, 1);
    PyThreadState* thread = PyThreadState_Get();
    leak_on_forced_unwind(held, [&] {
      without_gil([&] {
        BatchStart start = batch_start();
        decode_batch_json_pieces(start.db, batch.vins, batch.flat, start.now, start.year,
                                 [&](std::span<const std::string_view> ready) {
                                   GilRetake locked(thread);
                                   for (std::string_view piece : ready) {
                                     answer_signals();
                                     append_piece(text, piece);
                                   }
                                 });
      });
    });
    return text;
  });
}

}  // namespace tamberok::py::fn
