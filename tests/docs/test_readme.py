"""The README's examples are the files CI builds and runs: each code block after an
`<!-- example: PATH -->` line holds PATH's text exactly, and every file under examples/use/ is
shown."""

import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = re.compile(r"^<!-- example: (\S+) -->\n```[^\n]*\n(.*?)^```$", re.M | re.S)


class ReadmeExamples(unittest.TestCase):
    def test_every_example_is_its_file(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            shown = EXAMPLE.findall(f.read())
        for path, text in shown:
            with self.subTest(path):
                with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                    self.assertEqual(text, f.read(), f"the README's {path} differs from the file")
        files = {os.path.relpath(os.path.join(folder, name), ROOT)
                 for folder, _, names in os.walk(os.path.join(ROOT, "examples", "use"))
                 for name in names}
        self.assertEqual({path for path, _ in shown}, files)


if __name__ == "__main__":
    unittest.main()
