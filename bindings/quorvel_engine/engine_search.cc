#include "engine_methods.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine_object.h"
#include "exceptions.h"
#include "messages.h"
#include "python_errors.h"
#include "results.h"
#include "values.h"
#include "vectors.h"

namespace quorvel::python {
namespace {

// The options of search and search_many, shared by every query.
struct SearchOptions {
  std::uint64_t k = 10;
  std::vector<MetadataFilter> filters;
  std::optional<float> decay;
  std::optional<std::uint64_t> now;
  bool filter_through_index = false;
};

bool where_argument(PyObject* object, std::vector<MetadataFilter>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyDict_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kWhereNotDict, {type_name(object)}));
    return false;
  }
  // One pair per key; a dict of one key is the filter of one equality.
  JsonValue conditions;
  if (!to_json_value(object, "where", conditions)) return false;
  for (const JsonValue::Member& member : conditions.as<JsonValue::Object>()) {
    out.push_back({member.key, member.value});
  }
  return true;
}

bool decay_argument(PyObject* object, std::optional<float>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {"decay", "bool"}));
    return false;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {"decay", type_name(object)}));
    return false;
  }
  // As the program does: a factor above 1 would move older records forward,
  // and one of 0 leaves nothing to divide a distance by.
  const float factor = static_cast<float>(value);
  if (!(factor > 0.0f && factor <= 1.0f)) {
    PyRef shown(PyObject_Repr(object));
    raise_refused(format_message(messages::kDecayRange, {shown ? display_text(shown.get()) : "?"}));
    return false;
  }
  out = factor;
  return true;
}

bool search_options(PyObject* k, PyObject* where, PyObject* decay, PyObject* now, PyObject* through_index,
                    SearchOptions& out) {
  if (through_index != nullptr) {
    if (!PyBool_Check(through_index)) {
      raise_error(PyExc_TypeError,
                  format_message(messages::kNotABool, {"filter_through_index", type_name(through_index)}));
      return false;
    }
    out.filter_through_index = through_index == Py_True;
  }
  if (k != nullptr && !to_uint64(k, "k", messages::kKRange, exception_types().refused_value, out.k)) {
    return false;
  }
  if (!where_argument(where, out.filters) || !decay_argument(decay, out.decay) ||
      !to_optional_uint64(now, "now", messages::kNowRange, out.now)) {
    return false;
  }
  // Ages are measured from now: the current time unless the caller names one.
  if (out.decay && !out.now) out.now = static_cast<std::uint64_t>(std::time(nullptr));
  return true;
}

SearchRequest request_of(std::vector<float> query, const SearchOptions& options) {
  SearchRequest request{std::move(query), options.k, options.filters, options.decay, options.now};
  request.filter_through_index = options.filter_through_index;
  return request;
}

// The arguments of search and search_many as given: the query (or the
// queries) first, then the options every query shares.
struct SearchArguments {
  PyObject* queries = nullptr;
  PyObject* k = nullptr;
  PyObject* where = nullptr;
  PyObject* decay = nullptr;
  PyObject* now = nullptr;
  PyObject* through_index = nullptr;

  // Parses them; `first` names the query argument, `format` ends with the
  // function's name. False with an exception set.
  bool parse(PyObject* args, PyObject* kwargs, const char* first, const char* format) {
    const char* keywords[] = {first, "k", "where", "decay", "now", "filter_through_index", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &queries, &k, &where,
                                       &decay, &now, &through_index) != 0;
  }

  bool options(SearchOptions& out) const { return search_options(k, where, decay, now, through_index, out); }
};

}  // namespace

PyObject* engine_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    SearchArguments arguments;
    std::vector<float> query;
    SearchOptions options;
    if (!arguments.parse(args, kwargs, "query", "O|O$OOOO:search") || !read_vector(arguments.queries, query) ||
        !arguments.options(options)) {
      return nullptr;
    }
    const SearchRequest request = request_of(std::move(query), options);
    std::vector<SearchResult> results;
    std::optional<EngineError> failure;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kShared, Span::kLong, [&](Engine& engine) {
      if (auto fits = engine.check_dimension(request.query.size()); !fits) {
        failure = std::move(fits.error());
        return;
      }
      results = engine.search(request);
    });
    if (!open) return raise_closed(state);
    if (failure) return raise_engine_error(*failure, During::kCall, state.path);
    return hit_list(results);
  });
}

PyObject* engine_search_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    SearchArguments arguments;
    std::vector<std::vector<float>> queries;
    SearchOptions options;
    if (!arguments.parse(args, kwargs, "queries", "O|O$OOOO:search_many") ||
        !read_vectors(arguments.queries, "queries", messages::kQueryPrefix, queries) || !arguments.options(options)) {
      return nullptr;
    }
    std::vector<SearchRequest> requests;
    requests.reserve(queries.size());
    for (std::vector<float>& query : queries) requests.push_back(request_of(std::move(query), options));
    std::vector<std::vector<SearchResult>> answers;
    std::optional<EngineError> failure;
    std::size_t refused = 0;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kShared, Span::kLong, [&](Engine& engine) {
      for (std::size_t i = 0; i < requests.size(); ++i) {
        if (auto fits = engine.check_dimension(requests[i].query.size()); !fits) {
          failure = std::move(fits.error());
          refused = i;
          return;
        }
      }
      answers = engine.search_many(requests);
    });
    if (!open) return raise_closed(state);
    if (failure) {
      raise_engine_error(*failure, During::kCall, state.path);
      prefix_pending_error(format_message(messages::kQueryPrefix, {std::to_string(refused)}), refused);
      return nullptr;
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(answers.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < answers.size(); ++i) {
      PyObject* hits = hit_list(answers[i]);
      if (hits == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), hits);  // steals `hits`
    }
    return list.release();
  });
}

}  // namespace quorvel::python
