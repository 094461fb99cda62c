"""The docs stay true to the code: every message is documented, the import example runs."""
import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CJK = re.compile(r"[\u3400-\u9fff\uff00-\uffef]")
# Calls whose string arguments become the text of an exception or a warning.
MESSAGE_CALLS = re.compile(r"\b(raise_\w*|warn\w*|format|msg|Message|PyErr_\w+)$")


def _cpp_tokens(text):
    """(kind, value, position) of the string literals and parentheses of C++ source, comments skipped."""
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
        elif text.startswith("/*", i):
            i = text.index("*/", i) + 2
        elif c == '"':
            j, out = i + 1, []
            while text[j] != '"':
                if text[j] == "\\":
                    out.append({"n": "\n", "t": "\t", '"': '"', "\\": "\\"}.get(text[j + 1], text[j + 1]))
                    j += 2
                else:
                    out.append(text[j])
                    j += 1
            yield "str", "".join(out), i
            i = j + 1
        elif c == "'":
            i = text.index("'", i + 2 if text[i + 1] == "\\" else i + 1) + 1
        elif c in "()":
            yield c, c, i
            i += 1
        else:
            i += 1


# Files holding registration and docstrings, not messages.
REGISTRATION_FILES = ("module.cpp", "docs.hpp")


def cpp_messages(text, registration_file):
    """Message texts of one C++ file: adjacent literals joined, CJK texts only.

    A literal inside the arguments of a raise/warn/format call is a message; so
    is any other CJK literal, except in a module's registration file, which
    holds the docstrings.
    """
    messages, calls, group, last_end = [], [], None, -1
    for kind, value, pos in _cpp_tokens(text):
        if kind == "str":
            if group is not None and text[last_end:pos].strip() == "":
                group[0] += value
            else:
                group = [value, calls[-1] if calls else False]
                messages.append(group)
            last_end = _literal_end(text, pos)
        elif kind == "(":
            name = re.search(r"[\w:]*\s*$", text[:pos]).group().strip()
            calls.append(bool(MESSAGE_CALLS.search(name)) or (calls[-1] if calls else False))
            group = None
        else:
            if calls:
                calls.pop()
            group = None
    return [m for m, in_call in messages
            if CJK.search(m) and (in_call or not registration_file)]


def _literal_end(text, pos):
    j = pos + 1
    while text[j] != '"':
        j += 2 if text[j] == "\\" else 1
    return j + 1


def python_messages(text):
    """CJK string constants of a Python module, docstrings excluded."""
    tree = ast.parse(text)
    docstrings = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            body = node.body
            if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
                docstrings.add(id(body[0].value))
    return [node.value for node in ast.walk(tree)
            if isinstance(node, ast.Constant) and isinstance(node.value, str)
            and id(node) not in docstrings and CJK.search(node.value)]


def all_messages():
    found = []
    for path in sorted((ROOT / "cpp").rglob("*")):
        if path.suffix in (".cpp", ".hpp", ".h", ".cc"):
            text = path.read_text(encoding="utf-8")
            found += [(path, m) for m in cpp_messages(text, path.name in REGISTRATION_FILES)]
    for path in sorted((ROOT / "python" / "verdalis").glob("*.py")):
        found += [(path, m) for m in python_messages(path.read_text(encoding="utf-8"))]
    return found


MESSAGES = all_messages()
DOC = (ROOT / "docs" / "messages.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("source, message", MESSAGES,
                         ids=["{}: {}".format(p.name, m.strip()[:40]) for p, m in MESSAGES])
def test_every_message_is_documented(source, message):
    assert message.strip() in DOC, "{}: add {!r} to docs/messages.md".format(source.relative_to(ROOT), message)


@pytest.mark.parametrize("source, registration, expected", [
    # adjacent literals are one message; a literal in format() inside raise_ counts
    ('raise_(X, format("无效：{}；"\n   "请改正", v));', False, ["无效：{}；请改正"]),
    # escapes are decoded; comments and ASCII-only texts are not messages
    ('// 注释 "不是消息"\nwarn(W, "第一行\\n第二行"); f("plain");', False, ["第一行\n第二行"]),
    # a docstring in a registration file is not a message, a raise there is
    ('cls.doc("自定义基准");\nraise_(X, "非法");', True, ["非法"]),
    # outside registration files a CJK literal kept in a variable is a message
    ('const char* kMsg = "上限之和小于1";', False, ["上限之和小于1"]),
])
def test_cpp_message_extraction(source, registration, expected):
    assert cpp_messages(source, registration) == expected


def test_extraction_finds_the_known_messages():
    # A broken extractor must not pass the coverage test by finding nothing.
    texts = {m for _, m in MESSAGES}
    assert {"下限之和大于1", "{} 在 {} 尚未上市，被剔除", "股票池中存在重复的 order_book_id：{}"} <= texts
    assert any(m.startswith("无效的benchmark：{}；") and m.endswith("OptimizeBenchmark 的对象") for m in texts)
    assert not any(":param" in m for m in texts)  # docstrings stay out


def _python_blocks(markdown):
    return re.findall(r"```python\n(.*?)```", markdown, flags=re.S)


def test_import_example_of_the_data_doc_runs(tmp_path, monkeypatch):
    import corvana
    from corvana import client

    blocks = [b for b in _python_blocks((ROOT / "docs" / "data.md").read_text(encoding="utf-8"))
              if "import_store" in b]
    assert len(blocks) == 1
    monkeypatch.chdir(tmp_path)
    previous = client._current
    try:
        exec(compile(blocks[0], "docs/data.md", "exec"), {})
        assert not corvana.connect(tmp_path / "my_store").synthetic
    finally:
        corvana.connect(previous.path if previous is not None else None)
