def compute_centralities(
    node_dict: dict[int, set[int]],
    edge_dict: dict[int, set[int]],
    max_iter: int = 100,
    tol: float = 1e-06,
) -> tuple[dict[int, float], dict[int, float]]:
    """Computes node and edge centralities from incidence matrix"""
