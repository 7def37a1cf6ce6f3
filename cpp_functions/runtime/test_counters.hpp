// Counts that only tests read: the probe steps of the hash tables and of the order replay,
// which tests bound to show that no choice of ids makes them long. Test builds define
// CPP_FUNCTIONS_TEST_COUNTERS; in the module the counting compiles to nothing.
#pragma once

#ifdef CPP_FUNCTIONS_TEST_COUNTERS
#define CPP_FUNCTIONS_COUNT(counter, n) ((counter) += (n))
#else
#define CPP_FUNCTIONS_COUNT(counter, n) ((void)sizeof((counter) += (n)))  // unevaluated
#endif
