from . import centrality as centrality, connected as connected
