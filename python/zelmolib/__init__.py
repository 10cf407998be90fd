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

import _zelmolib

_atexit.register(_zelmolib._cleanup)
