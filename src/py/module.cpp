// Entry point of `marrowfin_rs._core`: builds the module, its `codec`,
// `corpus` and `backend` submodules, the exception types and every class, in
// a fixed order that determines each module's `__all__`.
#include <atomic>
#include <cstdint>

#include "py/backend/brute_force_backend.hpp"
#include "py/backend/search_backend.hpp"
#include "py/backend/search_result.hpp"
#include "py/codec/codebook.hpp"
#include "py/codec/codec.hpp"
#include "py/codec/codec_config.hpp"
#include "py/codec/compressed_vector.hpp"
#include "py/codec/functions.hpp"
#include "py/codec/rotation_matrix.hpp"
#include "py/corpus/compression_policy.hpp"
#include "py/corpus/corpus.hpp"
#include "py/corpus/corpus_events.hpp"
#include "py/corpus/vector_entry.hpp"
#include "py/errors.hpp"
#include "py/module.hpp"
#include "py/toolkit/panic.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

namespace {

// The package version, passed in by the build from pyproject.toml.
constexpr const char kVersion[] = MARROWFIN_VERSION;

constexpr const char kModuleDoc[] =
    "Initialise the `marrowfin_rs._core` Python extension module.\n"
    "\n"
    "The extension is shipped as one stable-ABI binary per platform inside the\n"
    "package `marrowfin_rs`, whose pure-Python package initialiser promotes these\n"
    "names to the three user-facing sub-packages `codec`, `corpus` and `backend`.";

// The classes and functions of each submodule, in the order they are added
// (which is the order of the submodule's __all__). `_core` receives the same
// objects again, flat: the codec table, then corpus, then backend.
const Export kCodecExports[] = {
    {"CodecConfig", class_object<codec_config_type>},
    {"Codebook", class_object<codebook_type>},
    {"RotationMatrix", class_object<rotation_matrix_type>},
    {"CompressedVector", class_object<compressed_vector_type>},
    {"Codec", class_object<codec_type>},
    {"compress", compress_function},
    {"decompress", decompress_function},
    {nullptr, nullptr},
};
const Export kCorpusExports[] = {
    {"CompressionPolicy", class_object<compression_policy_type>},
    {"VectorEntry", class_object<vector_entry_type>},
    {"Corpus", class_object<corpus_type>},
    {"CorpusCreated", class_object<corpus_created_type>},
    {"VectorsInserted", class_object<vectors_inserted_type>},
    {"CorpusDecompressed", class_object<corpus_decompressed_type>},
    {"CompressionPolicyViolationDetected",
     class_object<compression_policy_violation_detected_type>},
    {nullptr, nullptr},
};
const Export kBackendExports[] = {
    {"SearchBackend", class_object<search_backend_type>},
    {"SearchResult", class_object<search_result_type>},
    {"BruteForceBackend", class_object<brute_force_backend_type>},
    {nullptr, nullptr},
};

// The exception types: all four in `_core` and `codec`, two in `corpus`, none
// in `backend`.
const Export kAllExceptions[] = {
    {"DimensionMismatchError", dimension_mismatch_error},
    {"ConfigMismatchError", config_mismatch_error},
    {"CodebookIncompatibleError", codebook_incompatible_error},
    {"DuplicateVectorError", duplicate_vector_error},
    {nullptr, nullptr},
};
const Export kCorpusExceptions[] = {
    {"DimensionMismatchError", dimension_mismatch_error},
    {"DuplicateVectorError", duplicate_vector_error},
    {nullptr, nullptr},
};

// Sets module.<name> = value and appends name to module.__all__ (created on
// the first addition).
int add(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) {
    return -1;
  }
  PyObject* namespace_dict = PyModule_GetDict(module);  // borrowed
  if (namespace_dict == nullptr) {
    return -1;
  }
  Ref all_key = Ref::steal(PyUnicode_InternFromString("__all__"));
  if (!all_key) {
    return -1;
  }
  Ref all = Ref::borrow(PyDict_GetItemWithError(namespace_dict, all_key.get()));
  if (!all) {
    if (PyErr_Occurred()) {
      return -1;
    }
    all = Ref::steal(PyList_New(0));
    if (!all || PyDict_SetItem(namespace_dict, all_key.get(), all.get()) < 0) {
      return -1;
    }
  }
  Ref entry = Ref::steal(PyUnicode_FromString(name));
  if (!entry) {
    return -1;
  }
  return PyList_Append(all.get(), entry.get());
}

int add_all(PyObject* module, const Export* exports) {
  for (const Export* entry = exports; entry->name != nullptr; ++entry) {
    PyObject* object = entry->object();
    if (object == nullptr || add(module, entry->name, object) < 0) {
      return -1;
    }
  }
  return 0;
}

// Submodules are plain module objects named just "codec", "corpus" and
// "backend"; they are reached as attributes of `_core`, not through sys.modules.
Ref new_submodule(const char* name, const Export* exports) {
  Ref module = Ref::steal(PyModule_New(name));
  if (!module || add_all(module.get(), exports) < 0) {
    return Ref();
  }
  return module;
}

// m_size 0 (not -1): on a re-import the interpreter calls PyInit__core again
// instead of copying a module dict, so the cached module itself is returned.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first initialised the module (-1: none yet), and the
// module it got. Both live for the life of the process.
std::atomic<std::int64_t> g_owner{-1};
PyObject* g_module = nullptr;

// Module state is process-global (cached types and objects), so only one
// interpreter may own it; a sub-interpreter is refused.
bool claim_for_current_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) {
    return false;
  }
  std::int64_t owner = -1;
  if (g_owner.compare_exchange_strong(owner, current) || owner == current) {
    return true;
  }
  PyErr_SetString(PyExc_ImportError,
                  "marrowfin_rs._core supports only one interpreter per process; "
                  "sub-interpreters are not supported");
  return false;
}

PyObject* initialise() {
  if (!claim_for_current_interpreter()) {
    return nullptr;
  }
  if (g_module != nullptr) {
    return Py_NewRef(g_module);
  }

  Ref core = Ref::steal(PyModule_Create(&module_def));
  if (!core) {
    return nullptr;
  }
  Ref version = Ref::steal(PyUnicode_FromString(kVersion));
  if (!version || add(core.get(), "__version__", version.get()) < 0) {
    return nullptr;
  }

  Ref codec = new_submodule("codec", kCodecExports);
  if (!codec) {
    return nullptr;
  }
  Ref corpus = new_submodule("corpus", kCorpusExports);
  if (!corpus) {
    return nullptr;
  }
  Ref backend = new_submodule("backend", kBackendExports);
  if (!backend) {
    return nullptr;
  }

  if (add_all(core.get(), kAllExceptions) < 0 || add_all(codec.get(), kAllExceptions) < 0 ||
      add_all(corpus.get(), kCorpusExceptions) < 0) {
    return nullptr;
  }

  if (add(core.get(), "codec", codec.get()) < 0 || add(core.get(), "corpus", corpus.get()) < 0 ||
      add(core.get(), "backend", backend.get()) < 0) {
    return nullptr;
  }

  if (add_all(core.get(), kCodecExports) < 0 || add_all(core.get(), kCorpusExports) < 0 ||
      add_all(core.get(), kBackendExports) < 0) {
    return nullptr;
  }

  g_module = Py_NewRef(core.get());
  return core.release();
}

}  // namespace

}  // namespace marrowfin::py

PyMODINIT_FUNC PyInit__core() { return marrowfin::py::call_boundary(marrowfin::py::initialise); }
