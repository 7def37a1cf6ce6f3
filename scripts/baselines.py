"""What a user would write with SciPy or NetworkX instead of calling cpp_functions.

Each recipe starts from the same Python input as our call and ends in the same Python output.
The *_compute functions time only the numeric step on a prebuilt matrix.
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components


def incidence_matrix(hyperedges) -> sp.csr_matrix:
    """Hyperedges x members, 0/1 entries, members relabelled densely."""
    sizes = np.fromiter((len(e) for e in hyperedges), dtype=np.int64, count=len(hyperedges))
    members = np.fromiter(
        (v for e in hyperedges for v in e), dtype=np.int64, count=int(sizes.sum())
    )
    _, columns = np.unique(members, return_inverse=True)
    indptr = np.concatenate(([0], np.cumsum(sizes)))
    data = np.ones(len(columns), dtype=np.int32)
    width = int(columns.max()) + 1 if len(columns) else 0
    return sp.csr_matrix((data, columns, indptr), shape=(len(hyperedges), width))


def line_graph_compute(H: sp.csr_matrix, s: int, weights: str):
    """Overlaps of all pairs i < j through H @ H.T, kept when >= s, as (rows, cols, weights)."""
    overlap = sp.triu(H @ H.T, k=1).tocoo()
    keep = overlap.data >= s
    rows, cols, shared = overlap.row[keep], overlap.col[keep], overlap.data[keep]
    order = np.lexsort((cols, rows))
    rows, cols, shared = rows[order], cols[order], shared[order]
    if weights == "absolute":
        w = shared.astype(np.float64)
    elif weights == "normalized":
        sizes = np.diff(H.indptr)
        w = shared / np.minimum(sizes[rows], sizes[cols])
    else:
        w = np.zeros(len(shared))
    return rows, cols, w


def line_graph_recipe(hyperedges, s: int, weights: str):
    """From a list of sets to the same list of (i, j, w) tuples, for s >= 1."""
    rows, cols, w = line_graph_compute(incidence_matrix(hyperedges), s, weights)
    return list(zip(rows.tolist(), cols.tolist(), w.tolist(), strict=True))


def centrality_matrix(node_dict, edge_dict):
    """Nodes x edges incidence in the dicts' orders, and its transpose, both CSR."""
    node_pos = {v: i for i, v in enumerate(node_dict)}
    rows, cols = [], []
    for j, members in enumerate(edge_dict.values()):
        for v in members:
            rows.append(node_pos[v])
            cols.append(j)
    H = sp.csr_matrix(
        (np.ones(len(rows)), (np.array(rows, dtype=np.int64), np.array(cols, dtype=np.int64))),
        shape=(len(node_dict), len(edge_dict)),
    )
    return H, H.T.tocsr()


def centrality_compute(H, HT, max_iter=100, tol=1e-6):
    """The power iteration with sparse products; returns (x, y, iterations)."""
    n, m = H.shape
    x = np.full(n, 1.0 / n) if n else np.zeros(0)
    y = np.full(m, 1.0 / m) if m else np.zeros(0)
    iterations = 0
    for _ in range(max(0, max_iter)):
        new_x = np.sqrt(np.sqrt(H @ (y * y)) * x)
        total = np.abs(new_x).sum()
        if total != 0.0:
            new_x *= 1.0 / total
        new_y = np.sqrt(np.sqrt(HT @ (x * x)) * y)
        total = np.abs(new_y).sum()
        if total != 0.0:
            new_y *= 1.0 / total
        diff = np.abs(new_x - x).sum() + np.abs(new_y - y).sum()
        x, y = new_x, new_y
        iterations += 1
        if tol > diff:
            break
    return x, y, iterations


def centrality_recipe(node_dict, edge_dict, max_iter=100, tol=1e-6):
    H, HT = centrality_matrix(node_dict, edge_dict)
    x, y, _ = centrality_compute(H, HT, max_iter, tol)
    return dict(zip(node_dict, x.tolist(), strict=True)), dict(
        zip(edge_dict, y.tolist(), strict=True)
    )


def bipartite_matrix(node_dict, edge_dict) -> sp.csr_matrix:
    """Symmetric adjacency of the node-edge graph: nodes first, then edges."""
    node_pos = {v: i for i, v in enumerate(node_dict)}
    edge_pos = {e: len(node_pos) + j for j, e in enumerate(edge_dict)}
    rows, cols = [], []
    for v, edges in node_dict.items():
        for e in edges:
            rows.append(node_pos[v])
            cols.append(edge_pos[e])
    size = len(node_pos) + len(edge_pos)
    A = sp.csr_matrix((np.ones(len(rows), dtype=np.int8), (rows, cols)), shape=(size, size))
    return (A + A.T).tocsr()


def connected_compute(A: sp.csr_matrix, num_nodes: int) -> bool:
    if num_nodes == 0:
        return False
    _, labels = connected_components(A, directed=False)
    return bool((labels[:num_nodes] == labels[0]).all())


def connected_recipe(node_dict, edge_dict) -> bool:
    return connected_compute(bipartite_matrix(node_dict, edge_dict), len(node_dict))


def networkx_connected(node_dict, edge_dict) -> bool:
    import networkx as nx

    if not node_dict:
        return False
    G = nx.Graph()
    G.add_nodes_from(("n", v) for v in node_dict)
    G.add_edges_from((("n", v), ("e", e)) for v, edges in node_dict.items() for e in edges)
    reached = nx.node_connected_component(G, ("n", next(iter(node_dict))))
    return sum(1 for kind, _ in reached if kind == "n") == len(node_dict)


def same_scores(ours, theirs, rel=1e-9) -> bool:
    return all(
        a.keys() == b.keys()
        and all(math.isclose(a[k], b[k], rel_tol=rel, abs_tol=1e-15) for k in a)
        for a, b in zip(ours, theirs, strict=True)
    )
