#include "core/corpus/compression_policy.hpp"

namespace marrowfin::corpus {

std::string_view policy_value(CompressionPolicy policy) noexcept {
  switch (policy) {
    case CompressionPolicy::COMPRESS: return "compress";
    case CompressionPolicy::PASSTHROUGH: return "passthrough";
    case CompressionPolicy::FP16: return "fp16";
  }
  return {};
}

std::string_view policy_name(CompressionPolicy policy) noexcept {
  switch (policy) {
    case CompressionPolicy::COMPRESS: return "COMPRESS";
    case CompressionPolicy::PASSTHROUGH: return "PASSTHROUGH";
    case CompressionPolicy::FP16: return "FP16";
  }
  return {};
}

bool requires_codec(CompressionPolicy policy) noexcept {
  return policy == CompressionPolicy::COMPRESS;
}

}  // namespace marrowfin::corpus
