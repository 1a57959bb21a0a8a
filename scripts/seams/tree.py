"""The tree's test hooks: what the compiler declares only when KX_TEST_SEAMS
is defined, and every declaration of a seams/ folder. Each component's
headers and sources are preprocessed as one unit with and without the macro,
and where the two differ (or the component has a seams/ folder) parsed by
clang both ways, so whatever condition keeps a declaration out and whatever
its shape, it counts.

The parse skips functions' bodies; a file where the macro adds a line that
may declare a static is parsed again with them, for the statics its
functions declare only under the macro.

A function or variable is known by its mangled name (so an overload of a
shipped function is a hook of its own), a template or a member of one by
its qualified name, a class by its qualified name (its hooks are all its
members); a file-local one (internal linkage, in a source) also by its
source, since each source's is another entity.

A hook must be defined out of line, in a source: an inline one, or one
defined nowhere, may leave no symbol in a build that has it, and the check
could not see it there."""

import difflib
import os
import re
import subprocess
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor

import clang_c as C

HEADERS = (".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp", ".tpp")
SOURCES = (".cpp", ".cc", ".cxx", ".c++", ".c")
# Folders whose code no shipped file holds: the tests, the examples, the
# benchmarks and the fuzz targets, and what a build or git keeps.
PRUNED = {"tests", "examples"}
PRUNED_AT_TOP = {"build", "bench", "fuzz", "scripts", "docs", "cmake"}
FOLDERS = ("include", "internal", "src", "seams")

CLASSES = {C.STRUCT, C.UNION, C.CLASS, C.CLASS_TEMPLATE, C.PARTIAL_SPECIALIZATION}
SCOPES = {C.NAMESPACE, C.LINKAGE_SPEC, C.UNEXPOSED_DECL, C.FRIEND}
TEMPLATES = {C.CLASS_TEMPLATE, C.PARTIAL_SPECIALIZATION, C.FUNCTION_TEMPLATE}
FUNCTIONS = {C.FUNCTION, C.METHOD, C.CONSTRUCTOR, C.DESTRUCTOR, C.CONVERSION}
# What may leave a symbol, and so must be defined out of line.
ENTITIES = FUNCTIONS | {C.VARIABLE, C.FUNCTION_TEMPLATE, C.UNEXPOSED_DECL}
# Declarations no symbol comes from.
NAMELESS = {C.NAMESPACE, C.TYPEDEF, C.TYPE_ALIAS, C.TYPE_ALIAS_TEMPLATE, C.USING_DECLARATION,
            C.USING_DIRECTIVE, C.NAMESPACE_ALIAS, C.ENUM, C.ENUM_CONSTANT, C.FIELD, C.PARAMETER,
            C.STATIC_ASSERT, C.ACCESS, C.FRIEND, C.LINKAGE_SPEC, *C.TEMPLATE_PARAMETERS}


class TreeError(Exception):
    """The tree cannot be read, or breaks the rules for hooks: each line
    says why."""


def tree_files(root):
    """The tree's C and C++ files by component: the path up to its include/,
    internal/, src/ or seams/ folder (else the file's folder); and those
    folders."""
    components, folders = {}, []
    for here, dirs, files in os.walk(root):
        top = here == root
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d not in PRUNED
                         and not (top and (d in PRUNED_AT_TOP or d.startswith("build"))))
        parts = os.path.relpath(here, root).split(os.sep)
        if parts[-1] in FOLDERS:
            folders.append(here)
        cut = next((i for i, p in enumerate(parts) if p in FOLDERS), len(parts))
        component = os.path.join(root, *parts[:cut])
        for name in sorted(files):
            if name.endswith(HEADERS + SOURCES):
                components.setdefault(component, []).append(os.path.join(here, name))
    return components, folders


def in_seams_folder(path, root):
    return "seams" in os.path.relpath(path, root).split(os.sep)[:-1]


class Missing:
    """Quoted includes the tree's sources lack (generated headers): taken
    from a build folder of the tree where one has them, else given as empty
    files (the parse then reports errors, and the check fails on them)."""

    def __init__(self, root, stubs):
        self.root, self.stubs, self.folders, self.stubbed = root, stubs, [], []
        self.lock = threading.Lock()

    def args(self):
        with self.lock:
            return ["-I" + f for f in self.folders] + ["-I" + self.stubs]

    def add(self, names):
        with self.lock:
            for name in names:
                found = None
                for top in sorted(os.listdir(self.root)):
                    if not top.startswith("build"):
                        continue
                    for here, _, _ in os.walk(os.path.join(self.root, top)):
                        if os.path.isfile(os.path.join(here, name)):
                            found = here
                            break
                    if found:
                        break
                if found and found not in self.folders:
                    self.folders.append(found)
                elif not found:
                    self.stubbed.append(name)
                    path = os.path.join(self.stubs, name)
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    open(path, "a").close()


def preprocessed(text, args, missing):
    """The unit as the preprocessor gives it, macro definitions and line
    markers included, and its errors."""
    for _ in range(20):
        done = subprocess.run(["clang++-14", "-E", "-dD"] + args + missing.args() + ["-"],
                              input=text, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, errors="replace")
        lacking = re.findall(r"fatal error: '(.+)' file not found", done.stderr)
        if done.returncode == 0 or not lacking:
            break
        missing.add(lacking)
    if done.returncode != 0:
        return None, done.stderr.strip().split("\n")[:5]
    return done.stdout.replace("#define KX_TEST_SEAMS 1\n", ""), []


MARKER = re.compile(r'^# \d+ "(.*)"')


def by_file(text):
    """{file: its lines} of preprocessed text, without line markers and
    blank lines: what each file gave the unit."""
    lines, current = {}, None
    for line in text.split("\n"):
        marker = MARKER.match(line)
        if marker:
            current = lines.setdefault(marker.group(1), [])
        elif line.strip() and current is not None:
            current.append(line)
    return lines


STATIC = re.compile(r"\b(static|thread_local)\b")


def adds_static(plain, seamed):
    """Whether the lines the macro adds or changes in a file (its
    preprocessed lines without the macro, and with it), or the line before
    each run of them (where a declaration they end may begin), hold a word
    that makes a function's variable static."""
    if plain == seamed:
        return False
    matcher = difflib.SequenceMatcher(None, plain, seamed, autojunk=False)
    return any(tag in ("replace", "insert") and any(STATIC.search(line)
                                                      for line in seamed[max(0, j1 - 1):j2])
               for tag, _, _, j1, j2 in matcher.get_opcodes())


class Reader:
    """Reads the declarations of units for one thread."""

    def __init__(self, clang, root):
        self.clang, self.lib, self.prefix = clang, clang.lib, root + os.sep
        self.index = self.lib.clang_createIndex(0, 0)

    def close(self):
        self.lib.clang_disposeIndex(self.index)

    def named(self, cursor):
        """(qualified name or None, whether it is a template or in one)."""
        lib, parts, templated = self.lib, [], cursor.kind in TEMPLATES
        while cursor.kind != C.TRANSLATION_UNIT and cursor.kind not in C.INVALID:
            spelling = self.clang.spelling(cursor)
            if spelling or cursor.kind not in (C.LINKAGE_SPEC, C.UNEXPOSED_DECL):
                if cursor.kind == C.NAMESPACE and not spelling:
                    spelling = "(anonymous namespace)"
                if not spelling:
                    return None, templated
                parts.append(spelling)
            cursor = lib.clang_getCursorSemanticParent(cursor)
            templated = templated or cursor.kind in TEMPLATES
        return "::".join(reversed(parts)), templated

    def entity(self, cursor, path, line):
        """(key, and for what may leave a symbol a Fact of this declaration)."""
        lib, kind = self.lib, cursor.kind
        name, templated = self.named(cursor)
        if name is None:
            return None, None
        key = name
        if kind in FUNCTIONS or kind == C.VARIABLE:
            key = (not templated and self.clang.mangled(cursor)) or name
        if kind not in ENTITIES:
            return key, None
        fact = Fact("%s:%d" % (path, line))
        fact.needs = (lib.clang_getCursorLinkage(cursor) == C.EXTERNAL_LINKAGE
                      and lib.clang_getCursorAvailability(cursor) != C.NOT_AVAILABLE
                      and not lib.clang_CXXMethod_isPureVirtual(cursor)
                      and not lib.clang_CXXMethod_isDefaulted(cursor)
                      and not (kind == C.VARIABLE and lib.clang_isConstQualifiedType(
                          lib.clang_getCursorType(cursor))))
        source = path.endswith(SOURCES)
        if kind in (C.VARIABLE, C.UNEXPOSED_DECL):
            defined = lib.clang_isCursorDefinition(cursor)
            fact.defined, inline = defined and source, defined and not source
        else:
            # Function bodies are skipped (to halve the time), and with them
            # what tells a definition: a source's declaration of a function
            # stands for one, an inline one (in its class, constexpr or
            # marked so) never.
            inline = lib.clang_Cursor_isFunctionInlined(cursor)
            fact.defined = source and not inline
        if inline:
            fact.inline.add(fact.where)
        return key, fact

    def local(self, cursor, path):
        """Whether the declaration is a file-local one of a source (internal
        linkage: an anonymous namespace's, a static's), which is another
        entity in each source that declares it."""
        return (path.endswith(SOURCES)
                and self.lib.clang_getCursorLinkage(cursor) == C.INTERNAL_LINKAGE)

    def declarations(self, unit, facts):
        """{(file, "class" or "name", key, whether it is file-local)} of every
        function, variable and class the unit declares in the tree's files,
        class members, friends and extern "C" blocks included; and, into
        facts when given, the Fact of each key that may leave a symbol."""
        lib, prefix, found = self.lib, self.prefix, set()

        def visit(cursor):
            path, line = unit.where(lib.clang_getCursorLocation(cursor))
            if path is None or not path.startswith(prefix):
                return C.CONTINUE
            kind = cursor.kind
            if kind in CLASSES:
                if not lib.clang_isCursorDefinition(cursor):
                    return C.CONTINUE
                name, _ = self.named(cursor)
                if name:
                    found.add((path, "class", name, self.local(cursor, path)))
                return C.RECURSE
            # Any other declaration with a name may give a symbol (a kind
            # the interface does not expose, as a variable template,
            # included), but for those that never do.
            if (kind not in NAMELESS and lib.clang_isDeclaration(kind)
                    and self.clang.spelling(cursor)):
                key, fact = self.entity(cursor, path, line)
                if key:
                    found.add((path, "name", key, self.local(cursor, path)))
                    if fact and facts is not None:
                        facts.setdefault(key, Fact(fact.where)).add(fact)
            return C.RECURSE if kind in SCOPES else C.CONTINUE
        unit.visit(visit)
        return found

    def statics(self, unit, within):
        """{(file, "name", key, whether it is file-local)} of the statics that
        functions of the files `within` declare (what only their bodies
        show)."""
        lib, found = self.lib, set()

        def visit(cursor):
            path, line = unit.where(lib.clang_getCursorLocation(cursor))
            if path not in within:
                return C.CONTINUE
            if cursor.kind == C.VARIABLE and (
                    lib.clang_Cursor_getStorageClass(cursor) == C.STATIC_STORAGE
                    or lib.clang_getCursorTLSKind(cursor) != C.NO_TLS):
                function = lib.clang_getCursorSemanticParent(cursor)
                if function.kind in FUNCTIONS or function.kind == C.FUNCTION_TEMPLATE:
                    key, _ = self.entity(cursor, path, line)
                    if key:
                        found.add((path, "name", key, self.local(function, path)))
            return C.RECURSE
        unit.visit(visit)
        return found

    def parse(self, files, args, missing, facts, within=None):
        """The declarations of the files parsed as one unit, and its errors;
        with `within`, the statics that functions of those files declare."""
        text = "".join('#include "%s"\n' % f for f in files)
        unit = self.clang.parse(self.index, "kx-seams-unit.cpp", args + missing.args(), text,
                                bodies=within is not None)
        if unit is None:
            return set(), ["clang cannot parse %s" % ", ".join(files)]
        try:
            if within is not None:
                return self.statics(unit, within), unit.errors()
            return self.declarations(unit, facts), unit.errors()
        finally:
            unit.close()

    def parse_both(self, files, args, missing, both, facts, within=None):
        """Parses the files with KX_TEST_SEAMS (and without, if both) as one
        unit as a unity build would; where that unit has errors (two sources
        define one file-local name), in parts, down to one file a unit. An
        error in a single file's unit is the tree's, and is reported."""
        results, errors, seamed_facts = [], [], {}
        for seams in ([True, False] if both else [True]):
            found, trouble = self.parse(files, args + (["-DKX_TEST_SEAMS"] if seams else []),
                                        missing, seamed_facts if seams else None, within)
            results.append(found)
            errors += trouble
        if not errors:
            merge(facts, seamed_facts)
            return results[0], (results[1] if both else set()), []
        if len(files) == 1:
            return set(), set(), sorted(set(errors))
        # Apart at the first file an error is in, which is the later of the
        # two that clash; else in halves.
        at = [files.index(f) for f in files for e in errors if e.startswith(f + ":")]
        cut = min((k for k in at if k > 0), default=len(files) // 2)
        seamed, plain, problems = set(), set(), []
        for part in (files[:cut], files[cut:]):
            a, b, trouble = self.parse_both(part, args, missing, both, facts, within)
            seamed |= a
            plain |= b
            problems += trouble
        return seamed, plain, problems


class Fact:
    """What the declarations of an entity say: whether it must be defined
    out of line (it has external linkage and may leave a symbol), where it
    is first declared, where it is inline, and whether a source defines it."""

    def __init__(self, where):
        self.needs, self.where, self.inline, self.defined = False, where, set(), False

    def add(self, other):
        self.needs = self.needs or other.needs
        self.inline |= other.inline
        self.defined = self.defined or other.defined


def merge(facts, more):
    for key, fact in more.items():
        facts.setdefault(key, Fact(fact.where)).add(fact)


def component_hooks(clang, root, component, files, folders, missing):
    """The hooks of one component, the facts of its declarations with the
    seams, and its problems. Clang parses the component only where the
    preprocessor finds that the macro changes it, or it has seams/."""
    own = [f for f in folders if f.startswith(component + os.sep)]
    others = [f for f in folders if f not in own]
    args = ["-x", "c++", "-std=c++20", "-w", "-ferror-limit=0"] + ["-I" + f for f in own + others]
    ordered = ([f for f in files if f.endswith(HEADERS)]
               + [f for f in files if not f.endswith(HEADERS)])
    text = "".join('#include "%s"\n' % f for f in ordered)
    seamed, problems = preprocessed(text, args + ["-DKX_TEST_SEAMS"], missing)
    plain, trouble = preprocessed(text, args, missing)
    if problems or trouble:
        return set(), {}, problems + trouble
    seamed, plain = by_file(seamed), by_file(plain)
    # A function's statics show only in its body, which the parse skips: a
    # file where the macro adds a declaration that may be one is read again
    # with its bodies.
    bodies = [f for f in ordered if adds_static(plain.get(f, []), seamed.get(f, []))]
    both = seamed != plain
    if not both and not any(in_seams_folder(f, root) for f in files):
        return set(), {}, []
    reader, facts = Reader(clang, root), {}
    try:
        with_seams, without, problems = reader.parse_both(ordered, args, missing, both, facts)
        if bodies:
            more, fewer, trouble = reader.parse_both(bodies, args, missing, True, None,
                                                     set(bodies))
            with_seams |= more
            without |= fewer
            problems += trouble
    finally:
        reader.close()

    def hook(path, kind, key, local):
        return kind, key, os.path.relpath(path, root) if local else None
    hooks = {hook(*found) for found in with_seams - without}
    hooks |= {hook(*found) for found in with_seams if in_seams_folder(found[0], root)}
    return hooks, facts, problems


def demangle(names):
    """The names as c++filt reads them (one that is not mangled as it is)."""
    done = subprocess.run(["c++filt"], input="".join(n + "\n" for n in names),
                          stdout=subprocess.PIPE, universal_newlines=True, errors="replace",
                          check=True)
    return done.stdout.split("\n")[:len(names)]


def hooks_of(root, jobs):
    """{(kind, name, path)} of the tree at root: kind "class" for a class,
    else "name" (a function's name ends with its parameters); path, relative
    to root, the source a file-local hook is declared in, else None. Raises
    TreeError
    when it cannot tell, or when a hook is not defined out of line."""
    try:
        clang = C.Clang()
    except OSError as error:
        raise TreeError(["libclang cannot be loaded (bash scripts/setup installs clang-14): %s"
                         % error])
    components, folders = tree_files(root)
    if not components:
        raise TreeError(["no C or C++ file under %s to find the hooks in" % root])
    hooks, facts, problems = set(), {}, []
    with tempfile.TemporaryDirectory() as stubs, ThreadPoolExecutor(jobs) as pool:
        missing = Missing(root, stubs)
        for found, more, trouble in pool.map(
                lambda c: component_hooks(clang, root, c, components[c], folders, missing),
                sorted(components)):
            hooks |= found
            merge(facts, more)
            problems += trouble
    if problems:
        lines = ["the sources include %s, which neither the tree nor a build folder of it holds"
                 " (a generated header? build the tree first)" % name
                 for name in sorted(set(missing.stubbed))]
        problems = sorted(set(problems))
        lines += ["cannot read the tree: " + problem for problem in problems[:10]]
        if len(problems) > 10:
            lines.append("... and %d more errors" % (len(problems) - 10))
        raise TreeError(lines)
    keys = sorted({key for _, key, _ in hooks})
    names = dict(zip(keys, demangle(keys)))
    faults = []
    for kind, key, _ in sorted(hooks, key=lambda h: h[:2]):
        fact = facts.get(key) if kind == "name" else None
        if fact and fact.needs and (fact.inline or not fact.defined):
            faults.append("%s is a hook %s: a hook must be defined out of line, in a source of"
                          " the tree, so that a build that has it shows its symbol"
                          % (names[key], "defined inline (%s)" % ", ".join(
                              sorted(fact.inline)) if fact.inline else
                             "that no source of the tree defines (declared at %s)" % fact.where))
    if faults:
        raise TreeError(faults)
    return {(kind, names[key], path) for kind, key, path in hooks}
