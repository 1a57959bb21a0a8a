"""The few calls of libclang's C interface that the seam check makes, through
ctypes, on the library of Debian's clang-14 (libclang1-14). No Python
bindings package is needed: Debian's (python3-clang-N) exclude each other, so
installing one would remove the one a developer has."""

import ctypes
from ctypes import CFUNCTYPE, POINTER, Structure, byref, c_char_p, c_int, c_uint, c_ulong, c_void_p

LIBRARIES = ("/usr/lib/llvm-14/lib/libclang.so.1", "/usr/lib/x86_64-linux-gnu/libclang-14.so.1",
             "libclang-14.so.1")

# Cursor kinds, linkages and results of the C interface (clang-c/Index.h).
UNEXPOSED_DECL, STRUCT, UNION, CLASS, ENUM, FIELD, ENUM_CONSTANT = 1, 2, 3, 4, 5, 6, 7
FUNCTION, VARIABLE, PARAMETER, TYPEDEF, METHOD, NAMESPACE, LINKAGE_SPEC = 8, 9, 10, 20, 21, 22, 23
CONSTRUCTOR, DESTRUCTOR, CONVERSION = 24, 25, 26
TEMPLATE_PARAMETERS = (27, 28, 29)
FUNCTION_TEMPLATE, CLASS_TEMPLATE, PARTIAL_SPECIALIZATION = 30, 31, 32
NAMESPACE_ALIAS, USING_DIRECTIVE, USING_DECLARATION, TYPE_ALIAS, ACCESS = 33, 34, 35, 36, 39
TRANSLATION_UNIT, TYPE_ALIAS_TEMPLATE, STATIC_ASSERT, FRIEND = 300, 601, 602, 603
INVALID = range(70, 74)  # no cursor: the parent of a translation unit, say
INTERNAL_LINKAGE, EXTERNAL_LINKAGE, NOT_AVAILABLE = 2, 4, 2
STATIC_STORAGE, NO_TLS = 3, 0
BREAK, CONTINUE, RECURSE = 0, 1, 2
SKIP_FUNCTION_BODIES = 0x40


class String(Structure):
    _fields_ = [("data", c_void_p), ("flags", c_uint)]


class Cursor(Structure):
    _fields_ = [("kind", c_int), ("xdata", c_int), ("data", c_void_p * 3)]


class Location(Structure):
    _fields_ = [("data", c_void_p * 2), ("int_data", c_uint)]


class Type(Structure):
    _fields_ = [("kind", c_int), ("data", c_void_p * 2)]


class Unsaved(Structure):
    _fields_ = [("name", c_char_p), ("contents", c_char_p), ("length", c_ulong)]


VISITOR = CFUNCTYPE(c_int, Cursor, Cursor, c_void_p)

PROTOTYPES = {
    "clang_createIndex": (c_void_p, [c_int, c_int]),
    "clang_disposeIndex": (None, [c_void_p]),
    "clang_parseTranslationUnit2": (c_int, [c_void_p, c_char_p, POINTER(c_char_p), c_int,
                                            POINTER(Unsaved), c_uint, c_uint, POINTER(c_void_p)]),
    "clang_disposeTranslationUnit": (None, [c_void_p]),
    "clang_getTranslationUnitCursor": (Cursor, [c_void_p]),
    "clang_visitChildren": (c_uint, [Cursor, VISITOR, c_void_p]),
    "clang_getCursorSpelling": (String, [Cursor]),
    "clang_getCursorSemanticParent": (Cursor, [Cursor]),
    "clang_getCursorLocation": (Location, [Cursor]),
    "clang_getExpansionLocation": (None, [Location, POINTER(c_void_p), POINTER(c_uint),
                                          POINTER(c_uint), POINTER(c_uint)]),
    "clang_getFileName": (String, [c_void_p]),
    "clang_getCString": (c_char_p, [String]),
    "clang_disposeString": (None, [String]),
    "clang_isDeclaration": (c_uint, [c_int]),
    "clang_isCursorDefinition": (c_uint, [Cursor]),
    "clang_Cursor_getMangling": (String, [Cursor]),
    "clang_getCursorLinkage": (c_int, [Cursor]),
    "clang_Cursor_getStorageClass": (c_int, [Cursor]),
    "clang_getCursorTLSKind": (c_int, [Cursor]),
    "clang_getCursorAvailability": (c_int, [Cursor]),
    "clang_Cursor_isFunctionInlined": (c_uint, [Cursor]),
    "clang_CXXMethod_isPureVirtual": (c_uint, [Cursor]),
    "clang_CXXMethod_isDefaulted": (c_uint, [Cursor]),
    "clang_getCursorType": (Type, [Cursor]),
    "clang_isConstQualifiedType": (c_uint, [Type]),
    "clang_getNumDiagnostics": (c_uint, [c_void_p]),
    "clang_getDiagnostic": (c_void_p, [c_void_p, c_uint]),
    "clang_getDiagnosticSeverity": (c_int, [c_void_p]),
    "clang_getDiagnosticSpelling": (String, [c_void_p]),
    "clang_getDiagnosticLocation": (Location, [c_void_p]),
    "clang_disposeDiagnostic": (None, [c_void_p]),
}


class Clang:
    """libclang loaded; raises OSError when it cannot be. One may serve
    several threads, each with units of its own."""

    def __init__(self):
        error = None
        for name in LIBRARIES:
            try:
                self.lib = ctypes.CDLL(name)
                break
            except OSError as e:
                error = error or e
        else:
            raise error
        for name, (result, arguments) in PROTOTYPES.items():
            function = getattr(self.lib, name)
            function.restype, function.argtypes = result, arguments

    def text(self, string):
        value = self.lib.clang_getCString(string)
        self.lib.clang_disposeString(string)
        return value.decode("utf-8", "replace") if value else ""

    def spelling(self, cursor):
        return self.text(self.lib.clang_getCursorSpelling(cursor))

    def mangled(self, cursor):
        return self.text(self.lib.clang_Cursor_getMangling(cursor))

    def parse(self, index, name, args, text, bodies=False):
        """The unit `text` as the file `name`, bodies of functions skipped
        unless asked for, or None when clang cannot parse it at all."""
        argv = (c_char_p * len(args))(*[a.encode() for a in args])
        contents = text.encode()
        unsaved = Unsaved(name.encode(), contents, len(contents))
        handle = c_void_p()
        if self.lib.clang_parseTranslationUnit2(index, name.encode(), argv, len(args),
                                                byref(unsaved), 1,
                                                0 if bodies else SKIP_FUNCTION_BODIES,
                                                byref(handle)):
            return None
        return Unit(self, handle)


class Unit:
    """A parsed translation unit; close() gives it back."""

    def __init__(self, clang, handle):
        self.clang, self.lib, self.handle = clang, clang.lib, handle
        self.files = {}  # file handle -> name

    def close(self):
        self.lib.clang_disposeTranslationUnit(self.handle)

    def where(self, location):
        """(file name or None, line) where the location is expanded."""
        handle, line = c_void_p(), c_uint()
        self.lib.clang_getExpansionLocation(location, byref(handle), byref(line), None, None)
        if not handle.value:
            return None, 0
        name = self.files.get(handle.value)
        if name is None:
            name = self.files[handle.value] = self.clang.text(self.lib.clang_getFileName(handle))
        return name, line.value

    def errors(self):
        """'file:line: text' of each error and fatal error of the unit."""
        found = []
        for i in range(self.lib.clang_getNumDiagnostics(self.handle)):
            diagnostic = self.lib.clang_getDiagnostic(self.handle, i)
            if self.lib.clang_getDiagnosticSeverity(diagnostic) >= 3:
                path, line = self.where(self.lib.clang_getDiagnosticLocation(diagnostic))
                found.append("%s:%s: %s" % (path, line, self.clang.text(
                    self.lib.clang_getDiagnosticSpelling(diagnostic))))
            self.lib.clang_disposeDiagnostic(diagnostic)
        return found

    def visit(self, visitor):
        """Calls visitor(cursor) for each top-level declaration of the unit,
        and for the children of those it answers RECURSE for."""
        failure = []

        def call(cursor, parent, data):
            try:
                return visitor(cursor)
            except BaseException as error:  # ctypes would only print it
                failure.append(error)
                return BREAK
        self.lib.clang_visitChildren(self.lib.clang_getTranslationUnitCursor(self.handle),
                                     VISITOR(call), None)
        if failure:
            raise failure[0]
