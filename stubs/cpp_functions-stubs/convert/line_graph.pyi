from collections.abc import Sequence

def compute_line_graph_edges(
    hyperedges: Sequence[set[int] | frozenset[int]],
    s: int,
    weights: str | bytes | bytearray,
    max_threads: int,
) -> list[tuple[int, int, float]]:
    """Compute line graph edges in C++"""
