"""The 1:1 layer: the 25 exports as ctypes functions, named, typed and numbered as in dap32.h.

    from dap32 import native
    native.dapAttach(1, 0)
    text = ctypes.create_string_buffer(256)
    native.dapErrorText(0, native.DAP_ERR_TIMED_OUT, text, len(text))

Text goes in as bytes and comes out through ctypes.create_string_buffer. The library is
loaded at the first call: the file named by the DAP32_LIBRARY environment variable, else a
library copied beside this package, else the one the system's search path finds.
"""

import ctypes
import ctypes.util
import os
import struct
import sys
import threading

from . import _api
from ._api import *  # noqa: F401,F403  (the API's constants)

LIBRARY_VARIABLE = "DAP32_LIBRARY"

_lock = threading.Lock()
_library = None


def library_file_names():
    if sys.platform == "win32":
        return ["dap32.dll"]
    if sys.platform == "darwin":
        return ["libdap32.dylib"]
    return ["libdap32.so"]


def _loader():
    # The 32-bit Windows DLLs are stdcall; the 64-bit DLL and other systems have one convention.
    if sys.platform == "win32" and struct.calcsize("P") == 4:
        return ctypes.WinDLL
    return ctypes.CDLL


def _candidates():
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return [named]  # an explicit choice is never replaced by another library
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, name) for name in library_file_names()]
    found = [path for path in beside if os.path.isfile(path)]
    system = ctypes.util.find_library("dap32")
    return found + library_file_names() + ([system] if system else [])


def _typed(library):
    for name, (argtypes, _names, _channel) in _api.FUNCTIONS.items():
        function = getattr(library, name)
        function.argtypes = argtypes
        function.restype = ctypes.c_int32
    return library


def load(path=None):
    """Loads the library once, from path or the usual places, and returns it typed."""
    global _library
    with _lock:
        if _library is None:
            tried = []
            for candidate in [path] if path else _candidates():
                try:
                    _library = _typed(_loader()(candidate))
                    break
                except (OSError, AttributeError) as error:
                    tried.append(f"{candidate}: {error}")
            else:
                raise OSError("cannot load the dap32 library (set %s to its path); tried %s"
                              % (LIBRARY_VARIABLE, "; ".join(tried)))
    return _library


def __getattr__(name):
    # native.dapAttach and the others load the library on their first use.
    if name in _api.FUNCTIONS:
        return getattr(load(), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
