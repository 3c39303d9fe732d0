// Python class `BruteForceBackend`: the exhaustive cosine-similarity search
// backend. The object holds one reference to a core backend behind a
// poison-aware mutex; ingest and search release the interpreter lock for the
// core work and hold a second reference to the state meanwhile.
#pragma once

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* brute_force_backend_type();

}  // namespace marrowfin::py
