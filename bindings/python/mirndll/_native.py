"""Finding and loading MirnDLL and its string allocator, the C prototypes of
the seven calls, and the automation strings that carry paths into them."""
import ctypes
import errno
import os
import sys

from ._library import MAX_PATH_BYTES

WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "MirnDLL.dll" if WINDOWS else "libMirnDLL.so.1"
ENVIRONMENT_VARIABLE = "MIRNDLL_LIBRARY"
# The narrow form of a path (UTF-8; on Windows the ANSI code page) may hold
# at most MAX_PATH_BYTES bytes; the library refuses longer ones with -1.

_int32 = ctypes.c_int32
# Every string is a pointer: a restype left as int would cut it to 32 bits.
_PROTOTYPES = {
    "SoundRecordStart": ([], _int32),
    "SoundRecordStop": ([], _int32),
    "SoundRecordPlay": ([_int32], _int32),
    "SoundRecordSave": ([ctypes.c_void_p, _int32], _int32),
    "SoundRecordLoad": ([ctypes.c_void_p], _int32),
    "ToneCreate": ([_int32], _int32),
    "DLLStop": ([], _int32),
}


def _installed_library():
    """The library where the project's install put it beside this package,
    or None (a pip install, or a tree without it)."""
    try:
        from . import _install  # written by the install
    except ImportError:
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.normpath(os.path.join(here, _install.LIBRARY_DIR, LIBRARY_NAME))
    return path if os.path.isfile(path) else None


def locate(library=None):
    """The library to load and how it was chosen: the path given, else the
    environment variable, else the installed copy, else the loader's search."""
    if library is not None:
        return os.fspath(library), "the path given"
    named = os.environ.get(ENVIRONMENT_VARIABLE)
    if named:
        return named, ENVIRONMENT_VARIABLE
    installed = _installed_library()
    if installed:
        return installed, "the installed copy"
    return LIBRARY_NAME, "the loader's search"


class Native:
    """The loaded library: its calls with their prototypes, and the allocator
    that makes the strings it releases."""

    def __init__(self, library=None):
        path, source = locate(library)
        loader = ctypes.WinDLL if WINDOWS else ctypes.CDLL  # __stdcall on 32-bit x86
        options = {"use_last_error": True} if WINDOWS else {"use_errno": True}
        try:
            self.dll = loader(path, **options)
        except OSError as error:
            raise OSError(f"cannot load MirnDLL from {path} ({source}): {error}; "
                          f"pass its path or set {ENVIRONMENT_VARIABLE}") from None
        self.path = path
        for name, (arguments, result) in _PROTOTYPES.items():
            function = getattr(self.dll, name)
            function.argtypes = arguments
            function.restype = result
            setattr(self, name, function)
        if WINDOWS:
            allocator = ctypes.WinDLL("oleaut32")
            self._allocate = allocator.SysAllocString
            self._allocate.argtypes = [ctypes.c_wchar_p]
        else:
            # By its SONAME: the copy the library itself was loaded with, so
            # that the library releases the strings into the allocator that
            # made them.
            allocator = ctypes.CDLL("libMirnAutomation.so.1")
            self._allocate = allocator.AutomationStringFromUtf8
            self._allocate.argtypes = [ctypes.c_char_p]
        self._allocate.restype = ctypes.c_void_p

    def automation_string(self, narrow_checked):
        """A new automation string of a path already checked by narrow_path,
        made just before the call it is passed to, which releases it."""
        text, narrow = narrow_checked
        pointer = self._allocate(text if WINDOWS else narrow)
        if not pointer:
            raise MemoryError("no automation string could be allocated")
        return pointer

    @staticmethod
    def last_error():
        """The system's error number left by the last call, 0 for none."""
        return ctypes.get_last_error() if WINDOWS else ctypes.get_errno()

    @staticmethod
    def clear_error():
        if WINDOWS:
            ctypes.set_last_error(0)
        else:
            ctypes.set_errno(0)


def system_error(number, what, filename):
    """The OSError of a system error number left by a call."""
    if WINDOWS:  # a Windows error code, which OSError maps to an errno
        return OSError(None, f"{what}: {ctypes.FormatError(number)}", filename, number)
    return OSError(number, f"{what}: {os.strerror(number)}", filename)


def narrow_path(path):
    """(text, narrow bytes) of a str, bytes or os.PathLike path, as the library
    will see it. Raises TypeError, ValueError for what no automation string
    can carry, and OSError (ENAMETOOLONG) past the library's limit."""
    raw = os.fspath(path)
    if isinstance(raw, bytes):
        try:
            text = raw.decode("utf-8")  # as os.fsdecode on Windows
        except UnicodeDecodeError:
            raise ValueError(f"path {raw!r} is not valid UTF-8, which the library takes") from None
    else:
        text = raw
    if "\0" in text:
        raise ValueError("embedded null character in path")
    try:
        narrow = text.encode("mbcs" if WINDOWS else "utf-8")
    except UnicodeEncodeError:
        where = "the ANSI code page" if WINDOWS else "UTF-8"
        raise ValueError(f"path {text!r} cannot be spelt in {where}, which the library takes") \
            from None
    if len(narrow) > MAX_PATH_BYTES:
        raise OSError(errno.ENAMETOOLONG,
                      f"path is {len(narrow)} bytes; the library takes at most {MAX_PATH_BYTES}",
                      text)
    return text, narrow
