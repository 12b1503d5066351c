"""The README's snippets and the examples under docs/ are the files CI builds and runs: each code
block after an `<!-- example: PATH -->` line holds PATH's text exactly, and after
`<!-- example: PATH#NAME -->` the lines between PATH's `[NAME]` and `[/NAME]` comment lines, with
their common indentation taken off. Every file under examples/use/ is shown whole under docs/.
`python3 tests/docs/test_readme.py --write` writes every such block anew from its file."""

import glob
import os
import re
import sys
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = re.compile(r"^(<!-- example: ([^\s#]+)(?:#(\w+))? -->\n```[^\n]*\n)(.*?)^```$",
                     re.M | re.S)
PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))


def shown(path, region):
    """What a block naming `path` (and `region`) must hold."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = f.read()
    if region is None:
        return text
    m = re.search(r"^[ \t]*(?://|/\*|#) \[" + region + r"\](?: \*/)?\n(.*?)^[ \t]*(?://|/\*|#) \[/" +
                  region + r"\](?: \*/)?\n", text, re.M | re.S)
    if m is None:
        raise AssertionError(f"{path} has no [{region}] ... [/{region}] lines")
    return textwrap.dedent(m.group(1))


class ReadmeExamples(unittest.TestCase):
    def test_every_example_is_its_file(self):
        whole = set()
        for page in PAGES:
            with open(page, encoding="utf-8") as f:
                blocks = EXAMPLE.findall(f.read())
            for _, path, region, text in blocks:
                with self.subTest(page=os.path.relpath(page, ROOT), path=path, region=region):
                    self.assertEqual(text, shown(path, region or None),
                                     f"{os.path.relpath(page, ROOT)} shows {path} otherwise")
                if not region and page != PAGES[0]:
                    whole.add(path)
        files = {os.path.relpath(os.path.join(folder, name), ROOT)
                 for folder, _, names in os.walk(os.path.join(ROOT, "examples", "use"))
                 for name in names}
        self.assertEqual(whole, files, "every example is shown whole under docs/")

    def test_the_readme_is_read_in_five_minutes(self):
        with open(PAGES[0], encoding="utf-8") as f:
            self.assertLessEqual(len(f.read().splitlines()), 250)


def write():
    for page in PAGES:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        text = EXAMPLE.sub(lambda m: m.group(1) + shown(m.group(2), m.group(3)) + "```", text)
        with open(page, "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    if sys.argv[1:] == ["--write"]:
        write()
    else:
        unittest.main()
