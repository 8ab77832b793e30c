"""tools/check-structure on a scratch tree: each row is a source file and the findings it must give,
at the rules' edges (60 and 61 lines, a signal handler's write and another's, exit in main and elsewhere,
calls one way and in a circle, declared where they are made)."""

import os
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
TOOL = os.path.join(TOOLS, "check-structure")
sys.path.insert(0, TOOLS)
import mutant_sites  # noqa: E402  (how the tool loads libclang)


def function(name, lines):
    return "int %s(int x)\n{\n%s    return x;\n}\n" % (name, "    x += 1;\n" * (lines - 1))


ROWS = {  # file: (source, the findings it gives, as "line: text")
    "lengths.cpp": (function("at_limit", 60) + function("over_limit", 61) + function("md5_process", 90),
                    ["64: function over_limit is 61 lines long (at most 60)"]),
    "prints.cpp": ('#include <cstdio>\nvoid f(std::FILE *out)\n{\n    std::fprintf(stdout, "a");\n'
                   '    std::fputs("b", out);\n    std::fputs("c", stderr);\n    std::perror("d");\n}\n',
                   ["6: fputs writes to standard error outside log", "7: perror writes to standard error outside log"]),
    "handler.cpp": ('#include <csignal>\n#include <unistd.h>\nextern "C" void on_signal(int)\n{\n'
                    '    (void)write(STDERR_FILENO, "x", 1);\n}\nvoid report()\n{\n    (void)write(2, "y", 1);\n'
                    '    (void)write(1, "z", 1);\n}\nvoid install()\n{\n    struct sigaction a {};\n'
                    '    a.sa_handler = on_signal;\n    sigaction(SIGINT, &a, nullptr);\n}\n',
                    ["9: write writes to standard error outside log"]),
    "ends.cpp": ('#include <cstdlib>\nstruct file { int write(int n) { return n; } };\nvoid give_up()\n{\n'
                 '    std::exit(1);\n}\nint main()\n{\n    file f;\n    std::exit(f.write(0));\n}\n',
                 ["5: exit() called in give_up: only main ends the process"]),
    "disc.h": ('#pragma once\n#include "sheet.h"\n',
               ["0: include circle disc -> sheet -> disc: src/disc.h includes sheet.h; src/sheet.cpp includes disc.h"]),
    "sheet.h": ('#pragma once\n', []),
    "sheet.cpp": ('#include "sheet.h"\n#include "disc.h"\nvoid draw();\nvoid sheet() { draw(); }\n', []),
    "picture.cpp": ('void count();\nvoid draw()\n{\n    count();\n}\n',
                    ["0: call circle picture -> tracks -> picture: src/picture.cpp:4 draw calls count; "
                     "src/tracks.cpp:2 count calls draw"]),
    "tracks.cpp": ('void draw();\nvoid count() { draw(); }\n', []),
    "log.cpp": ('#include <cstdio>\nvoid log_it() { std::fputs("e", stderr); }\n', []),
}


class StructureCheckTest(unittest.TestCase):
    def run_tool(self, tree, *allow):
        return subprocess.run([sys.executable, TOOL, "--tree", tree] + (["--allow", *allow] if allow else []),
                              capture_output=True, text=True)

    def test_each_rule_finds_what_breaks_it_and_nothing_else_and_allowed_files_are_excused(self):
        try:
            mutant_sites.load_clang()
        except SystemExit as missing:
            self.skipTest(str(missing))
        with tempfile.TemporaryDirectory(prefix="korvel-structure-") as tree:
            os.mkdir(os.path.join(tree, "src"))
            for name, (source, _) in ROWS.items():
                with open(os.path.join(tree, "src", name), "w") as f:
                    f.write(source)
            r = self.run_tool(tree)
            expected = sorted(("src/%s:%s" % (name, finding)).replace(":0:", ":")
                              for name, (_, findings) in ROWS.items() for finding in findings)
            self.assertEqual((r.returncode, sorted(r.stdout.splitlines()[:-1])), (1, expected), r.stderr)
            r = self.run_tool(tree, *["src/" + n for n, (_, found) in ROWS.items() if found])
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertTrue(r.stdout.endswith("check-structure: %d findings, %d of them allowed\n" % (len(expected), len(expected))), r.stdout)


if __name__ == "__main__":
    unittest.main()
