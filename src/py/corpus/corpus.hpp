// Python class `Corpus`: a named, mutable collection of stored vectors under
// one configuration, codebook and compression policy, with the list of
// domain events its operations recorded.
//
// The core aggregate lives in a shared, mutex-guarded state. Every method
// copies what it needs out of the core under the mutex and builds Python
// objects only after unlocking, so no thread ever touches the interpreter
// while holding a corpus mutex. `insert` releases the interpreter lock around
// the encoding and holds a second reference to the state meanwhile.
#pragma once

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* corpus_type();

}  // namespace marrowfin::py
