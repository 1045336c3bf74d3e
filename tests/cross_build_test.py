"""The POSIX program and the Windows program (under Wine) must write
byte-identical trees, file list included, from the same source tree: the
repository's examples and a generated tree with every quirk the converter
handles.

    python3 cross_build_test.py POSIX_TOOL --wine WINE WINDOWS_TOOL
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

import end_to_end as e2e

POSIX_TOOL = WINDOWS_TOOL = WINE = None
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "Log")
SJ = "cp932"


def date_field(rng):
    year = rng.choice([2004, 1999, 2037, 2038, 2099, 1969, 1970])
    forms = [
        f"{year:04d}/{rng.randint(1, 12):02d}/{rng.randint(1, 31):02d} {rng.randint(0, 23):02d}:"
        f"{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}",
        f"{year % 100:02d}/{rng.randint(1, 12):02d}/{rng.randint(1, 31):02d} {rng.randint(0, 23):02d}:"
        f"{rng.randint(0, 59):02d}",
        f"{year:04d}/02/30(月) 24:61:00 ID:abc",
        f"{year:04d}/05/10(Mon) 12:34:56.78 ID:x",
        "2004/05\t10 12:00\t99",
        "あぼーん",
        "2004/05/10 " + "9" * 80,
        "",
    ]
    return rng.choice(forms)


def post(rng, title=""):
    name = rng.choice(["名無しさん", "ななし", "", "＞＞１"])
    body = rng.choice(["本文です", " <br> ", "ｗｗｗ", "x" * rng.randint(0, 300), "<>", "a>b>c"])
    return f"{name}<>{rng.choice(['', 'sage'])}<>{date_field(rng)}<>{body}<>{title}".encode(SJ, "replace")


def line_ends(rng):
    return rng.choice([b"\n", b"\r\n"])


def thread_bytes(rng):
    title = rng.choice(["", "スレッドのタイトル", "t" * 101, "ソ表能", "title with >"])
    end = line_ends(rng)
    lines = [post(rng, title)]
    for _ in range(rng.randint(0, 40)):
        kind = rng.random()
        if kind < 0.7:
            lines.append(post(rng))
        elif kind < 0.8:
            lines.append(rng.choice([b"", b"x", b"\r", b"ab"]))
        elif kind < 0.85:
            lines.append(post(rng) + b"\0after nul")
        elif kind < 0.9:
            lines.append(post(rng).replace(b"<>", b"\r<>", 1))  # a lone CR inside a line
        elif kind < 0.95:
            lines.append("１００１<><>2030/01/01 00:00:00<>closed<>".encode(SJ))
        else:
            lines.append(b"y" * rng.choice([1000, 300000]))
    data = end.join(lines)
    roll = rng.random()
    if roll < 0.1:
        data += end + b"\x1a" + post(rng) + end
    elif roll < 0.2:
        pass  # no line end after the last line
    else:
        data += end
    return data


def generate(root, seed=20261208):
    rng = random.Random(seed)
    for host in ["news.example.jp", "bbs.example.net"]:
        for board in ["news", "game", "deep/er/board"]:
            folder = os.path.join(root, host, board)
            os.makedirs(folder, exist_ok=True)
            for number in range(rng.randint(3, 12)):
                name = f"{1100000000 + number}" + rng.choice([".dat", ".dat", ".DAT", ".Dat"])
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(thread_bytes(rng))
            with open(os.path.join(folder, "notes.txt"), "wb") as f:
                f.write(b"not a thread\n")
            with open(os.path.join(folder, "empty.dat"), "wb"):
                pass
        os.makedirs(os.path.join(root, host, "empty-board"), exist_ok=True)
        os.makedirs(os.path.join(root, host, "news", "folder.dat"), exist_ok=True)
        with open(os.path.join(root, host, "news", "folder.dat", "1.dat"), "wb") as f:
            f.write(post(rng, "inside a folder named .dat") + b"\n")


def convert(command, source, destination):
    env = dict(os.environ, TZ="JST-9", LC_ALL="C", WINEDEBUG="-all")
    done = subprocess.run(command + [source, destination], stdin=subprocess.DEVNULL, capture_output=True,
                          env=env, timeout=600)
    return done.returncode, done.stderr.replace(b"\r\n", b"\n").splitlines()[-1]


class SameTree(unittest.TestCase):
    def check(self, source):
        with tempfile.TemporaryDirectory() as work:
            posix_out = os.path.join(work, "posix")
            windows_out = os.path.join(work, "windows")
            os.makedirs(posix_out)
            os.makedirs(windows_out)
            posix = convert([POSIX_TOOL], source, posix_out)
            windows = convert([WINE, WINDOWS_TOOL], "Z:" + source.replace("/", "\\"),
                              "Z:" + windows_out.replace("/", "\\"))
            self.assertEqual(posix, windows, "exit status and summary line")
            self.assertEqual(posix[0], 0)
            self.assertEqual(e2e.snapshot(posix_out), e2e.snapshot(windows_out), "file list and digests")
            self.assertEqual(e2e.files_below(posix_out), e2e.files_below(windows_out))
            self.assertGreater(len(e2e.files_below(posix_out)), 0)

    def test_examples(self):
        self.check(os.path.abspath(EXAMPLES))

    def test_generated_tree_with_every_quirk(self):
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "Log")
            generate(source)
            self.check(source)


if __name__ == "__main__":
    POSIX_TOOL = os.path.abspath(sys.argv.pop(1))
    if sys.argv.pop(1) != "--wine":
        sys.exit(__doc__)
    WINE = sys.argv.pop(1)
    WINDOWS_TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
