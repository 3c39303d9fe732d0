#include "py/errors.hpp"

#include <string>

#include "py/toolkit/panic.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

namespace {

// One exception type of the package, made on first use.
class ExceptionType {
 public:
  constexpr ExceptionType(const char* qualified_name, const char* doc) noexcept
      : qualified_name_(qualified_name), doc_(doc) {}

  PyObject* get() {
    if (type_ == nullptr) {
      type_ = PyErr_NewExceptionWithDoc(qualified_name_, doc_, PyExc_ValueError, nullptr);
      if (type_ == nullptr) {
        const std::string message =
            std::string("failed to create the exception type ") + qualified_name_;
        return raise_panic_from_pending(message.c_str());
      }
    }
    return type_;
  }

 private:
  const char* qualified_name_;
  const char* doc_;
  PyObject* type_ = nullptr;
};

ExceptionType g_dimension_mismatch{
    "marrowfin_rs.DimensionMismatchError",
    "Raised when a vector's length does not match the expected dimension."};
ExceptionType g_config_mismatch{
    "marrowfin_rs.ConfigMismatchError",
    "Raised when a compressed vector's config hash does not match the config."};
ExceptionType g_codebook_incompatible{
    "marrowfin_rs.CodebookIncompatibleError",
    "Raised when a codebook's bit width does not match the codec config."};
ExceptionType g_duplicate_vector{"marrowfin_rs.DuplicateVectorError",
                                 "Raised when a vector ID already exists in the corpus."};

}  // namespace

PyObject* dimension_mismatch_error() { return g_dimension_mismatch.get(); }
PyObject* config_mismatch_error() { return g_config_mismatch.get(); }
PyObject* codebook_incompatible_error() { return g_codebook_incompatible.get(); }
PyObject* duplicate_vector_error() { return g_duplicate_vector.get(); }

PyObject* raise_with_message(PyObject* type, const std::string& message) {
  if (type == nullptr) {
    return nullptr;  // the type could not be created; PanicException is pending
  }
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    return nullptr;
  }
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_codec_error(const codec::CodecError& error) {
  using Kind = codec::CodecErrorKind;
  PyObject* type = PyExc_ValueError;
  switch (error.kind()) {
    case Kind::DimensionMismatch: type = dimension_mismatch_error(); break;
    case Kind::CodebookIncompatible: type = codebook_incompatible_error(); break;
    case Kind::ConfigMismatch: type = config_mismatch_error(); break;
    case Kind::UnsupportedBitWidth:
    case Kind::InvalidDimension:
    case Kind::DimensionTooLarge:
    case Kind::CodebookEntryCount:
    case Kind::CodebookNotSorted:
    case Kind::CodebookDuplicateEntries:
    case Kind::InsufficientTrainingData:
    case Kind::IndexOutOfRange:
    case Kind::LengthMismatch:
    case Kind::InvalidResidualFlag: type = PyExc_ValueError; break;
    case Kind::Interrupted: type = PyExc_KeyboardInterrupt; break;
  }
  return raise_with_message(type, error.message());
}

PyObject* raise_corpus_error(const corpus::CorpusError& error) {
  using Kind = corpus::CorpusErrorKind;
  switch (error.kind()) {
    case Kind::Codec: return raise_codec_error(*error.cause());
    case Kind::DuplicateVectorId:
      return raise_with_message(duplicate_vector_error(), error.message());
    case Kind::UnknownVectorId: return raise_with_message(PyExc_KeyError, error.message());
    case Kind::DimensionMismatch:
      return raise_with_message(dimension_mismatch_error(), error.message());
    case Kind::Interrupted: return raise_with_message(PyExc_KeyboardInterrupt, error.message());
  }
  return raise_with_message(PyExc_ValueError, error.message());
}

PyObject* raise_io_error(const io::IoError& error) {
  using Kind = io::IoErrorKind;
  PyObject* type = PyExc_ValueError;
  switch (error.kind()) {
    case Kind::TooShort:
    case Kind::UnknownVersion:
    case Kind::InvalidBitWidth:
    case Kind::InvalidUtf8:
    case Kind::Decode: type = PyExc_ValueError; break;
  }
  return raise_with_message(type, "failed to decode CompressedVector: " + error.message());
}

PyObject* raise_backend_error(const backend::BackendError& error) {
  using Kind = backend::BackendErrorKind;
  PyObject* type = PyExc_ValueError;
  switch (error.kind()) {
    case Kind::InvalidTopK: type = PyExc_ValueError; break;
    case Kind::Adapter: type = PyExc_RuntimeError; break;
    case Kind::Interrupted: type = PyExc_KeyboardInterrupt; break;
  }
  return raise_with_message(type, error.message());
}

}  // namespace marrowfin::py
