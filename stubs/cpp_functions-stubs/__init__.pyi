from . import algorithms as algorithms, convert as convert
