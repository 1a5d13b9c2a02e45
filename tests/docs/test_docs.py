"""The docs checked as a reader meets them: every relative link in README.md and docs/*.md
resolves (files, and #anchors as GitHub makes them from headings), every long option that
velka-load --help prints is in velka-load(1), and the README's commands for the simulated
board run as they stand. VELKA_LOAD names the program (a command line; default
build/host/velka-load)."""
import os
import re
import shlex
import subprocess
import unittest
from pathlib import Path
from urllib.parse import unquote

ROOT = Path(__file__).resolve().parents[2]
VELKA_LOAD = shlex.split(os.environ.get("VELKA_LOAD", str(ROOT / "build/host/velka-load")))
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SIM_MARK = "<!-- tests/docs/test_docs.py runs every ./velka-load line of the next block -->"

FENCE = re.compile(r"^ {0,3}(```|~~~)")
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
LINK_DEF = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")


def rendered_lines(text):
    """The lines GitHub renders as prose: no fenced or indented code, no HTML comments."""
    text = re.sub(r"<!--.*?-->", "", text, flags=re.S)
    out, fence, prev_blank, in_code = [], None, True, False
    for line in text.splitlines():
        m = FENCE.match(line)
        if fence:
            if m and m.group(1) == fence:
                fence = None
            continue
        if m:
            fence = m.group(1)
            continue
        in_code = bool(line.startswith(("    ", "\t")) and (prev_blank or in_code)
                       and line.strip())
        prev_blank = not line.strip() or (in_code and prev_blank)
        if not in_code:
            out.append(line)
    return out


def slug(heading):
    """The anchor GitHub gives a heading: its text lower-cased, punctuation but hyphens and
    underscores dropped, blanks made hyphens."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link's text stays
    text = re.sub(r"[`*]", "", text).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(page):
    seen, out = {}, set()
    for line in rendered_lines(page.read_text(encoding="utf-8")):
        m = HEADING.match(line)
        if m:
            base = slug(m.group(2))
            n = seen.get(base, 0)
            seen[base] = n + 1
            out.add(base if n == 0 else f"{base}-{n}")
    return out


def links(page):
    for line in rendered_lines(page.read_text(encoding="utf-8")):
        line_links = LINK.findall(re.sub(r"`[^`]*`", "", line))
        line_links += LINK_DEF.findall(line)
        yield from line_links


def broken_links(page):
    bad = []
    for target in links(page):
        if re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", target):  # http:, mailto: ...
            continue
        path, _, anchor = target.partition("#")
        dest = (page.parent / unquote(path)).resolve() if path else page
        inside = dest == ROOT or ROOT in dest.parents
        if not inside or not dest.exists():
            bad.append(f"{target}: no such file in the tree")
        elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
            bad.append(f"{target}: no heading makes #{anchor}")
    return bad


class Links(unittest.TestCase):
    def test_slugs_are_those_github_makes(self):
        cases = [
            ("Connecting a real board", "connecting-a-real-board"),
            ("Keys, directives, includes, line ends, settings",
             "keys-directives-includes-line-ends-settings"),
            ("Velka.exe: the serial benchmark", "velkaexe-the-serial-benchmark"),
            ("Uploading from a shell: `velka-load`", "uploading-from-a-shell-velka-load"),
            ("On Linux, under Wine", "on-linux-under-wine"),
            ("tests/docs and VELKA_LOAD", "testsdocs-and-velka_load"),
        ]
        for heading, expected in cases:
            with self.subTest(heading=heading):
                self.assertEqual(slug(heading), expected)

    def test_every_relative_link_resolves(self):
        self.assertIn(ROOT / "docs" / "design.md", PAGES)
        for page in PAGES:
            with self.subTest(page=page.relative_to(ROOT)):
                self.assertEqual(broken_links(page), [])


class VelkaLoad(unittest.TestCase):
    def test_every_long_option_of_help_is_in_the_manual_page(self):
        help_text = subprocess.run(VELKA_LOAD + ["--help"], capture_output=True, text=True,
                                   timeout=30, check=True).stdout
        options = sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", help_text)))
        self.assertIn("--help", options)
        man = (ROOT / "packaging" / "velka-load.1").read_text(encoding="utf-8")
        man = re.sub(r"\\f[BIRP]", "", man.replace("\\-", "-"))
        missing = [o for o in options if not re.search(re.escape(o) + r"(?![\w-])", man)]
        self.assertEqual(missing, [], "in velka-load --help but not in velka-load.1")

    def test_the_readmes_simulated_board_commands_run_as_they_stand(self):
        text = (ROOT / "README.md").read_text(encoding="utf-8")
        self.assertIn(SIM_MARK, text)
        block = re.search(r"^```[^\n]*\n(.*?)^```", text.split(SIM_MARK, 1)[1], re.S | re.M)
        commands = [shlex.split(line, comments=True) for line in block.group(1).splitlines()]
        self.assertTrue(commands)
        for argv in commands:
            with self.subTest(command=" ".join(argv)):
                self.assertEqual(argv[:1], ["./velka-load"])
                self.assertIn("--sim", argv)
                # ./velka-load builds the program it runs; here it is the one under test.
                run = subprocess.run(VELKA_LOAD + argv[1:], cwd=ROOT, capture_output=True,
                                     text=True, stdin=subprocess.DEVNULL, timeout=60)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertIn(" Ready", run.stderr)


if __name__ == "__main__":
    unittest.main()
