from . import line_graph as line_graph
