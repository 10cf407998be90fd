"""Scripting helpers used by the native module's interpreter time limit."""


class TimeoutError(Exception):
    pass


def timeout_handler():
    """Called when a script exceeds its time limit; the exception propagates into it."""
    raise TimeoutError("script time limit exceeded")
