// Fuzz target for the compressed-vector reader. Any input must either be
// rejected with an error value or parse into a record that survives a write
// and a second read unchanged; the re-written bytes must reproduce the input
// record exactly, except for the padding bits of the last index byte, which
// the reader ignores and the writer clears.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/unpack.hpp"

namespace {

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stderr, "unpack_fuzzer: %s\n", what);
  std::abort();
}

bool same_record(const marrowfin::codec::CompressedVector& a,
                 const marrowfin::codec::CompressedVector& b) {
  if (a.dimension() != b.dimension() || a.bit_width() != b.bit_width()) return false;
  if (*a.config_hash() != *b.config_hash() || *a.indices() != *b.indices()) return false;
  if (a.has_residual() != b.has_residual()) return false;
  return !a.has_residual() || **a.residual() == **b.residual();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace marrowfin;
  auto parsed = io::from_bytes(std::span<const std::uint8_t>(data, size));
  if (!parsed.ok()) {
    if (parsed.error().message().empty()) mismatch("error without a message");
    return 0;
  }
  const codec::CompressedVector& record = parsed.value();
  if (record.indices()->size() != record.dimension()) mismatch("index count != dimension");
  const std::uint8_t limit = static_cast<std::uint8_t>((1u << record.bit_width()) - 1u);
  for (std::uint8_t index : *record.indices()) {
    if (index > limit) mismatch("index wider than bit_width");
  }

  const std::vector<std::uint8_t> bytes = io::to_bytes(record);
  if (bytes.size() > size) mismatch("re-written record longer than its input");

  // Byte-for-byte against the input, masking only the index padding bits.
  const std::uint64_t packed = io::packed_length(record.dimension(), record.bit_width());
  const unsigned used_bits =
      static_cast<unsigned>((std::uint64_t{record.dimension()} * record.bit_width()) % 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t expected = data[i];
    if (used_bits != 0 && i == io::kHeaderLen + packed - 1) {
      expected = static_cast<std::uint8_t>(expected & ((1u << used_bits) - 1u));
    }
    if (bytes[i] != expected) mismatch("re-written bytes differ from the input record");
  }

  auto again = io::from_bytes(bytes);
  if (!again.ok()) mismatch("re-written record does not parse");
  if (!same_record(record, again.value())) mismatch("round trip changed the record");
  if (io::to_bytes(again.value()) != bytes) mismatch("second write is not byte-stable");
  return 0;
}
