from . import algorithms as algorithms, convert as convert

__version__: str
