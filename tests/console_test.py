"""The Windows program on a console: under Wine, with its standard streams on
a pseudo-terminal, it converts the sample log folder and the terminal gets the
whole dialogue in UTF-8, whatever code page the console has; the prompt is
answered through the terminal.

    python3 console_test.py --wine WINE TOOL
"""
import os
import pty
import select
import subprocess
import sys
import tempfile
import time
import tty
import unittest

import end_to_end as e2e

WINE = TOOL = None


def converse(source, destination, answer_after, answer, limit=120):
    """Runs the tool on a terminal; writes `answer` once the terminal shows
    `answer_after`. Gives the exit status and everything the terminal got."""
    master, slave = pty.openpty()
    tty.setraw(slave)  # the keys reach the console as typed, Return as CR
    env = dict(os.environ, **e2e.STAMP_ZONE)
    env.update(WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8", TERM="xterm")
    tool = subprocess.Popen([WINE, TOOL, e2e.native(source), e2e.native(destination)], stdin=slave, stdout=slave,
                            stderr=slave, env=env, close_fds=True)
    os.close(slave)
    shown = b""
    answered = False
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal closed: every program on it has ended
                break
            shown += chunk
            if not answered and answer_after in shown:
                os.write(master, answer)
                answered = True
        elif tool.poll() is not None:
            break
    if tool.poll() is None:
        tool.kill()
    status = tool.wait()
    os.close(master)
    return status, answered, shown


def utf8(text):
    return text.encode("utf-8")


class Console(unittest.TestCase):
    def test_sample_dialogue_in_utf8_on_a_terminal(self):
        source = os.path.abspath(e2e.EXAMPLES)
        with tempfile.TemporaryDirectory() as destination:
            status, answered, shown = converse(source, destination, utf8("リターンキーを押してください"), b"\r")
            self.assertTrue(answered, f"no prompt in UTF-8 on the terminal: {shown!r}")
            self.assertEqual(status, 0, "the tool did not end after Return")
            for rel, (title, url) in e2e.EXAMPLE_THREADS.items():
                self.assertIn(utf8("変換中:") + e2e.native(os.path.join(source, rel)).encode(), shown)
                self.assertIn(utf8(f"「{title}」({url})を移行しました"), shown)
            self.assertIn(utf8("移行したスレッド: 4件、移行済みのためとばしたスレッド: 0件、失敗したスレッド: 0件"), shown)
            self.assertNotIn(e2e.sj("変換中:"), shown)
            self.assertEqual(len(e2e.files_below(destination)), 2 * len(e2e.EXAMPLE_THREADS))

    def test_byte_that_does_not_convert_is_shown_as_replacement(self):
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "morvo")
            destination = os.path.join(work, "tessiva")
            os.makedirs(destination)
            title = e2e.sj("板") + b"\x81 ok"  # a lead byte without its trail byte
            e2e.write(os.path.join(source, "h", "b", "1.dat"), b"a<>b<>c d<>e<>" + title + b"\n")
            status, answered, shown = converse(source, destination, utf8("リターンキーを押してください"), b"\r")
            self.assertEqual((status, answered), (0, True), shown)
            self.assertIn(utf8("「板\ufffd ok」(http://h/test/read.cgi/b/1/)を移行しました"), shown)
            self.assertEqual(e2e.read(os.path.join(destination, "h", "b", "1.dat")), b"a<>b<>c d<>e<>" + title + b"\n")


if __name__ == "__main__":
    if sys.argv[1] != "--wine":
        sys.exit(__doc__)
    WINE = sys.argv[2]
    TOOL = os.path.abspath(sys.argv[3])
    e2e.WINE = WINE
    del sys.argv[1:4]
    unittest.main(verbosity=1)
