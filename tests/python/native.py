"""Reaches the module's conversion and error helpers through ctypes, for the tests.

An entry is built in a ctypes buffer with the library's own constructor; the
layout relied on is the type tag at offset 0 and the value at offset 8.
"""

import ctypes

import zelmolib  # noqa: F401  (the package must be loaded before the module)
import _zelmolib

_lib = ctypes.PyDLL(_zelmolib.__file__)

_entry_new = _lib._ZN9CLU_EntryC1E8CLU_Type
_entry_new.argtypes = [ctypes.c_void_p, ctypes.c_int]
_entry_new.restype = None
_entry_unset = _lib._ZN9CLU_Entry5UnsetEv
_entry_unset.argtypes = [ctypes.c_void_p]
_entry_unset.restype = ctypes.c_void_p
_from_py = _lib._Z12Entry_FromPyP7_objectP9CLU_Entry
_from_py.argtypes = [ctypes.py_object, ctypes.c_void_p]
_from_py.restype = None
_from_clu = _lib._Z13Entry_FromCLUPK9CLU_Entry
_from_clu.argtypes = [ctypes.c_void_p]
_from_clu.restype = ctypes.py_object
_set_exc_table = _lib._ZN3QPX12setExceptionEiP9CLU_Table
_set_exc_table.argtypes = [ctypes.c_int, ctypes.c_void_p]
_set_exc_table.restype = ctypes.py_object
_set_exc_client = _lib._ZN3QPX12setExceptionEPNS_12ClientObjectEi
_set_exc_client.argtypes = [ctypes.c_void_p, ctypes.c_int]
_set_exc_client.restype = ctypes.py_object
_get_error = _lib._ZN3QPX8GetErrorEi
_get_error.argtypes = [ctypes.c_int]
_get_error.restype = ctypes.c_char_p
_convert_string = _lib._ZN3QPX13ConvertStringEP7_objectPNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE
_convert_string.argtypes = [ctypes.py_object, ctypes.c_void_p]
_convert_string.restype = ctypes.c_int
_invoke_power = _lib._Z24_CL_InvokePowerCallbacksi
_invoke_power.argtypes = [ctypes.c_int]
_invoke_power.restype = ctypes.c_int

ENTRY_SIZE = 128


class Entry:
    """One CLU_Entry living in a ctypes buffer; `with` releases its value."""

    def __init__(self, type_tag="N"):
        self.buf = ctypes.create_string_buffer(ENTRY_SIZE)
        _entry_new(ctypes.addressof(self.buf), ord(type_tag))

    @property
    def addr(self):
        return ctypes.addressof(self.buf)

    @property
    def type(self):
        return chr(ctypes.c_int32.from_address(self.addr).value)

    def raw64(self):
        return ctypes.c_int64.from_address(self.addr + 8).value

    def set_raw64(self, value):
        ctypes.c_int64.from_address(self.addr + 8).value = value

    def set_raw32(self, value):
        ctypes.c_int32.from_address(self.addr + 8).value = value

    def text_bytes(self):
        """The bytes of a text entry (std::string: pointer and length at the value)."""
        ptr = ctypes.c_void_p.from_address(self.addr + 8).value
        size = ctypes.c_size_t.from_address(self.addr + 16).value
        return ctypes.string_at(ptr, size)

    def overwrite_short_text(self, data):
        """Replaces the bytes of a short text of the same length in place."""
        ptr = ctypes.c_void_p.from_address(self.addr + 8).value
        ctypes.memmove(ptr, data, len(data))

    def from_py(self, obj):
        _from_py(obj, self.addr)
        return self

    def to_py(self):
        return _from_clu(self.addr)

    def close(self):
        _entry_unset(self.addr)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def roundtrip(obj):
    """(type tag, value back in Python) of obj converted to an entry and back."""
    with Entry() as e:
        e.from_py(obj)
        return e.type, e.to_py()


def raise_for_reply(code, reply):
    """Raises through the reply-table form of the error helper."""
    with Entry() as e:
        if reply is None:
            return _set_exc_table(code, None)
        e.from_py(reply)
        return _set_exc_table(code, e.addr + 8)


def raise_for_client(code):
    return _set_exc_client(None, code)


def get_error(code):
    """The client library's message text for a code."""
    return _get_error(code).decode()


class _StdString(ctypes.Structure):
    _fields_ = [("ptr", ctypes.c_void_p), ("size", ctypes.c_size_t), ("buf", ctypes.c_char * 16)]


def convert_string(obj):
    s = _StdString()
    s.ptr = ctypes.addressof(s) + _StdString.buf.offset
    s.size = 0
    # Long results move to the heap; the test leaves that block to the process.
    if not _convert_string(obj, ctypes.addressof(s)):
        raise AssertionError("ConvertString failed without an exception")
    return ctypes.string_at(s.ptr, s.size)


def power_event(event):
    """Delivers a power event as the listener thread does (interpreter lock released)."""
    return ctypes.CDLL(_zelmolib.__file__)._Z24_CL_InvokePowerCallbacksi(event)
