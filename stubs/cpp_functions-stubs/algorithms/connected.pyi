from typing import TypeVar

# A dict's values may be sets or frozensets; one variable per dict lets each have its own.
_NodeEdges = TypeVar("_NodeEdges", bound=set[int] | frozenset[int])
_EdgeNodes = TypeVar("_EdgeNodes", bound=set[int] | frozenset[int])

def is_connected(node_dict: dict[int, _NodeEdges], edge_dict: dict[int, _EdgeNodes]) -> bool: ...
