// Python class `CompressionPolicy`: the three storage policies of a corpus as
// an immutable enumeration (class attributes COMPRESS, PASSTHROUGH, FP16)
// that compares with its members and with integers by ordinal.
#pragma once

#include <optional>

#include "core/corpus/compression_policy.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use with its three members,
// process lifetime).
PyTypeObject* compression_policy_type();

// A new CompressionPolicy object for `policy`, distinct from the class
// attribute of the same member (it compares and hashes equal to it).
PyObject* new_compression_policy(corpus::CompressionPolicy policy);

// Argument converter: a CompressionPolicy instance yields its policy; anything
// else (a str such as "compress", an int) is a TypeError
// "'<type>' object cannot be converted to 'CompressionPolicy'".
std::optional<corpus::CompressionPolicy> to_compression_policy(PyObject* object);

}  // namespace marrowfin::py
