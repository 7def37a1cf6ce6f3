def compute_line_graph_edges(
    hyperedges: list[set[int]], s: int, weights: str, max_threads: int
) -> list[tuple[int, int, float]]:
    """Compute line graph edges in C++"""
