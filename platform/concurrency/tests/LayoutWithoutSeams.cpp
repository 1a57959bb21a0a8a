// Built as a program using the library builds its own code: without the
// test seams.
#undef KX_TEST_SEAMS

#include "concurrencyTest/Layout.h"

namespace concurrency::testing {

Layout layoutWithoutTestSeams() { return layoutHere(); }

}  // namespace concurrency::testing
