"""The shared rule lists of Varnex, from Python.

A thin layer over the library's C interface (varnex/varnex_c.h), loaded with
ctypes: no compiled extension. Each List is one open list; its methods raise
VarnexError (with the library's status and reason) where the C call fails.

    import varnex
    with varnex.List(varnex.BASE) as rules:
        rules.add(varnex.record("host-7", "*.example.com", key=15))
        assert rules.match("www.example.com")

The library is libvarnex.so.1 (Varnex.dll on Windows), or the file that the
environment variable VARNEX_LIBRARY names. Texts are bytes as the lists hold
them; a str is encoded with the List's encoding (UTF-8 unless given).
"""

import ctypes
import os
import sys

__all__ = [
    "List", "Record", "VarnexError", "record", "list_path",
    "BASE", "EXACT", "CONTENT", "PERSON", "IP", "ASFILTER", "CONTENTFILTER", "TRACE",
    "ASFILTERWHITE", "IP_WHITE", "IP_MANAGE",
]

# The list types.
BASE, EXACT, CONTENT, PERSON, IP, ASFILTER, CONTENTFILTER, TRACE, ASFILTERWHITE = range(9)
# The two kinds of entry of the IP list.
IP_WHITE, IP_MANAGE = 0, 1
# A record valid for ever.
FOREVER = 0xFFFFFFFF

# varnex_status
OK, E_INVALID, E_CLOSED, E_LOCKED, E_READ_ONLY, E_DAMAGED, E_NO_MEMORY, E_BUSY, E_FAILED = range(9)
_OPEN_WRITE, _OPEN_READ = 0, 1


class Record(ctypes.Structure):
    """One record, exactly as the list file stores it (241 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("content", ctypes.c_char * 128),
        ("start_time", ctypes.c_uint32),
        ("end_time", ctypes.c_uint32),
        ("content_len", ctypes.c_uint32),
        ("rule_no", ctypes.c_char * 32),
        ("item_type", ctypes.c_int8),
        ("reserved", ctypes.c_uint8 * 68),
    ]

    def __repr__(self):
        return (f"Record(rule_no={self.rule_no!r}, content={self.content!r}, "
                f"key={self.content_len}, item_type={self.item_type}, "
                f"window=[{self.start_time}, {self.end_time}])")


assert ctypes.sizeof(Record) == 241


class VarnexError(Exception):
    """A call of the library failed: status is a varnex_status, reason its sentence."""

    def __init__(self, status, reason):
        super().__init__(f"{reason} (status {status})")
        self.status = status
        self.reason = reason


def _encode(text, encoding):
    return text if isinstance(text, (bytes, bytearray)) else str(text).encode(encoding)


def record(rule_no, content, key=None, item_type=0, start=0, end=FOREVER, encoding="utf-8"):
    """A Record; key is the length of the texts it covers (the content's length
    when not given, which a pattern must give)."""
    rule_bytes, content_bytes = _encode(rule_no, encoding), _encode(content, encoding)
    if len(rule_bytes) >= 32 or len(content_bytes) >= 128:
        raise ValueError("a rule number has at most 31 bytes, a content at most 127")
    if key is None:
        if b"*" in content_bytes:
            raise ValueError("a pattern needs its key (the length of the texts it covers)")
        key = len(content_bytes)
    result = Record()
    result.rule_no, result.content = rule_bytes, content_bytes
    result.content_len, result.item_type = key, item_type
    result.start_time, result.end_time = start, end
    return result


def _library_path():
    if os.environ.get("VARNEX_LIBRARY"):
        return os.environ["VARNEX_LIBRARY"]
    return "Varnex.dll" if sys.platform == "win32" else "libvarnex.so.1"


def _bind(library):
    status, handle, rec = ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Record)
    i32, u32, p_i32 = ctypes.c_int32, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)
    signatures = {
        "varnex_open": (status, [i32, u32, ctypes.POINTER(handle)]),
        "varnex_close": (status, [handle]),
        "varnex_free": (None, [handle]),
        "varnex_last_error": (status, [handle, ctypes.c_char_p, ctypes.c_size_t]),
        "varnex_status_text": (ctypes.c_char_p, [status]),
        "varnex_count": (status, [handle, p_i32]),
        "varnex_get": (status, [handle, i32, rec]),
        "varnex_copy": (status, [handle, ctypes.POINTER(rec), p_i32]),
        "varnex_match": (status, [handle, ctypes.c_char_p, u32, p_i32]),
        "varnex_matching": (status, [handle, ctypes.c_char_p, u32, ctypes.POINTER(rec), p_i32]),
        "varnex_match_all": (status,
                             [handle, ctypes.c_char_p, u32, ctypes.POINTER(rec), p_i32, p_i32]),
        "varnex_free_records": (None, [rec]),
        "varnex_add": (status, [handle, rec]),
        "varnex_add_many": (status, [handle, rec, i32, p_i32, p_i32]),
        "varnex_append": (status, [handle, rec, i32, p_i32]),
        "varnex_delete_rule": (status, [handle, ctypes.c_char_p]),
        "varnex_delete_type": (status, [handle, i32]),
        "varnex_purge": (status, [handle]),
        "varnex_reset": (status, [handle]),
        "varnex_replace": (status, [handle, ctypes.c_char_p]),
        "varnex_ip_add": (status, [handle, i32, u32, u32, u32]),
        "varnex_ip_match": (status, [handle, u32, i32, p_i32]),
        "varnex_ip_reset": (status, [handle, i32]),
        "varnex_list_path": (status, [i32, ctypes.c_char_p, u32, ctypes.POINTER(u32)]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype, function.argtypes = result, arguments
    return library


_lib = None


def _c():
    global _lib
    if _lib is None:
        _lib = _bind(ctypes.CDLL(_library_path()))
    return _lib


def _status_text(status):
    return _c().varnex_status_text(status).decode("ascii", "replace")


def list_path(list_type=-1):
    """The path of a list's file, or of the list directory for a negative type."""
    length = ctypes.c_uint32(0)
    _c().varnex_list_path(list_type, None, 0, ctypes.byref(length))
    buffer = ctypes.create_string_buffer(length.value + 1)
    status = _c().varnex_list_path(list_type, buffer, len(buffer), ctypes.byref(length))
    if status != OK:
        raise VarnexError(status, _status_text(status))
    return os.fsdecode(buffer.value)


class List:
    """One open list (types 0 to 8): read_only opens it for reading only."""

    def __init__(self, list_type, read_only=False, encoding="utf-8"):
        self.encoding = encoding
        self.damaged = False
        self._handle = ctypes.c_void_p()
        status = _c().varnex_open(list_type, _OPEN_READ if read_only else _OPEN_WRITE,
                                  ctypes.byref(self._handle))
        if status == E_DAMAGED:
            self.damaged = True  # open on the emptied list: see varnex_open
        elif status != OK:
            raise VarnexError(status, _status_text(status))

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.free()

    def __del__(self):
        self.free()

    def close(self):
        """Closes the list; later calls raise VarnexError (E_CLOSED)."""
        self._check(_c().varnex_close(self._handle))

    def free(self):
        if getattr(self, "_handle", None) and self._handle.value:
            _c().varnex_free(self._handle)
            self._handle = ctypes.c_void_p()

    def _check(self, status):
        if status == OK:
            return
        message = ctypes.create_string_buffer(256)
        if self._handle.value:
            _c().varnex_last_error(self._handle, message, len(message))
        reason = message.value.decode("utf-8", "replace") or _status_text(status)
        raise VarnexError(status, reason)

    def _text(self, text):
        return _encode(text, self.encoding)

    def _records_out(self, call, *arguments):
        out, count = ctypes.POINTER(Record)(), ctypes.c_int32(0)
        self._check(call(self._handle, *arguments, ctypes.byref(out), ctypes.byref(count)))
        try:
            return [Record.from_buffer_copy(out[i]) for i in range(count.value)]
        finally:
            _c().varnex_free_records(out)

    @staticmethod
    def _array(records):
        records = list(records)
        return (Record * len(records))(*records), len(records)

    # Reading.
    def __len__(self):
        return self.count()

    def count(self):
        count = ctypes.c_int32(0)
        self._check(_c().varnex_count(self._handle, ctypes.byref(count)))
        return count.value

    def get(self, index):
        result = Record()
        self._check(_c().varnex_get(self._handle, index, ctypes.byref(result)))
        return result

    def records(self):
        """Every record, as the list stood at one moment."""
        return self._records_out(_c().varnex_copy)

    def match(self, content, key=None):
        """The verdict: whether a record covers the content (of length key)."""
        data = self._text(content)
        verdict = ctypes.c_int32(0)
        self._check(_c().varnex_match(self._handle, data, len(data) if key is None else key,
                                      ctypes.byref(verdict)))
        return verdict.value == 1

    def matching(self, content, key=None):
        """The records that make match() say True."""
        data = self._text(content)
        return self._records_out(_c().varnex_matching, data, len(data) if key is None else key)

    def match_all(self, content, key=None):
        """The listing lookup: (records whose text equals the content, smallest item type)."""
        data = self._text(content)
        out, count, item_type = ctypes.POINTER(Record)(), ctypes.c_int32(0), ctypes.c_int32(0)
        self._check(_c().varnex_match_all(self._handle, data, len(data) if key is None else key,
                                          ctypes.byref(out), ctypes.byref(count),
                                          ctypes.byref(item_type)))
        try:
            return [Record.from_buffer_copy(out[i]) for i in range(count.value)], item_type.value
        finally:
            _c().varnex_free_records(out)

    # Changing.
    def add(self, one):
        self._check(_c().varnex_add(self._handle, ctypes.byref(one)))

    def add_many(self, records):
        """Returns (stored, replaced)."""
        array, count = self._array(records)
        stored, replaced = ctypes.c_int32(0), ctypes.c_int32(0)
        self._check(_c().varnex_add_many(self._handle, array, count, ctypes.byref(stored),
                                         ctypes.byref(replaced)))
        return stored.value, replaced.value

    def append(self, records):
        array, count = self._array(records)
        stored = ctypes.c_int32(0)
        self._check(_c().varnex_append(self._handle, array, count, ctypes.byref(stored)))
        return stored.value

    def delete_rule(self, rule_no):
        self._check(_c().varnex_delete_rule(self._handle, self._text(rule_no)))

    def delete_type(self, item_type):
        self._check(_c().varnex_delete_type(self._handle, item_type))

    def purge(self):
        self._check(_c().varnex_purge(self._handle))

    def reset(self):
        self._check(_c().varnex_reset(self._handle))

    def replace(self, path):
        self._check(_c().varnex_replace(self._handle, os.fsencode(path)))

    # The IP list.
    def ip_add(self, kind, first, last, value=0):
        self._check(_c().varnex_ip_add(self._handle, kind, first, last, value))

    def ip_match(self, address, kind):
        covered = ctypes.c_int32(0)
        self._check(_c().varnex_ip_match(self._handle, address, kind, ctypes.byref(covered)))
        return covered.value == 1

    def ip_reset(self, kind):
        self._check(_c().varnex_ip_reset(self._handle, kind))
