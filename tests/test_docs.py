"""The code blocks of the README and of docs/ run as they stand.

The convention, which docs/development.md states for writers:

- a ```python block runs as a script of its own (``python block.py``), the
  blocks of one page in order and in one temporary directory, so that a
  second block can read a file the first wrote; if it ends with a
  ``# prints:`` comment, the ``# `` lines after it are what it must print;
- a ```python block whose first line is a ``>>>`` prompt is an interactive
  session: what each statement prints is compared with the lines under it;
- in both, ``...`` in the expected output stands for any text (an address);
- a ```python block right after a ``<!-- fragment -->`` line is a fragment:
  it must compile, and is not run;
- ```sh blocks are shell commands (each ``./dev.sh`` command must be one that
  dev.sh knows), ```text blocks are output or prose; every block says which.

The relative links of every page lead to a file that exists, and a link to
``#anchor`` to a heading that makes that anchor.
"""

import doctest
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]
LANGUAGES = {"python", "sh", "text"}
FRAGMENT = "<!-- fragment -->"
PRINTS = "# prints:"
SESSION_RUNNER = Path(__file__).with_name("doc_session.py")
TIMEOUT = 120


class Block:
    def __init__(self, page, line, language, text, fragment):
        self.page, self.line, self.language = page, line, language
        self.text, self.fragment = text, fragment

    @property
    def name(self):
        return f"{self.page.relative_to(ROOT)}:{self.line}"


def blocks_of(page):
    lines = page.read_text(encoding="utf-8").splitlines()
    opening = None
    for number, line in enumerate(lines, 1):
        if not line.startswith("```"):
            continue
        if opening is None:
            opening = number
            continue
        before = [text for text in lines[: opening - 1] if text.strip()]
        fragment = bool(before) and before[-1].strip() == FRAGMENT
        text = "\n".join(lines[opening : number - 1]) + "\n"
        yield Block(page, opening, lines[opening - 1][3:].strip(), text, fragment)
        opening = None


BLOCKS = [block for page in PAGES for block in blocks_of(page)]
PYTHON = [block for block in BLOCKS if block.language == "python"]


def ids(blocks):
    return [block.name for block in blocks]


@pytest.mark.parametrize("block", BLOCKS, ids=ids(BLOCKS))
def test_every_block_names_its_kind(block):
    assert block.language in LANGUAGES, f"{block.name}: a block is one of {sorted(LANGUAGES)}"


@pytest.fixture(scope="module")
def page_directories(tmp_path_factory):
    made = {}

    def directory(page):
        if page not in made:
            made[page] = tmp_path_factory.mktemp(page.stem)
        return made[page]

    return directory


@pytest.mark.parametrize("block", PYTHON, ids=ids(PYTHON))
def test_python_block_runs_as_it_stands(block, page_directories):
    if block.fragment:
        compile(block.text, block.name, "exec")
        return
    directory = page_directories(block.page)
    session = block.text.lstrip().startswith(">>>")
    path = directory / f"block_{block.line}.{'txt' if session else 'py'}"
    path.write_text(block.text, encoding="utf-8")
    command = [sys.executable, str(SESSION_RUNNER), path] if session else [sys.executable, path]
    done = subprocess.run(command, cwd=directory, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, f"{block.name} failed:\n{done.stdout}{done.stderr}"
    expected = expected_output(block.text)
    if not session and expected is not None:
        checker = doctest.OutputChecker()
        assert checker.check_output(expected, done.stdout, doctest.ELLIPSIS), (
            f"{block.name} printed:\n{done.stdout}\nnot:\n{expected}"
        )


def expected_output(text):
    lines = text.rstrip("\n").split("\n")
    if PRINTS not in lines:
        return None
    shown = lines[lines.index(PRINTS) + 1 :]
    return "".join(line.removeprefix("#").removeprefix(" ") + "\n" for line in shown)


def dev_commands():
    usage = (ROOT / "dev.sh").read_text(encoding="utf-8").split("<<'EOF'", 1)[1].split("EOF", 1)[0]
    return set(re.findall(r"^  (\w+)", usage, re.MULTILINE))


SHELL = [block for block in BLOCKS if block.language == "sh"]


@pytest.mark.parametrize("block", SHELL, ids=ids(SHELL))
def test_shell_blocks_name_commands_that_dev_sh_has(block):
    named = re.findall(r"\./dev\.sh (\w+)", block.text)
    assert set(named) <= dev_commands(), f"{block.name}: {sorted(set(named) - dev_commands())}"


LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page):
    found = set()
    for line in page.read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


def links():
    for page in PAGES:
        text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.DOTALL)
        for target in LINK.findall(text):
            if not re.match(r"[a-z]+:", target):
                yield page, target


LINKS = sorted(set(links()))


@pytest.mark.parametrize(
    ("page", "target"), LINKS, ids=[f"{p.relative_to(ROOT)}->{t}" for p, t in LINKS]
)
def test_relative_links_lead_somewhere(page, target):
    path, _, anchor = target.partition("#")
    linked = (page.parent / path).resolve() if path else page
    assert linked.exists(), f"{page.name} links to {path}, which does not exist"
    if anchor and linked.suffix == ".md":
        assert anchor in anchors(linked), f"{page.name} links to #{anchor}, not in {linked.name}"
