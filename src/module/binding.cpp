#include "module/binding.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "module/refs.hpp"

namespace velmora::py {

bool intern_names(FunctionDescription& desc) {
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    if (desc.interned[i] != nullptr) continue;
    desc.interned[i] = PyUnicode_InternFromString(desc.params[i]);
    if (desc.interned[i] == nullptr) return false;
  }
  return true;
}

namespace {

// Position of the parameter called `key`, or param_count. Keyword names are
// usually the interned strings themselves; otherwise the text is compared.
std::size_t find_param(const FunctionDescription& desc, PyObject* key) {
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    if (key == desc.interned[i]) return i;
  }
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, desc.params[i]) == 0) {
      return i;
    }
  }
  return desc.param_count;
}

#if PY_VERSION_HEX >= 0x030D0000
// The interpreter (3.13 and later) suggests the closest parameter name for an
// unexpected keyword, by an edit distance in which a change of case costs
// half a substitution; a suggestion needs at most a third of the characters
// changed. Names longer than 40 bytes are never close.
constexpr std::size_t kMoveCost = 2, kCaseCost = 1, kMaxNameSize = 40;

std::size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t max_cost) {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxNameSize || b.size() > kMaxNameSize) return max_cost + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;
  std::size_t row[kMaxNameSize];
  for (std::size_t i = 0; i < a.size(); ++i)
    row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t bi = 0; bi < b.size(); ++bi) {
    std::size_t distance = result = bi * kMoveCost;
    std::size_t minimum = static_cast<std::size_t>(-1);
    for (std::size_t ai = 0; ai < a.size(); ++ai) {
      const std::size_t substitute = distance + substitution_cost(b[bi], a[ai]);
      distance = row[ai];
      const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[ai] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

// The closest parameter name to `key`, or null.
const char* suggest_param(const FunctionDescription& desc, PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  const std::string_view name(text, static_cast<std::size_t>(size));
  const char* best = nullptr;
  std::size_t best_distance = static_cast<std::size_t>(-1);
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    const std::string_view param(desc.params[i]);
    std::size_t max_distance = (name.size() + param.size() + 3) * kMoveCost / 6;
    max_distance = std::min(max_distance, best_distance - 1);
    const std::size_t d = edit_distance(name, param, max_distance);
    if (d > max_distance) continue;
    if (best == nullptr || d < best_distance) {
      best = desc.params[i];
      best_distance = d;
    }
  }
  return best;
}
#endif

void unexpected_keyword(const FunctionDescription& desc, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
  if (const char* suggestion = suggest_param(desc, key)) {
    PyErr_Format(PyExc_TypeError,
                 "%s() got an unexpected keyword argument '%S'. Did you mean '%s'?", desc.name, key,
                 suggestion);
    return;
  }
#endif
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", desc.name, key);
}

void too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
  const auto total = static_cast<Py_ssize_t>(desc.param_count);
  const auto required = static_cast<Py_ssize_t>(desc.required);
  if (required < total) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", desc.name,
                 required, total, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 desc.name, total, total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of names.
void missing_arguments(const FunctionDescription& desc, PyObject* const* slots) {
  std::string names;
  std::size_t missing = 0, listed = 0;
  for (std::size_t i = 0; i < desc.required; ++i)
    missing += slots[i] == nullptr;
  for (std::size_t i = 0; i < desc.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += desc.params[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", desc.name,
               missing, missing == 1 ? "" : "s", names.c_str());
}

}  // namespace

bool bind_arguments(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  for (std::size_t i = 0; i < desc.param_count; ++i)
    slots[i] = nullptr;
  if (nargs > static_cast<Py_ssize_t>(desc.param_count)) {
    too_many_positional(desc, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i)
    slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t i = find_param(desc, key);
    if (i == desc.param_count) {
      unexpected_keyword(desc, key);
      return false;
    }
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", desc.name,
                   desc.params[i]);
      return false;
    }
    slots[i] = args[nargs + k];
  }

  for (std::size_t i = 0; i < desc.required; ++i) {
    if (slots[i] == nullptr) {
      missing_arguments(desc, slots);
      return false;
    }
  }
  return true;
}

}  // namespace velmora::py
