"""Reading the module's own entries out of an exception's traceback.

The module records each failure that leaves one of its functions as a frame
whose code object is named after the function ("qbc_compressor.QBCompressor.
load_dict") and whose file is "compressor" or "<stringsource>". Entries come
out outermost first, as the host prints them.
"""

NATIVE_FILES = ("compressor", "<stringsource>")


def entries(exc):
    """(name, file, line) of every module entry in the traceback of `exc`."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename in NATIVE_FILES:
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def names_and_lines(exc):
    """(name, line) of every module entry, outermost first."""
    return [(name, line) for name, _file, line in entries(exc)]


def innermost_first(exc):
    """(name, line) of every module entry, in the order they were added:
    innermost first."""
    return names_and_lines(exc)[::-1]
