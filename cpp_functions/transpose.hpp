// The transpose of an adjacency held as rows of column numbers, by a counting sort.
//
// On a team the rows are cut into one contiguous part per thread, of about as many entries
// each. Every part counts its columns; a column's entries then start with those of the first
// part, then the second, and so on, so each part fills its own slots and every column lists
// its rows ascending, exactly as the sequential sort does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "arrays.hpp"
#include "parallel.hpp"

namespace cpp_functions {

// Row r lists the columns targets[offsets[r] .. offsets[r+1]), each below `columns`. Fills
// t_offsets and t_targets so that row c of the transpose lists the rows that hold column c,
// ascending (the rows are scanned in order), once per time they hold it. Runs on up to `team`
// threads where the per-part counts stay small beside the entries.
inline void transpose(const call_array<std::size_t>& offsets, const call_array<std::uint32_t>& targets,
                      std::size_t columns, call_array<std::size_t>& t_offsets,
                      call_array<std::uint32_t>& t_targets, int team = 1) {
  constexpr std::size_t entries_per_part = 1 << 15;  // fewer entries a part are not worth a thread
  constexpr std::size_t entries_per_column = 4;      // per part: its counts take a pass over all columns
  const std::size_t rows = offsets.size() - 1;
  const std::size_t parts = std::max<std::size_t>(
      1,
      std::min<std::size_t>(
          {static_cast<std::size_t>(std::max(team, 1)), targets.size() / entries_per_part,
           targets.size() / (entries_per_column * (columns + 1))}));  // counting costs little beside filling
  t_targets.resize(targets.size());
  // Part k takes the rows from first_row[k]: the first row at or after k / parts of the entries.
  std::vector<std::size_t> first_row(parts + 1, rows);
  for (std::size_t k = 0; k < parts; ++k)
    first_row[k] = static_cast<std::size_t>(
        std::lower_bound(offsets.begin(), offsets.end() - 1, targets.size() * k / parts) - offsets.begin());
  std::vector<std::vector<std::size_t>> fill(parts, std::vector<std::size_t>(columns, 0));
  parallel_chunks(parts, team, [&](std::size_t k, int) {
    for (std::size_t p = offsets[first_row[k]]; p < offsets[first_row[k + 1]]; ++p) ++fill[k][targets[p]];
  });
  // Column c's entries: part 0's first, at t_offsets[c]; fill[k][c] becomes part k's first slot.
  t_offsets.assign(columns + 1, 0);
  for (std::size_t c = 0; c < columns; ++c) {
    std::size_t at = t_offsets[c];
    for (std::size_t k = 0; k < parts; ++k) {
      const std::size_t count = fill[k][c];
      fill[k][c] = at;
      at += count;
    }
    t_offsets[c + 1] = at;
  }
  parallel_chunks(parts, team, [&](std::size_t k, int) {
    std::vector<std::size_t>& slot = fill[k];
    for (std::size_t r = first_row[k]; r < first_row[k + 1]; ++r)
      for (std::size_t p = offsets[r]; p < offsets[r + 1]; ++p)
        t_targets[slot[targets[p]]++] = static_cast<std::uint32_t>(r);
  });
}

}  // namespace cpp_functions
