"""The seam check (scripts/check-seams says what it checks and how to run it).

  check.py names ROOT                      prints the hooks of the tree at ROOT
  check.py check ROOT [--hooks FILE] FILE...  checks built files against the
                                           hooks of ROOT (or those FILE lists)
"""

import os
import re
import subprocess
import sys

try:
    import binaries
except ImportError as error:  # pyelftools
    print("scripts/check-seams: %s (bash scripts/setup installs python3-pyelftools)" % error)
    sys.exit(2)
import tree


def say(*words):
    print("scripts/check-seams:", *words, file=sys.stderr, flush=True)


# --- matching symbols to hooks ---------------------------------------------

PREFIXES = ("vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for ",
            "construction vtable for ", "guard variable for ", "non-virtual thunk to ",
            "virtual thunk to ", "covariant return thunk to ", "TLS init function for ",
            "TLS wrapper function for ", "transaction clone for ", "reference temporary #")
TESTING = re.compile(r"for_?testing", re.I)
# A function's hook line ends with its parameters (and qualifiers).
SIGNATURE = re.compile(r"\)( const| volatile| &&?)*$")


def entity(demangled):
    """The entity a demangled symbol stands for: without the words that name
    a class's tables or a variable's guard, clone suffixes and ABI tags."""
    text = demangled.strip()
    changed = True
    while changed:
        changed = False
        for prefix in PREFIXES:
            if text.startswith(prefix):
                text = text[len(prefix):]
                if prefix == "reference temporary #":
                    text = text.split(" for ", 1)[-1]
                changed = True
    text = re.sub(r" \[clone [^\]]*\]", "", text)
    return re.sub(r"\[abi:[^\]]*\]", "", text)


def strip_templates(text):
    out, depth = [], 0
    for ch in text:
        if ch == "<":
            depth += 1
        elif ch == ">" and depth:
            depth -= 1
        elif not depth:
            out.append(ch)
    return "".join(out)


def base_name(text):
    """The qualified name of an entity, without template arguments,
    parameters or return type."""
    text = text.replace("(anonymous namespace)", "\x01")
    match = re.search(r"(?:^|::|\s)operator(?![A-Za-z0-9_])", text)
    if match:
        text = text[:match.end()]
    text = strip_templates(text)
    text = text.split("(", 1)[0].strip()
    text = text.split()[-1] if text.split() else text
    return text.replace("\x01", "(anonymous namespace)")


# CMake's unity builds compile several sources as one, named so.
UNITY = re.compile(r"^unity_\d+_(c|cxx)\.(c|cxx)$")


def reaches(files, source):
    """Whether a hook known in `files` (paths of sources it is local to, None
    for one that is not) reaches a symbol from `source` (the source a local
    symbol was compiled from, "" when unknown; None for a global symbol). A
    file-local hook (an anonymous namespace's, a static's) is another entity
    in each source: it is only a local symbol of its own source's object,
    or of one whose source is not known or is several (a unity build's)."""
    for path in files:
        if path is None:
            return True
        if source is not None and (not source or UNITY.match(source)
                                   or source == os.path.basename(path)):
            return True
    return False


def in_function(name):
    """Whether the name is of an entity of a function's own (its static):
    one with parameters that is no function."""
    text = strip_templates(entity(name)).replace("(anonymous namespace)", "")
    return "(" in text


class Hooks:
    """Functions by signature (an overload is another function), entities of
    a function's own (its statics) by their whole name, the rest (variables,
    templates, C functions) by name, classes by name with all their members;
    each with the sources it is local to (see reaches)."""

    def __init__(self, hooks):
        self.signatures, self.names, self.classes, self.inner = {}, {}, {}, {}
        for kind, name, path in hooks:
            if kind == "class":
                self.classes.setdefault(name, set()).add(path)
            elif SIGNATURE.search(name):
                signature = entity(name)
                self.signatures.setdefault(base_name(signature), {}).setdefault(
                    signature, set()).add(path)
            elif in_function(name):
                self.inner.setdefault(entity(name), set()).add(path)
            else:
                self.names.setdefault(base_name(entity(name)), set()).add(path)

    def match(self, symbol, source):
        text = entity(symbol)
        if reaches(self.inner.get(text, ()), source):
            return True
        name = base_name(text)
        parts = name.split("::")
        for i in range(1, len(parts) + 1):
            prefix = "::".join(parts[:i])
            if (reaches(self.names.get(prefix, ()), source)
                    or reaches(self.classes.get(prefix, ()), source)):
                return True
            # The function, or an entity of its own (a static, a lambda).
            if any((text == s or text.startswith(s + "::")) and reaches(files, source)
                   for s, files in self.signatures.get(prefix, {}).items()):
                return True
        return False


# A hook's line (--names): its name, "::" after a class's, and after a tab
# the source a file-local one is declared in.
def hook_line(kind, name, path):
    return name + ("::" if kind == "class" else "") + ("\tin " + path if path else "")


def read_hooks(path):
    hooks = set()
    for line in open(path):
        name, _, where = line.rstrip("\n").partition("\tin ")
        name = name.strip()
        if name:
            kind = "class" if name.endswith("::") else "name"
            hooks.add((kind, name[:-2] if kind == "class" else name, where or None))
    return hooks


# --- the files --------------------------------------------------------------

def check_file(path, hooks):
    """The problems of one file, each a line."""
    if not os.path.isfile(path):
        return ["%s does not exist" % path]
    try:
        # An archive may hold other files than objects (notes), with no code.
        layouts = [(member, binaries.Layout(data)) for member, data in binaries.members(path)
                   if data[:4] == b"\x7fELF" or data[:4] in binaries.BITCODE]
    except (OSError, binaries.Unreadable) as error:
        return ["cannot read %s: %s" % (path, error)]
    if not any(layout.symbols for _, layout in layouts):
        return ["%s defines no symbol (stripped?), so it cannot be checked" % path]
    problems = []
    # A member with nothing in it (a source wholly for tests) may define no
    # symbol; one that holds code or data may not.
    empty = sorted({member for member, layout in layouts if layout.payload and not layout.symbols})
    if empty:
        problems.append("%s has members that hold code or data but define no symbol (stripped?),"
                        " so it cannot be checked: %s" % (path, ", ".join(empty)))
    for member, layout in layouts:
        where = "%s(%s)" % (path, member) if member else path
        # A linker leaves a few functions without a name (two in the
        # program's five thousand): past one, and one in a hundred, symbols
        # were taken out.
        orphans = layout.orphans > 1 and layout.orphans * 100 > layout.functions
        if layout.symbols and (layout.unnamed_code or orphans):
            why = ["sections %s have no function symbol" % ", ".join(layout.unnamed_code)
                   ] if layout.unnamed_code else []
            why += ["%d of the %d functions its unwind table lists start at no symbol"
                    % (layout.orphans, layout.functions)] if orphans else []
            problems.append("%s has code that no symbol names (%s): stripped?, so it cannot be"
                            " checked" % (where, "; ".join(why)))
    if problems:
        return problems
    symbols = [symbol for _, layout in layouts for symbol in layout.symbols]
    found = sorted({symbol for symbol, (_, source) in
                    zip(tree.demangle([name for name, _ in symbols]), symbols)
                    if TESTING.search(symbol) or hooks.match(symbol, source)})
    if found:
        problems.append("%s carries test hooks:\n%s" % (path, "\n".join("  " + s for s in found)))
    return problems


def main():
    mode, root, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    jobs = int(os.environ.get("KX_SEAMS_JOBS", "0")) or os.cpu_count() or 2
    if files[:1] == ["--hooks"]:
        hooks, files = read_hooks(files[1]), files[2:]
    else:
        try:
            hooks = tree.hooks_of(os.path.realpath(root), jobs)
        except tree.TreeError as error:
            for line in error.args[0]:
                say(line)
            return 2
    if not hooks:
        say("found no hook in %s: a check against nothing would pass anything" % root)
        return 2
    if mode == "names":
        for hook in sorted(hooks, key=lambda h: (h[1], h[2] or "")):
            print(hook_line(*hook))
        return 0
    if not files:
        say("no file to check (usage: scripts/check-seams FILE...)")
        return 1
    status, hooks = 0, Hooks(hooks)
    for path in files:
        for problem in check_file(path, hooks):
            say(problem)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
