"""Minimal stand-in for the pure-Python package that loads the native module.

It carries only what the native module takes from it: the exception classes and the
hook called when a native worker thread ends. It then loads the native module and has
it cleaned up at exit.
"""


class Error(Exception):
    """Error raised by the native module: args are (code, message)."""

    def __init__(self, code=0, message=""):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        return "[%s] %s" % (self.code, self.message)


class JSONError(Error):
    """Error raised by the JSON encoder and decoder: args are (message,), code is 0."""

    def __init__(self, message=""):
        Exception.__init__(self, message)
        self.code = 0
        self.message = message

    def __str__(self):
        return str(self.message)


def _on_destroy_thread():
    """Called on a native worker thread just before it ends."""
    return None


# The native module looks the classes above up while it initialises.
import atexit as _atexit
import sys as _sys

try:
    import _zelmolib
except ImportError:
    # Another interpreter finds no module of its own version in build/python: say so
    # rather than let "No module named '_zelmolib'" suggest that nothing was built.
    if _sys.implementation.name == "cpython" and _sys.version_info[:2] == (3, 13):
        raise
    import platform as _platform
    raise ImportError("the native module _zelmolib is built for CPython 3.13; this is %s %s "
                      "(%s): run the program with the build's interpreter, which "
                      "./setup.sh --find-python prints"
                      % (_platform.python_implementation(), _platform.python_version(),
                         _sys.executable), name="_zelmolib") from None

_atexit.register(_zelmolib._cleanup)
