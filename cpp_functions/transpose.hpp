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
// t_offsets and t_targets so that row c of the transpose lists value(r) for the rows r that
// hold column c, ascending (the rows are scanned in order), once per time they hold it, and
// then leaves `spare` entries unwritten: row c is [t_offsets[c], t_offsets[c+1] - spare).
// counted(t_offsets) runs once the rows' lengths are known, before any value is asked for, and
// placed(p, c, at) once entry p of `targets` (column c) is written at t_targets[at]; a part's
// entries are placed in the order of `targets`. Runs on up
// to `team` threads where the per-part counts stay small beside the entries.
template <typename T, typename Counted, typename Value, typename Placed>
void transpose(const call_array<std::size_t>& offsets, const call_array<std::uint32_t>& targets,
               std::size_t columns, std::size_t spare, call_array<std::size_t>& t_offsets,
               call_array<T>& t_targets, int team, const Counted& counted, const Value& value,
               const Placed& placed) {
  constexpr std::size_t entries_per_part = 1 << 15;  // fewer entries a part are not worth a thread
  constexpr std::size_t entries_per_column = 4;      // per part: its counts take a pass over all columns
  const std::size_t rows = offsets.size() - 1;
  const std::size_t parts = std::max<std::size_t>(
      1,
      std::min<std::size_t>(
          {static_cast<std::size_t>(std::max(team, 1)), targets.size() / entries_per_part,
           targets.size() / (entries_per_column * (columns + 1))}));  // counting costs little beside filling
  t_targets.resize(targets.size() + spare * columns);
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
    t_offsets[c + 1] = at + spare;
  }
  counted(static_cast<const call_array<std::size_t>&>(t_offsets));
  parallel_chunks(parts, team, [&](std::size_t k, int) {
    std::vector<std::size_t>& slot = fill[k];
    for (std::size_t r = first_row[k]; r < first_row[k + 1]; ++r) {
      const T entry = value(r);
      for (std::size_t p = offsets[r]; p < offsets[r + 1]; ++p) {
        const std::uint32_t column = targets[p];
        const std::size_t at = slot[column]++;
        t_targets[at] = entry;
        placed(p, column, at);
      }
    }
  });
}

// The transpose whose entries are the row numbers.
inline void transpose(const call_array<std::size_t>& offsets, const call_array<std::uint32_t>& targets,
                      std::size_t columns, call_array<std::size_t>& t_offsets,
                      call_array<std::uint32_t>& t_targets, int team = 1) {
  transpose(
      offsets, targets, columns, 0, t_offsets, t_targets, team, [](const call_array<std::size_t>&) {},
      [](std::size_t r) { return static_cast<std::uint32_t>(r); },
      [](std::size_t, std::uint32_t, std::size_t) {});
}

}  // namespace cpp_functions
