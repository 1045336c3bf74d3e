"""The program on a console. The Windows program under Wine, with its standard
streams on a pseudo-terminal, converts the sample log folder and the terminal
gets the whole dialogue in UTF-8, whatever code page the console has; the
questions and the prompt are answered through the terminal. Started directly,
the console is the program's own, as after a double-click; started through
`cmd /c`, it is shared, as in a command prompt. Both programs show the run's
progress in the terminal's title.

    python3 console_test.py TOOL
    python3 console_test.py --wine WINE TOOL
"""
import fcntl
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

import end_to_end as e2e

WINE = TOOL = None
# Wider than any line of the tests, wherever the checkout lies: the terminal
# would otherwise break a long line where its width ends.
COLUMNS = 1000


def converse(args, answers, stdin=None, via_cmd=False, limit=120, keep_controls=False):
    """Runs the tool on a terminal; for each (shown, typed) of `answers` in
    turn, types `typed` once the terminal has shown `shown` after what the
    answer before waited for. Gives the exit status, how many answers were
    typed, and the text the terminal got (without cursor controls, unless
    they are kept)."""
    master, slave = pty.openpty()
    tty.setraw(slave)  # the keys reach the console as typed, Return as CR
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, COLUMNS, 0, 0))
    env = dict(os.environ, **e2e.STAMP_ZONE)
    env.update(WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8", TERM="xterm")
    command = [WINE, "cmd", "/c", e2e.native(TOOL)] if via_cmd else [WINE, TOOL]
    if WINE is None:
        command = [TOOL]
    tool = subprocess.Popen(command + [e2e.native(arg) for arg in args], stdin=stdin or slave, stdout=slave,
                            stderr=slave, env=env, close_fds=True)
    os.close(slave)
    shown = b""
    answered = 0
    seen = 0  # where the next answer's cue is looked for
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal closed: every program on it has ended
                break
            shown += chunk
            while answered < len(answers) and answers[answered][0] in shown[seen:]:
                cue, typed = answers[answered]
                seen = shown.index(cue, seen) + len(cue)
                os.write(master, typed)
                answered += 1
        elif tool.poll() is not None:
            break
    if tool.poll() is None:
        tool.kill()
    status = tool.wait()
    os.close(master)
    return status, answered, shown if keep_controls else without_controls(shown)


def without_controls(shown):
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown)


TITLE = re.compile(rb"\x1b\]0;(.*?)\x07")


PROMPT = "リターンキーを押してください".encode("utf-8")
ASK_SOURCE = "MorvoのLogフォルダをこのウィンドウにドラッグするか、パスを入力して、リターンキーを押してください".encode("utf-8")
ASK_DESTINATION = "TessivaのLogフォルダをこのウィンドウにドラッグするか、パスを入力して、リターンキーを押してください".encode("utf-8")
CONFIRM = "この内容でよければリターンキーを、やめるときは n を入力してリターンキーを押してください".encode("utf-8")
USAGE = "MorvoのLogフォルダとTessivaのLogフォルダを指定してください".encode("utf-8")


def utf8(text):
    return text.encode("utf-8")


def shows_folders(source, destination):
    return (utf8("MorvoのLogフォルダ（読むだけで、変更しません）: " + e2e.native(source)) + b"\r\n" +
            utf8("TessivaのLogフォルダ（ここに書き込みます）: " + e2e.native(destination)) + b"\r\n")


# Wine reports every disk's allocation unit as 4 KiB.
UNIT = 4096


def space_taken(sizes, folders):
    """What threads of these sizes take on the disk, each copy in whole units
    and each index in one, with the folders to make."""
    return sum(-(-size // UNIT) * UNIT + UNIT for size in sizes) + folders * UNIT


def size_text(size):
    """A size as Explorer shows it: three figures, cut, in units of 1,024."""
    scale, unit = 1024, 0
    while size // scale >= 1000:
        scale, unit = scale * 1024, unit + 1
    cut = size * 100 // scale
    figures = f"{cut / 100:.2f}" if cut < 1000 else f"{cut // 10 / 10:.1f}" if cut < 10000 else str(cut // 100)
    return f"{size} バイト" if size < 1024 else f"{figures} {'KMGT'[unit]}B"


SPACE_LEFT = rb"[\d.]+ [KMGT]B\r\n"


def shows_what_fits(sizes, folders):
    """The dialogue's lines of the threads to convert, their bytes and the
    space they take, and the start of the line of the space left."""
    return (utf8(f"変換するスレッド: {len(sizes):,}件、{size_text(sum(sizes))}\r\n") +
            utf8(f"必要な空き: {size_text(space_taken(sizes, folders))}\r\n") +
            utf8("TessivaのLogフォルダのディスクの空き: "))


NOT_ENOUGH = utf8("空きが足りません。いっぱいになったところで止まります。空きを作ってからもう一度実行すれば、残りを移行します\r\n")


def sample_sizes():
    return [len(e2e.read(os.path.join(e2e.EXAMPLES, rel))) for rel in e2e.EXAMPLE_THREADS]


def sample_folders():
    return sum(len(folders) for _, folders, _ in os.walk(e2e.EXAMPLES))


POSIX_TESTS = ("test_title_shows_the_progress_and_the_end_then_the_title_before",
               "test_title_is_decided_by_standard_error_alone", "test_title_after_a_full_disk_says_the_disk_was_full")


class Console(unittest.TestCase):
    def setUp(self):
        if WINE is None and self._testMethodName not in POSIX_TESTS:
            self.skipTest("the Windows program's console")
        if WINE is not None and self._testMethodName == "test_title_is_decided_by_standard_error_alone":
            self.skipTest("a Windows console has one title, whichever stream is on it")
        self.work = tempfile.TemporaryDirectory()
        self.destination = os.path.join(self.work.name, "tessiva")
        os.makedirs(self.destination)

    def tearDown(self):
        self.work.cleanup()

    def large_threads(self):
        """A source of three threads of 1 MB."""
        source = os.path.join(self.work.name, "morvo")
        for number in range(3):
            e2e.write(os.path.join(source, "h", "b", f"{number}.dat"), b"a<>b<>c d<>e<>t\n" + b"x" * 1000000)
        return source

    def converse_on_small_disk(self, size, args, answers, **options):
        """converse() with the destination on a tmpfs of `size` (needs root),
        holding `prepared` ({relative path: bytes}) first."""
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        prepared = options.pop("prepared", {})
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", self.destination], check=True)
        try:
            for rel, data in prepared.items():
                e2e.write(os.path.join(self.destination, rel), data)
            return converse(args, answers, **options)
        finally:
            subprocess.run(["umount", self.destination], check=False)

    def check_sample_converted(self, shown, source):
        for rel, (title, url) in e2e.EXAMPLE_THREADS.items():
            self.assertIn(utf8("変換中:") + e2e.native(os.path.join(source, rel)).encode() + b"\r\n", shown)
            self.assertIn(utf8(f"「{title}」({url})を移行しました\r\n"), shown)
        self.assertIn(utf8("移行したスレッド: 4件、移行済みのためとばしたスレッド: 0件、失敗したスレッド: 0件\r\n"), shown)
        self.assertNotIn(e2e.sj("変換中:"), shown)
        self.assertEqual(len(e2e.files_below(self.destination)), 2 * len(e2e.EXAMPLE_THREADS))

    def test_both_folders_asked_shown_and_confirmed(self):
        # A dragged path holding a space comes in quotes; a typed one may have spaces around it.
        source = os.path.join(self.work.name, "Morvo Log")
        shutil.copytree(e2e.EXAMPLES, source)
        answers = [(ASK_SOURCE, f'"{e2e.native(source)}"\r'.encode()),
                   (ASK_DESTINATION, f"  {e2e.native(self.destination)} \r".encode()), (CONFIRM, b"\r"),
                   (PROMPT, b"\r")]
        status, answered, shown = converse([], answers)
        self.assertEqual((status, answered), (0, len(answers)), shown)
        self.assertIn(shows_folders(source, self.destination), shown)
        self.assertLess(shown.index(shows_folders(source, self.destination)), shown.index(utf8("変換中:")))
        self.check_sample_converted(shown, source)

    def test_dropped_folders_shown_and_stopped_with_n(self):
        source = os.path.abspath(e2e.EXAMPLES)
        status, answered, shown = converse([source, self.destination], [(CONFIRM, b"n\r"), (PROMPT, b"\r")])
        self.assertEqual((status, answered), (0, 2), shown)
        self.assertRegex(shown, re.escape(shows_folders(source, self.destination) +
                                          shows_what_fits(sample_sizes(), sample_folders())) +
                         SPACE_LEFT + re.escape(CONFIRM + b"\r\n"))
        self.assertIn(utf8("やめました。何も書き込んでいません\r\n") + PROMPT, shown)
        self.assertNotIn(utf8("変換中:"), shown)
        self.assertEqual(os.listdir(self.destination), [])

    def test_dialogue_says_when_the_threads_will_not_fit(self):
        # 3 MB of threads for a disk with 1 MB free; a thread indexed already
        # is not counted.
        source = self.large_threads()
        status, answered, shown = self.converse_on_small_disk("1m", [source, self.destination],
                                                              [(CONFIRM, b"n\r"), (PROMPT, b"\r")],
                                                              prepared={"h/b/2.idx": b"x"})
        self.assertEqual((status, answered), (0, 2), shown)
        self.assertRegex(shown, re.escape(shows_what_fits([1000016] * 2, 0)) + SPACE_LEFT +
                         re.escape(NOT_ENOUGH + CONFIRM))

    def test_dialogue_counts_the_space_files_take(self):
        # 3,000 threads of 1,360 bytes, 4.1 MB, take a unit each for the copy
        # and for the index: about 500 fit into 4 MiB, all into 64 MiB.
        source = os.path.join(self.work.name, "morvo")
        for number in range(3000):
            e2e.write(os.path.join(source, "h", "b", f"{number}.dat"), b"a<>b<>c d<>e<>t\n" + b"x" * 1344)
        for size, warned in (("4m", True), ("64m", False)):
            status, answered, shown = self.converse_on_small_disk(size, [source, self.destination],
                                                                  [(CONFIRM, b"n\r"), (PROMPT, b"\r")])
            self.assertEqual((status, answered), (0, 2), shown)
            self.assertRegex(shown, re.escape(shows_what_fits([1360] * 3000, 2)) + SPACE_LEFT +
                             re.escape((NOT_ENOUGH if warned else b"") + CONFIRM))

    def test_path_of_any_character_is_taken_as_typed_and_empty_answer_gives_the_usage(self):
        # Hangul is in neither the Japanese nor the Western ANSI code page.
        source = os.path.join(self.work.name, "한국")
        os.makedirs(source)
        answers = [(ASK_SOURCE, utf8(e2e.native(source) + "\r")),
                   (ASK_DESTINATION, utf8(e2e.native(self.destination) + "\r")), (CONFIRM, b"n\r"), (PROMPT, b"\r")]
        status, answered, shown = converse([], answers)
        self.assertEqual((status, answered), (0, 4), shown)
        self.assertIn(shows_folders(source, self.destination), shown)
        status, answered, shown = converse([], [(ASK_SOURCE, b"\r"), (PROMPT, b"\r")])
        self.assertEqual((status, answered), (0, 2), shown)
        self.assertIn(ASK_SOURCE + b"\r\n\r\n" + USAGE + b"\r\n" + PROMPT, shown)

    def test_shared_console_or_redirected_input_gives_the_usage_alone(self):
        for via_cmd in (True, False):
            with open(os.devnull, "rb") as nothing:
                status, answered, shown = converse([], [(ASK_SOURCE, b"\r")], stdin=None if via_cmd else nothing,
                                                   via_cmd=via_cmd, limit=60)
            self.assertEqual((status, answered), (0, 0), shown)
            self.assertIn(b"Morvo->Tessiva Log Converter\r\n" + USAGE, shown)
            self.assertNotIn(PROMPT, shown)

    def test_sample_dialogue_in_utf8_on_a_shared_console(self):
        source = os.path.abspath(e2e.EXAMPLES)
        status, answered, shown = converse([source, self.destination], [(PROMPT, b"\r")], via_cmd=True)
        self.assertEqual((status, answered), (0, 1), f"the tool did not end after Return: {shown!r}")
        self.assertNotIn(CONFIRM, shown)
        self.check_sample_converted(shown, source)

    def test_byte_that_does_not_convert_is_shown_as_replacement(self):
        source = os.path.join(self.work.name, "morvo")
        title = e2e.sj("板") + b"\x81 ok"  # a lead byte without its trail byte
        e2e.write(os.path.join(source, "h", "b", "1.dat"), b"a<>b<>c d<>e<>" + title + b"\n")
        status, answered, shown = converse([source, self.destination], [(CONFIRM, b"\r"), (PROMPT, b"\r")])
        self.assertEqual((status, answered), (0, 2), shown)
        self.assertIn(utf8("「板\ufffd ok」(http://h/test/read.cgi/b/1/)を移行しました"), shown)
        self.assertEqual(e2e.read(os.path.join(self.destination, "h", "b", "1.dat")),
                         b"a<>b<>c d<>e<>" + title + b"\n")

    def test_title_shows_the_progress_and_the_end_then_the_title_before(self):
        # Five threads are counted: four are converted or passed over, and
        # one that is no file fails. The links the walk does not follow are
        # not counted either.
        source = os.path.join(self.work.name, "morvo")
        shutil.copytree(e2e.EXAMPLES, source)
        os.mkfifo(os.path.join(source, "news.example.jp", "news", "pipe.dat"))
        os.symlink(source, os.path.join(source, "news.example.jp", "loop"))
        os.symlink(self.destination, os.path.join(source, "out"))
        passed_over = os.path.join(self.destination, "news.example.jp", "news", "1090000000.idx")
        e2e.write(passed_over, b"x")
        status, answered, shown = converse([source, self.destination], [(PROMPT, b"\r")], via_cmd=True,
                                           keep_controls=True)
        self.assertEqual((status, answered), (1, 1), shown)
        titles = TITLE.findall(shown[:shown.index(PROMPT)])
        self.assertEqual(titles[0], utf8("morvo2tessiva 0/5 スレッド (0%)"), shown)
        self.assertRegex(titles[-1], utf8(r"^morvo2tessiva 完了 5/5 スレッド 所要時間 \d+秒$"))
        tally = re.search(utf8(r"移行したスレッド: (\d+)件、移行済みのためとばしたスレッド: (\d+)件、失敗したスレッド: (\d+)件"),
                          shown)
        self.assertEqual([int(count) for count in tally.groups()], [3, 1, 1])
        after_prompt = shown[shown.index(PROMPT):]
        if WINE is not None:
            self.assertEqual([title for title in TITLE.findall(after_prompt) if title.startswith(b"morvo2tessiva")], [])
            self.assertTrue(TITLE.search(after_prompt), "the title before was not put back")
            return
        # The terminal's title stack keeps the title before; apart from the
        # title sequences the terminal gets what a pipe gets.
        self.assertTrue(shown.index(b"\x1b[22;0t") < shown.index(b"\x1b]0;"))
        self.assertTrue(after_prompt.endswith(b"\x1b[23;0t"))
        shutil.rmtree(self.destination)
        e2e.write(passed_over, b"x")
        env = dict(os.environ, **e2e.STAMP_ZONE)
        env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
        piped = subprocess.run([TOOL, source, self.destination], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, env=env, timeout=60)
        self.assertEqual(TITLE.sub(b"", without_controls(shown)), piped.stdout)


    def test_title_after_a_full_disk_says_the_disk_was_full(self):
        status, answered, shown = self.converse_on_small_disk("1m", [self.large_threads(), self.destination],
                                                              [(PROMPT, b"\r")], via_cmd=True, keep_controls=True)
        self.assertEqual((status, answered), (1, 1), shown)
        titles = TITLE.findall(shown[:shown.index(PROMPT)])
        self.assertRegex(titles[-1], utf8(r"^morvo2tessiva ディスクがいっぱいで停止 \d/3 スレッド 所要時間 \d+秒$"))

    def test_title_is_decided_by_standard_error_alone(self):
        source = os.path.abspath(e2e.EXAMPLES)
        env = dict(os.environ, **e2e.STAMP_ZONE)
        for stream in ("stderr", "stdout"):
            destination = os.path.join(self.work.name, stream)
            os.makedirs(destination)
            master, slave = pty.openpty()
            with open(os.path.join(self.work.name, "other"), "w+b") as other:
                streams = {"stdout": other, "stderr": slave} if stream == "stderr" else {"stdout": slave,
                                                                                          "stderr": other}
                tool = subprocess.Popen([TOOL, source, destination], stdin=subprocess.DEVNULL, env=env, **streams)
                os.close(slave)
                shown = b""
                while True:
                    try:
                        chunk = os.read(master, 65536)
                    except OSError:
                        break
                    if not chunk:
                        break
                    shown += chunk
                self.assertEqual(tool.wait(), 0)
                os.close(master)
                other.seek(0)
                written = other.read()
            if stream == "stderr":
                self.assertRegex(shown, rb"\x1b\]0;morvo2tessiva ", "standard error alone on a terminal: no title")
            else:
                self.assertNotIn(b"\x1b", written, "standard error to a file got a title")
                self.assertNotIn(b"\x1b", shown)


if __name__ == "__main__":
    if sys.argv[1] == "--wine":
        WINE = sys.argv.pop(2)
        sys.argv.pop(1)
    TOOL = os.path.abspath(sys.argv.pop(1))
    e2e.WINE = WINE
    unittest.main(verbosity=1)
