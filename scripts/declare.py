"""Writes what the native modules declare, from their twins.

The twin of each module body (twins/ferrovan.py, twins/mirelock.py) is its declaration. This
script reads it and writes src/<module>/declared.h: the module's identifiers and texts, each
function's description (parameters, defaults, locals, flags, first line, qualified name, the
exact argument types, docstring and annotations), each class's members, and a named constant
for the line of every statement that can fail. The C++ bodies use those constants; nothing
else restates a signature.

    python scripts/declare.py           # rewrite the headers
    python scripts/declare.py --check   # exit 1 naming each header that is stale

Standard library only, so that it runs before anything is installed. The code objects that
compile() makes of a twin give its parameters, locals, flags and first lines exactly as the
interpreter sees them; ast gives the statements, defaults, docstrings and annotations.
"""

import argparse
import ast
import builtins
import inspect
import re
import sys
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ("ferrovan", "mirelock")
# Headers whose names every module shares; a name they declare is not declared again.
SHARED_NAMES = ("src/frame/python_names.h", "src/core/names.h")
# The exact built-in types a twin's check_exact call can require, as the frame knows them.
EXACT_TYPES = {"bytes": "PyBytes_Type", "str": "PyUnicode_Type", "int": "PyLong_Type",
               "bytearray": "PyByteArray_Type", "tuple": "PyTuple_Type", "dict": "PyDict_Type"}
CPP_KEYWORDS = {"and", "auto", "bool", "break", "case", "catch", "char", "class", "const", "continue",
                "default", "delete", "do", "double", "else", "enum", "explicit", "export", "extern",
                "false", "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable",
                "namespace", "new", "not", "operator", "or", "private", "protected", "public",
                "register", "return", "short", "signed", "sizeof", "static", "struct", "switch",
                "template", "this", "throw", "true", "try", "typedef", "typename", "union",
                "unsigned", "using", "virtual", "void", "volatile", "while", "xor"}
# A line's source text is quoted in the header's comments up to this many characters.
QUOTE = 96


class DeclarationError(Exception):
    """A twin uses something the native modules cannot declare."""


def identifier(text):
    """The C++ name of a Python name, qualified name or dotted module name: dunder names
    become dunder_x (inside a qualified name, plain x), leading underscores go, dots become
    underscores, and C++ keywords get a trailing underscore."""
    parts = text.split(".")
    out = []
    for part in parts:
        if part.startswith("__") and part.endswith("__") and len(part) > 4:
            part = part[2:-2] if len(parts) > 1 else "dunder_" + part[2:-2]
        out.append(part.lstrip("_"))
    name = "_".join(out)
    return name + "_" if name in CPP_KEYWORDS else name


def text_identifier(text):
    """The C++ name of a text that is not an identifier: its words joined by underscores
    (prose in lower case), a text of punctuation alone by its characters' names."""
    if text == "":
        return "empty"
    words = re.findall(r"[A-Za-z0-9]+", text)
    if not words:
        return "_".join(unicodedata.name(c).lower().replace(" ", "_").replace("-", "_") for c in text)
    name = "_".join(w.lower() for w in words) if " " in text else "_".join(words)
    return "_" + name if name[0].isdigit() else name


def cpp_string(text):
    """A C++ literal of UTF-8 text: printable ASCII as it is, anything else escaped."""
    def escaped(c):
        if c in '"\\':
            return "\\" + c
        if " " <= c <= "~":
            return c
        return f"\\{ord(c):03o}" if ord(c) < 0xA0 else f"\\U{ord(c):08x}"
    return '"' + "".join(escaped(c) for c in text) + '"'


def quote(text):
    text = text.rstrip()
    return text if len(text) <= QUOTE else text[:QUOTE - 3] + "..."


@dataclass
class Strings:
    """The module's identifiers (interned Names) and other texts, by text, in order of first use."""

    shared: dict                                # text -> C++ name, declared by the shared headers
    names: dict = field(default_factory=dict)   # text -> C++ name
    texts: dict = field(default_factory=dict)

    def name(self, text):
        if text in self.shared:
            return self.shared[text]
        return self.names.setdefault(text, identifier(text))

    def text(self, text, cpp=None):
        """A constant string: interned when it looks like an identifier, as the compiler
        interns such constants."""
        if text.isidentifier():
            return self.name(text)
        return self.texts.setdefault(text, cpp or text_identifier(text))

    def check_unique(self, where):
        seen = {}
        for text, cpp in [*self.names.items(), *self.texts.items()]:
            if seen.setdefault(cpp, text) != text:
                raise DeclarationError(f"{where}: {seen[cpp]!r} and {text!r} are both named n::{cpp}")


@dataclass
class Statement:
    name: str
    line: int
    quote: str  # the line's source text, cut to QUOTE characters


@dataclass
class Function:
    qualname: str
    spec: dict          # field -> C++ initialiser
    statements: list
    source: list        # (line, text) of its definition, decorators included
    is_static: bool = False


@dataclass
class Class:
    name: str
    line: int
    spec: dict
    methods: list


# --- What a statement is called -----------------------------------------------------------

def lead(node, helpers):
    """The name an expression leads with: a call's function, an attribute's name, a walrus's
    target; through the twin's own helpers to their first argument."""
    match node:
        case ast.Name(id=name):
            return name
        case ast.Attribute(attr=attr):
            return attr
        case ast.Call(func=ast.Name(id=name), args=[first, *_]) if name in helpers:
            return lead(first, helpers)
        case ast.Call(func=func):
            return lead(func, helpers)
        case ast.Subscript(value=value) | ast.Compare(left=value) | ast.UnaryOp(operand=value) | \
                ast.BinOp(left=value) | ast.IfExp(body=value) | ast.Starred(value=value):
            return lead(value, helpers)
        case ast.BoolOp(values=[first, *_]) | ast.Tuple(elts=[first, *_]) | ast.List(elts=[first, *_]):
            return lead(first, helpers)
        case ast.NamedExpr(target=target):
            return target.id
    return ""


def target_text(node):
    """An assignment target spelt as one name: self.key_bytes as self_key_bytes."""
    match node:
        case ast.Name(id=name):
            return name
        case ast.Attribute(value=value, attr=attr):
            return f"{target_text(value)}_{attr}"
        case ast.Subscript(value=value) | ast.Starred(value=value):
            return target_text(value)
        case ast.Tuple(elts=elts) | ast.List(elts=elts):
            return "_".join(target_text(e) for e in elts)
    return ""


def statement_name(node, helpers):
    def joined(kind, what):
        return f"{kind}_{what}" if what else kind
    match node:
        case ast.Assign(targets=targets):
            return "_".join(target_text(t) for t in targets)
        case ast.AugAssign(target=target) | ast.AnnAssign(target=target):
            return target_text(target)
        case ast.Expr(value=ast.Call(func=func)):
            return target_text(func)  # digest.update(message) as digest_update
        case ast.Expr(value=value):
            return lead(value, helpers)
        case ast.Return(value=value):
            return joined("return", lead(value, helpers) if value is not None else "")
        case ast.Raise(exc=exc):
            return joined("raise", lead(exc, helpers) if exc is not None else "")
        case ast.If(test=test) | ast.While(test=test) | ast.Assert(test=test):
            return joined(type(node).__name__.lower(), lead(test, helpers))
        case ast.For(target=target):
            return joined("for", target_text(target))
        case ast.With(items=[first, *_]):
            return joined("with", lead(first.context_expr, helpers))
        case ast.Import(names=[first, *_]):
            return (first.asname or first.name).partition(".")[0]
        case ast.ImportFrom(names=[first, *_]):
            return first.asname or first.name
        case ast.FunctionDef(name=name) | ast.ClassDef(name=name):
            return name
        case ast.Delete(targets=targets):
            return joined("del", "_".join(target_text(t) for t in targets))
    raise DeclarationError(f"line {node.lineno}: no name for a {type(node).__name__} statement")


def moves_only(node, local_names):
    """Whether an expression only reads constants and locals, which cannot fail."""
    return isinstance(node, ast.Constant) or isinstance(node, ast.Name) and node.id in local_names


def can_fail(node, local_names, helpers):
    match node:
        case ast.Pass() | ast.Break() | ast.Continue() | ast.Try() | ast.Global() | ast.Nonlocal():
            return False
        case ast.Expr(value=ast.Constant()):
            return False
        case ast.Expr(value=ast.Call(func=ast.Name(id=name))) if name in helpers:
            return False  # the twin's own check, which the native binding performs
        case ast.Return(value=value):
            return value is not None and not moves_only(value, local_names)
        case ast.Assign(targets=targets, value=value):
            return not (moves_only(value, local_names)
                        and all(isinstance(t, ast.Name) and t.id in local_names for t in targets))
    return True


def own_expressions(node):
    """What a statement evaluates itself, without the statements nested in it."""
    match node:
        case ast.If(test=test) | ast.While(test=test):
            return [test]
        case ast.For(target=target, iter=iterable):
            return [target, iterable]
        case ast.With(items=items):
            return [item.context_expr for item in items]
        case ast.Try():
            return []
    return [node]


def nested_statements(node):
    match node:
        case ast.If() | ast.For() | ast.While():
            return [*node.body, *node.orelse]
        case ast.With():
            return node.body
        case ast.Try():
            return [*node.body, *(s for h in node.handlers for s in h.body), *node.orelse, *node.finalbody]
    return []


class Lines:
    """The named line constants of one function or module body."""

    def __init__(self, source_lines, reserved=()):
        self.source_lines = source_lines
        self.used = set(reserved)
        self.statements = []

    def add(self, name, line):
        base = identifier(name) or "statement"
        cpp, count = base, 1
        while cpp in self.used:
            count += 1
            cpp = f"{base}_{count}"
        self.used.add(cpp)
        self.statements.append(Statement(cpp, line, quote(self.source_lines[line - 1].strip())))

    def walk(self, body, local_names, helpers):
        for node in body:
            if can_fail(node, local_names, helpers):
                self.add(statement_name(node, helpers), node.lineno)
                # A call on a later line of the statement fails at its own line.
                covered = {node.lineno}
                for expression in own_expressions(node):
                    for call in ast.walk(expression):
                        if isinstance(call, ast.Call) and call.lineno not in covered:
                            covered.add(call.lineno)
                            self.add(lead(call, helpers), call.lineno)
            self.walk(nested_statements(node), local_names, helpers)


# --- Reading a twin -------------------------------------------------------------------------

def code_objects(code):
    found = {}
    for const in code.co_consts:
        if inspect.iscode(const):
            found[const.co_qualname] = const
            found.update(code_objects(const))
    return found


def exact_checks(node, helpers):
    """The (parameter, type name) pairs of the twin's check_exact call, in parameter order."""
    for statement in node.body:
        match statement:
            case ast.Expr(value=ast.Call(func=ast.Name(id="check_exact"), args=args)) if "check_exact" in helpers:
                return [(a.elts[0].value, a.elts[2].id) for a in args]
    return []


class Twin:
    def __init__(self, module, root):
        self.module = module
        self.path = root / "twins" / f"{module}.py"
        self.source = self.path.read_text(encoding="utf-8")
        self.source_lines = self.source.splitlines()
        self.tree = ast.parse(self.source, str(self.path))
        self.code = code_objects(compile(self.source, str(self.path), "exec"))
        self.strings = Strings(shared_names(root))
        # Names the twin imports from its own helpers (twins/_checks.py): not the module's.
        self.helpers = {alias.asname or alias.name for node in self.tree.body
                        if isinstance(node, ast.ImportFrom) and node.level > 0 for alias in node.names}
        # Built-ins the statements call (len, isinstance, ...): the native code calls the C API.
        bound = {target.id for node in ast.walk(self.tree) for target in getattr(node, "targets", ())
                 if isinstance(target, ast.Name)}
        self.builtins_used = {node.id for node in ast.walk(self.tree) if isinstance(node, ast.Name)
                              and hasattr(builtins, node.id) and node.id not in bound}
        self.body = Lines(self.source_lines)
        self.definitions = []  # the Class and Function of each class and def statement, in order
        self.read()

    def where(self, node):
        return f"{self.path.relative_to(ROOT) if self.path.is_relative_to(ROOT) else self.path}:{node.lineno}"

    def read(self):
        for node in self.tree.body:
            if isinstance(node, ast.ImportFrom) and node.level > 0:
                continue
            self.body.add(statement_name(node, self.helpers), node.lineno)
            match node:
                case ast.ClassDef():
                    self.definitions.append(self.read_class(node))
                case ast.FunctionDef():
                    self.definitions.append(self.read_function(node))
        self.collect_strings(self.tree)
        self.strings.check_unique(self.path.name)

    def collect_strings(self, node):
        """Every identifier and text the module's statements use, as the compiler collects
        co_names and co_consts; the twin's own helpers and f-strings are left out."""
        s = self.strings
        match node:
            case ast.ImportFrom(level=level) if level > 0:
                return
            case ast.JoinedStr():
                return
            case ast.Name(id=name) if name not in self.helpers and name not in self.builtins_used:
                s.name(name)
            case ast.Attribute(attr=attr):
                s.name(attr)
            case ast.keyword(arg=arg) if arg is not None:
                s.name(arg)
            case ast.alias(name=name, asname=asname):
                s.name(name)
                if asname:
                    s.name(asname)
            case ast.ImportFrom(module=module):
                s.name(module)
            case ast.Constant(value=str() as value):
                s.text(value)
        for child in ast.iter_child_nodes(node):
            self.collect_strings(child)

    def read_class(self, node):
        if node.keywords or node.decorator_list or len(node.bases) > 1:
            raise DeclarationError(f"{self.where(node)}: only plain classes with at most one base are declared")
        base = None
        if node.bases:
            base_class = getattr(builtins, node.bases[0].id, None) if isinstance(node.bases[0], ast.Name) else None
            if not (isinstance(base_class, type) and issubclass(base_class, BaseException)):
                raise DeclarationError(f"{self.where(node)}: a base must be a built-in exception class")
            base = f"&PyExc_{node.bases[0].id}"
        doc = ast.get_docstring(node)
        spec = {"name": f"&n::{self.strings.name(node.name)}"}
        if base:
            spec["base"] = base
        if doc is not None:
            spec["doc"] = f"&n::{self.strings.text(doc, 'doc_' + identifier(node.name))}"
        methods = []
        for member in node.body:
            match member:
                case ast.Expr(value=ast.Constant(value=str())):
                    continue
                case ast.FunctionDef():
                    methods.append(self.read_function(member, owner=node.name))
                case _:
                    raise DeclarationError(f"{self.where(member)}: a class declares only methods and a docstring")
        if methods:
            spec["members"] = "{" + ", ".join(f"{{&{self.module}::{identifier(m.qualname)}, "
                                              f"{'true' if m.is_static else 'false'}}}" for m in methods) + "}"
        return Class(node.name, node.lineno, spec, methods)

    def read_function(self, node, owner=None):
        qualname = f"{owner}.{node.name}" if owner else node.name
        code = self.code[qualname]
        where = self.where(node)
        is_static = False
        for decorator in node.decorator_list:
            if isinstance(decorator, ast.Name) and decorator.id == "staticmethod" and owner:
                is_static = True
            else:
                raise DeclarationError(f"{where}: only @staticmethod is declared")
        if code.co_posonlyargcount or code.co_kwonlyargcount or node.args.kw_defaults:
            raise DeclarationError(f"{where}: positional-only and keyword-only parameters are not declared")
        s = self.strings
        n_params = code.co_argcount
        varargs = code.co_varnames[n_params] if code.co_flags & inspect.CO_VARARGS else None
        varkw = (code.co_varnames[n_params + (varargs is not None)]
                 if code.co_flags & inspect.CO_VARKEYWORDS else None)
        params = code.co_varnames[:n_params]
        local_names = code.co_varnames[n_params + (varargs is not None) + (varkw is not None):]

        def names(items):
            return "{" + ", ".join(f"&n::{s.name(item)}" for item in items) + "}"

        spec = {"name": f"&n::{s.name(node.name)}", "qualname": f"&n::{s.name(qualname)}",
                "line": str(code.co_firstlineno), "params": names(params)}
        if varargs:
            spec["varargs"] = f"&n::{s.name(varargs)}"
        if varkw:
            spec["varkw"] = f"&n::{s.name(varkw)}"
        if local_names:
            spec["locals"] = names(local_names)
        defaults = []
        for default in node.args.defaults:
            match default:
                case ast.Constant(value=None):
                    defaults.append("nullptr")
                case ast.Constant(value=str() as value):
                    defaults.append(f"&n::{s.text(value)}")
                case _:
                    raise DeclarationError(f"{where}: defaults are str constants or None")
        if defaults:
            spec["n_defaults"] = str(len(defaults))
            spec["defaults"] = "{" + ", ".join(defaults) + "}"
        annotations = [(a.arg, a.annotation) for a in node.args.args if a.annotation is not None]
        if node.returns is not None:
            annotations.append(("return", node.returns))
        # A parameter annotated with the name of a built-in type is checked to be exactly of it,
        # and only such a parameter: the tests read the checks from the annotations.
        exact = dict(exact_checks(node, self.helpers))
        builtin_annotations = {param: value.value for param, value in annotations if param != "return"
                               and isinstance(value, ast.Constant) and isinstance(getattr(builtins, str(value.value),
                                                                                          None), type)}
        if exact != builtin_annotations:
            raise DeclarationError(f"{where}: check_exact checks {exact}, the annotations name {builtin_annotations}")
        if any(type_name not in EXACT_TYPES for type_name in exact.values()):
            raise DeclarationError(f"{where}: the frame checks exactly only {', '.join(EXACT_TYPES)}")
        if exact:
            spec["exact"] = "{" + ", ".join(f"&{EXACT_TYPES[exact[p]]}" if p in exact else "nullptr"
                                            for p in params[:max(params.index(p) for p in exact) + 1]) + "}"
        doc = ast.get_docstring(node)
        if doc is not None:
            spec["doc"] = f"&n::{s.text(doc, 'doc_' + identifier(qualname))}"
        if annotations:
            pairs = []
            for key, value in annotations:
                if not (isinstance(value, ast.Constant) and isinstance(value.value, str)):
                    raise DeclarationError(f"{where}: annotations are string constants")
                pairs.append(f"{{&n::{s.name(key)}, &n::{s.text(value.value)}}}")
            spec["annotations"] = "{" + ", ".join(pairs) + "}"
        # A member may not be called like its struct.
        lines = Lines(self.source_lines, reserved={"spec", identifier(node.name).removeprefix("dunder_")})
        lines.walk(node.body, set(code.co_varnames), self.helpers)
        first = min([node.lineno] + [d.lineno for d in node.decorator_list])
        source = [(line, self.source_lines[line - 1]) for line in range(first, node.end_lineno + 1)]
        return Function(qualname, spec, lines.statements, source, is_static)


def shared_names(root):
    shared = {}
    for header in SHARED_NAMES:
        for cpp, text in re.findall(r'inline Name (\w+)\{"([^"]*)"\};', (root / header).read_text(encoding="utf-8")):
            shared[text] = cpp
    return shared


# --- Writing the header ---------------------------------------------------------------------

def spec_initialiser(spec):
    return "{" + ", ".join(f".{key} = {value}" for key, value in spec.items()) + "}"


def constants(statements, indent):
    return [f"{indent}static constexpr int {s.name} = {s.line};  // {s.quote}" for s in statements]


def function_struct(function, name, indent):
    """The function's source as a comment, each line tagged with its constants, then the
    description and the constants on one line: the source is what a reader compares them with."""
    tags = {}
    for s in function.statements:
        tags.setdefault(s.line, []).append(s.name)
    out = []
    margin = min(len(text) - len(text.lstrip()) for _, text in function.source if text.strip())
    for line, text in function.source:
        text = quote(text[margin:])
        tag = f"  [{', '.join(tags[line])}]" if line in tags else ""
        out.append(f"{indent}// {text}{tag}".rstrip())
    members = [f"static constexpr frame::FunctionSpec spec{spec_initialiser(function.spec)};"]
    members += [f"static constexpr int {s.name} = {s.line};" for s in function.statements]
    out.append(f"{indent}struct {name} {{ {' '.join(members)} }};")
    return out


def render(twin):
    m = twin.module
    s = twin.strings
    out = [
        f"// Generated by scripts/declare.py from twins/{m}.py: do not edit; run the script instead.",
        f"// What the twin declares for halcyra_pqc.{m}: its identifiers and texts, each function's",
        "// description and each class's members, and the line of every statement that can fail.",
        "#pragma once",
        "",
        '#include "../core/names.h"',
        '#include "../frame/classes.h"',
        '#include "../frame/definition.h"',
        '#include "../frame/python_names.h"',
        '#include "../frame/text.h"',
        "",
        f"namespace {m} {{",
        "namespace n {",
        "using frame::Name;",
        "using frame::Text;",
        "// The names every module shares: the frame's and the core's.",
        "using namespace frame::n;",
        "using namespace core::n;",
        "",
    ]
    out += [f"inline Name {cpp}{{{cpp_string(text)}}};" for text, cpp in s.names.items()]
    out += [f"inline Text {cpp}{{{cpp_string(text)}}};" for text, cpp in s.texts.items()]
    out += ["}  // namespace n", "",
            "// The module's functions and methods, each defined with its body in the file of its concern."]
    every = [f for d in twin.definitions for f in (d.methods if isinstance(d, Class) else [d])]
    out += [f"extern frame::Def {identifier(f.qualname)};" for f in every]
    out += ["", "namespace declared {", "", "// The module body.", "struct body {"]
    out += constants(twin.body.statements, "    ")
    out += ["};"]
    for definition in twin.definitions:
        if isinstance(definition, Function):
            out += [""] + function_struct(definition, identifier(definition.qualname), "")
            continue
        cls = definition
        head = f"struct {identifier(cls.name)} {{ static constexpr frame::ClassSpec spec{spec_initialiser(cls.spec)};"
        out += ["", f"// {twin.source_lines[cls.line - 1].strip()}", head if cls.methods else head + " };"]
        for method in cls.methods:
            out += function_struct(method, identifier(method.qualname.rpartition(".")[2]).removeprefix("dunder_"),
                                   "    ")
        if cls.methods:
            out.append("};")
    out += ["", "}  // namespace declared", f"}}  // namespace {m}", ""]
    return "\n".join(out)


def header_path(root, module):
    return root / "src" / module / "declared.h"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="only report the headers that are stale")
    parser.add_argument("--root", type=Path, default=ROOT, help="the checkout (default: this script's)")
    args = parser.parse_args(argv)
    try:
        # Every twin is read before any header is written, so a refused one changes nothing.
        texts = {header_path(args.root, module): render(Twin(module, args.root)) for module in MODULES}
    except DeclarationError as error:
        print(f"declare: {error}", file=sys.stderr)
        return 2
    stale = [path for path, text in texts.items() if not path.exists() or path.read_text(encoding="utf-8") != text]
    if not args.check:
        for path in stale:
            path.write_text(texts[path], encoding="utf-8")
    for path in stale:
        verb = "stale" if args.check else "written"
        print(f"declare: {path.relative_to(args.root)} {verb}", file=sys.stderr)
    if args.check and stale:
        print("declare: run python scripts/declare.py and commit the result", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
