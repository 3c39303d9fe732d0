#include "py/backend/ingest_batch.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include <sys/mman.h>

#include "py/numpy/array_api.hpp"
#include "py/numpy/arrays.hpp"
#include "py/toolkit/convert.hpp"

namespace marrowfin::py {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The elements of a value, borrowed from the array, after the checks of an
// array argument.
std::optional<std::span<const std::byte>> value_bytes(PyObject* value) {
  const auto array = numpy::to_vector(value);
  return array ? numpy::vector_elements(*array) : std::nullopt;
}

// Room for `count` floats. A buffer of many megabytes is asked for in huge
// pages, so that first touching it costs a few hundred page faults instead
// of a quarter of a million.
float* allocate_floats(std::size_t count) {
  std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(float);
  void* memory = nullptr;
  if (bytes >= kHugePage) {
    bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    memory = std::aligned_alloc(kHugePage, bytes);
    if (memory != nullptr) {
      madvise(memory, bytes, MADV_HUGEPAGE);  // only a hint
    }
  } else {
    memory = std::malloc(bytes);
  }
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return static_cast<float*>(memory);
}

}  // namespace

std::optional<IngestBatch> IngestBatch::copy_from(PyObject* dict) {
  // Locate NumPy before walking the dict: importing it on first use runs
  // Python code, and nothing may run Python code while the items are borrowed.
  if (numpy::array_api() == nullptr) {
    return std::nullopt;
  }
  const Py_ssize_t size = PyDict_Size(dict);
  if (size < 0) {
    return std::nullopt;
  }

  // Two walks over the borrowed items: the first checks every item, in order,
  // and sizes the buffers; the second copies. No Python code runs in either,
  // so the dict is the same both times.
  std::size_t text_size = 0;
  std::size_t float_count = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(dict, &position, &key, &value)) {
    const auto id = to_utf8_view(key);
    if (!id) {
      return std::nullopt;
    }
    const auto bytes = value_bytes(value);
    if (!bytes) {
      return std::nullopt;
    }
    text_size += id->size();
    float_count += bytes->size() / sizeof(float);
  }

  IngestBatch batch;
  batch.text_.reserve(text_size);
  batch.id_ends_.reserve(static_cast<std::size_t>(size));
  batch.vector_ends_.reserve(static_cast<std::size_t>(size));
  batch.values_.reset(allocate_floats(float_count));
  auto* out = reinterpret_cast<std::byte*>(batch.values_.get());
  std::size_t floats_copied = 0;
  position = 0;
  while (PyDict_Next(dict, &position, &key, &value)) {
    const auto id = to_utf8_view(key);
    const auto bytes = value_bytes(value);
    if (!id || !bytes) {
      return std::nullopt;  // unreachable: the first walk checked the same items
    }
    batch.text_ += *id;
    batch.id_ends_.push_back(batch.text_.size());
    if (!bytes->empty()) {
      // memcpy, not float loads: an array's data need not be float-aligned.
      std::memcpy(out + floats_copied * sizeof(float), bytes->data(), bytes->size());
    }
    floats_copied += bytes->size() / sizeof(float);
    batch.vector_ends_.push_back(floats_copied);
  }
  return batch;
}

std::vector<backend::IngestItem> IngestBatch::items() const {
  std::vector<backend::IngestItem> items;
  items.reserve(id_ends_.size());
  const std::string_view text = text_;
  std::size_t id_start = 0;
  std::size_t vector_start = 0;
  for (std::size_t i = 0; i < id_ends_.size(); ++i) {
    items.push_back(
        {text.substr(id_start, id_ends_[i] - id_start),
         std::span<const float>(values_.get() + vector_start, vector_ends_[i] - vector_start)});
    id_start = id_ends_[i];
    vector_start = vector_ends_[i];
  }
  return items;
}

}  // namespace marrowfin::py
