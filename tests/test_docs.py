"""Every Python example in README.md and docs/*.md runs as printed.

The blocks of one file run in order in one namespace, as a reader would type them one after
the other, in a fresh temporary directory per file. A block whose first line is a comment
beginning "# Fragment" shows part of a program on purpose: it is compiled, not run.

(A short collector rather than a Markdown plugin: the plugins on PyPI run each block on its
own or in the package's directory, and none runs a file's blocks in sequence in a clean
directory, which is what a reader does.)
"""

import re
from pathlib import Path

import pytest

from conftest import PACKAGE_DIR

ROOT = Path(__file__).resolve().parents[1]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# A fence may be indented, inside a list item; its lines are then indented as much.
FENCE = re.compile(r"^([ \t]*)(`{3,})([^\n`]*)\n(.*?)^\1\2[ \t]*$", re.MULTILINE | re.DOTALL)
FRAGMENT = "# Fragment"


def python_blocks(path):
    """(first line number, source, is a fragment) of each fenced Python block, in order."""
    text = path.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        indent, language = match.group(1), match.group(3).strip().split(" ")[0].lower()
        if language not in ("python", "py"):
            continue
        source = "".join(line.removeprefix(indent) for line in match.group(4).splitlines(keepends=True))
        first_line = text.count("\n", 0, match.start(4)) + 1
        yield first_line, source, source.lstrip().startswith(FRAGMENT)


def documents_with_examples():
    return [path for path in DOCUMENTS if any(python_blocks(path))]


@pytest.mark.parametrize("path", documents_with_examples(), ids=lambda path: path.relative_to(ROOT).as_posix())
def test_documented_examples_run(path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # The commands an example starts find the package under test from the temporary directory.
    monkeypatch.setenv("PYTHONPATH", str(PACKAGE_DIR.parent))
    namespace = {"__name__": "__main__"}
    for first_line, source, fragment in python_blocks(path):
        # Padded so that a traceback names the line of the document itself.
        code = compile("\n" * (first_line - 1) + source, str(path), "exec")
        if not fragment:
            exec(code, namespace)


def test_the_collector_sees_every_block():
    # A fence the pattern misses would silently go untested: count the openings by hand.
    for path in DOCUMENTS:
        openings = [line for line in path.read_text(encoding="utf-8").splitlines()
                    if line.lstrip().startswith("```") and line.strip().strip("`").strip().split(" ")[0].lower()
                    in ("python", "py")]
        assert len(openings) == len(list(python_blocks(path))), path
