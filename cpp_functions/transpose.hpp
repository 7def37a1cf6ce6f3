// The transpose of an adjacency held as rows of column numbers, by a counting sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace cpp_functions {

// Row r lists the columns targets[offsets[r] .. offsets[r+1]), each below `columns`. Fills
// t_offsets and t_targets so that row c of the transpose lists the rows that hold column c,
// ascending (the rows are scanned in order), once per time they hold it.
inline void transpose(const std::vector<std::size_t>& offsets, const std::vector<std::uint32_t>& targets,
                      std::size_t columns, std::vector<std::size_t>& t_offsets,
                      std::vector<std::uint32_t>& t_targets) {
  t_offsets.assign(columns + 1, 0);
  for (std::uint32_t c : targets) ++t_offsets[c + 1];
  std::partial_sum(t_offsets.begin(), t_offsets.end(), t_offsets.begin());
  t_targets.resize(targets.size());
  std::vector<std::size_t> fill(t_offsets.begin(), t_offsets.end() - 1);
  for (std::size_t r = 0; r + 1 < offsets.size(); ++r)
    for (std::size_t p = offsets[r]; p < offsets[r + 1]; ++p)
      t_targets[fill[targets[p]]++] = static_cast<std::uint32_t>(r);
}

}  // namespace cpp_functions
