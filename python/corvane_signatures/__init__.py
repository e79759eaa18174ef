"""The parameter helper of switchyard: function definitions of module sources, read by the
kernels' own interpreter.  See ``signatures.py``."""
