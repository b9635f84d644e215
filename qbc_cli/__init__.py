"""The ``qbc`` command line for the qbc_compressor module.

``qbc encode`` packs text files into one package, ``qbc decode`` restores
them and ``qbc info`` describes a package without running anything in it.
Everything here is plain Python on top of the public QBCompressor API; the
command adds nothing to the qbc_compressor module itself.
"""

__version__ = "0.1.0"
