"""Brute-force models written from the definitions, for differential tests."""

import itertools
import math
from collections import defaultdict, deque


def edge_weight(shared, size_i, size_j, weights):
    if weights in ("absolute", b"absolute"):
        return float(shared)
    if weights in ("normalized", b"normalized"):
        smaller = min(size_i, size_j)
        return shared / smaller if smaller else math.nan
    return 0.0


def line_graph_model(hyperedges, s, weights):
    """All pairs i < j in ascending order, with their shared-member count checked against s."""
    sets = [set(e) for e in hyperedges]
    result = []
    if s < 0:
        return result
    for i in range(len(sets)):
        for j in range(i + 1, len(sets)):
            shared = len(sets[i] & sets[j])
            if shared >= s:
                result.append((i, j, edge_weight(shared, len(sets[i]), len(sets[j]), weights)))
    return result


def member_pair_model(hyperedges, s, weights):
    """line_graph_model for s >= 2 on inputs too large for all pairs: two hyperedges that share
    at least two members share a pair of members, so the candidates are the pairs of holders
    of each member pair, each then compared in full."""
    assert s >= 2
    sets = [set(e) for e in hyperedges]
    holders = defaultdict(list)
    for i, members in enumerate(sets):
        if len(members) >= s:
            for pair in itertools.combinations(sorted(members), 2):
                holders[pair].append(i)
    candidates = set()
    for positions in holders.values():
        candidates.update(itertools.combinations(positions, 2))
    result = []
    for i, j in sorted(candidates):
        shared = len(sets[i] & sets[j])
        if shared >= s:
            result.append((i, j, edge_weight(shared, len(sets[i]), len(sets[j]), weights)))
    return result


def centrality_model(node_dict, edge_dict, max_iter=100, tol=1e-6):
    """The power iteration with plain dicts and sequential sums."""
    nodes, edges = list(node_dict), list(edge_dict)
    x = {v: 1.0 / len(nodes) for v in nodes}
    y = {e: 1.0 / len(edges) for e in edges}

    def normalize(vec):
        total = sum(abs(v) for v in vec.values())
        if total != 0.0:
            for k in vec:
                vec[k] *= 1.0 / total

    for _ in range(max(0, max_iter)):
        acc_n = dict.fromkeys(nodes, 0.0)
        for e in edges:
            for v in edge_dict[e]:
                acc_n[v] += y[e] * y[e]
        new_x = {v: math.sqrt(math.sqrt(acc_n[v]) * x[v]) for v in nodes}
        normalize(new_x)
        acc_m = {e: sum(x[v] * x[v] for v in edge_dict[e]) for e in edges}
        new_y = {e: math.sqrt(math.sqrt(acc_m[e]) * y[e]) for e in edges}
        normalize(new_y)
        diff = sum(abs(new_x[v] - x[v]) for v in nodes) + sum(abs(new_y[e] - y[e]) for e in edges)
        x, y = new_x, new_y
        if tol > diff:
            break
    return x, y


def reachable_model(node_dict, edge_dict, start):
    """Breadth-first search stepping from a node to the members of the edges it lists."""
    seen, queue = {start}, deque([start])
    while queue:
        v = queue.popleft()
        for e in node_dict[v]:
            for u in edge_dict[e]:
                if u in node_dict and u not in seen:
                    seen.add(u)
                    queue.append(u)
    return len(seen) == len(node_dict)


def union_find_connected(node_dict, edge_dict):
    """Connectivity of consistent incidence maps by union-find over edge members."""
    parent = {v: v for v in node_dict}

    def find(v):
        while parent[v] != v:
            parent[v] = parent[parent[v]]
            v = parent[v]
        return v

    for members in edge_dict.values():
        members = [v for v in members if v in parent]
        for u in members[1:]:
            parent[find(u)] = find(members[0])
    return len({find(v) for v in node_dict}) == 1 if node_dict else False
