# The kivo package. The compiled extension kivo._kivo holds the whole public
# surface (the class Kivo, __version__ and the empty module docstring); this
# file only re-exports it, so that pure-Python companions (kivo.gpu,
# kivo.distributed) can live beside it without being imported here. Importing
# kivo stays cheap: NumPy is loaded by the extension at its first use.
from kivo import _kivo
from kivo._kivo import Kivo, __version__

# Assigned, not imported: every module already has a __doc__, and type
# checkers take an import of one as a second definition.
__doc__ = _kivo.__doc__
