// For tests and timers only: the centrality kernel with one instruction-set build of its
// update picked by the caller.
#pragma once

#include "../runtime/flat_types.hpp"

namespace cpp_functions {

// Each build gives the same bits; `automatic` takes the widest the processor has. The others
// must be supported by the processor. Off x86-64 every variant runs the baseline build.
enum class centrality_variant { automatic, baseline, avx2 };

centrality_scores compute_centralities_with(const incidence_map& nodes, const incidence_map& edges,
                                            int max_iter, double tol, centrality_variant variant);

}  // namespace cpp_functions
