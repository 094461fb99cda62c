"""The shipped .pyi stubs match the compiled modules' real signatures.

The core modules are compiled, so IDEs and type checkers only see the stubs;
a stub that drifts from the runtime signature misleads every user.
"""
import ast
import importlib
import inspect
from pathlib import Path

import pytest

MODULES = ["optimize", "objective", "benchmark"]
KINDS = {"posonly": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonly": inspect.Parameter.KEYWORD_ONLY}


def stub_path(module):
    return Path(importlib.import_module("verdalis." + module).__file__).with_name(module + ".pyi")


def stub_functions(tree):
    """(qualified name, ast function) for every def at module or public class level."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield node.name + "." + item.name, item


def stub_parameters(fn):
    """[(name, kind, default)], default None when absent or elided (`...`)."""
    a = fn.args
    out = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for kind, group in (("posonly", a.posonlyargs), ("args", a.args)):
        for arg in group:
            out.append((arg.arg, KINDS[kind], defaults[positional.index(arg)]))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, KINDS["kwonly"], default))
    if a.kwarg is not None:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, None))
    return out


@pytest.mark.parametrize("module", MODULES)
def test_stub_signatures_match_runtime(module):
    runtime = importlib.import_module("verdalis." + module)
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
    checked = 0
    for qualname, fn in stub_functions(tree):
        obj = runtime
        for part in qualname.split("."):
            obj = getattr(obj, part, None)
        assert obj is not None, "{}.{} is in the stub but not in the module".format(module, qualname)
        actual = list(inspect.signature(obj).parameters.values())
        expected = stub_parameters(fn)
        assert [(p.name, p.kind) for p in actual] == [(n, k) for n, k, _ in expected], qualname
        for param, (_, _, default) in zip(actual, expected):
            if isinstance(default, ast.Constant) and default.value is not Ellipsis:
                assert param.default == default.value, "{}: default of {}".format(qualname, param.name)
            elif default is None and param.kind != inspect.Parameter.VAR_KEYWORD:
                assert param.default is inspect.Parameter.empty, "{}: {} has a default".format(
                    qualname, param.name)
        checked += 1
    assert checked > 0
