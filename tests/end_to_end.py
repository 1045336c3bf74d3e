"""End-to-end tests: run the built tool on temporary trees and compare whole
files, whole console output and the exit status byte for byte."""
import errno
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = None
WINE = None  # the Wine loader, when TOOL is a Windows program
LAUNCHER = None  # under Wine, the program that starts a command line written out whole
SJ = "cp932"
BANNER = b"Morvo->Tessiva Log Converter\n"
PROMPT = "リターンキーを押してください\n".encode(SJ)
STAMP_ZONE = {"TZ": "JST-9", "LC_ALL": "C"}


def sj(text):
    return text.encode(SJ)


def cause(words, code, windows_code=None):
    """The cause shown for a failure of a class the tool has words for: the
    words and the system's code, errno's, or the Windows program's."""
    return sj(f" ({words}、エラーコード {code if WINE is None else windows_code})\n")


def system_error(code):
    """The cause shown for a failure the tool has no class for: the system's own code and words."""
    return sj(f" (エラーコード {code}: ") + os.strerror(code).encode() + b")\n"


def native(path):
    """The path as the tool is given it and shows it: under Wine, a Windows path."""
    if WINE is None:
        return path
    return ("Z:" if path.startswith("/") else "") + path.replace("/", "\\")


def console_lines(stream):
    """Console bytes with LF line ends. A Windows program's text-mode streams end
    lines with CR LF; that is checked here, once for every test."""
    if WINE is None:
        return stream
    if re.search(rb"(?<!\r)\n", stream):
        raise AssertionError(f"a console line without CR LF: {stream!r}")
    return stream.replace(b"\r\n", b"\n")


def run(*args, stdin=b"", cwd=None, user=None, locale="C", tool=None, open_files=None):
    env = dict(os.environ, **STAMP_ZONE)
    env["LC_ALL"] = locale
    command = [tool or TOOL, *map(native, args)]
    if WINE is not None:
        command.insert(0, WINE)
        env["WINEDEBUG"] = "-all"
    limit = None
    if open_files is not None:
        import resource
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))  # noqa: E731
    done = subprocess.run(command, input=stdin, capture_output=True, env=env, timeout=120, cwd=cwd, user=user,
                          preexec_fn=limit)
    return done.returncode, console_lines(done.stdout), console_lines(done.stderr)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def snapshot(root):
    """Every name and every byte below root, links as their targets."""
    digest = {}
    for folder, folders, files in os.walk(root):
        folders.sort()
        for name in sorted(folders + files):
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                digest[rel] = "link:" + os.readlink(path)
            elif os.path.isfile(path):
                digest[rel] = hashlib.sha256(read(path)).hexdigest()
            else:
                digest[rel] = "folder"
    return digest


def files_below(root):
    return {rel: read(os.path.join(root, rel)) for rel, kind in snapshot(root).items()
            if kind != "folder" and not kind.startswith("link:")}


def index(title, url, count, date, time, stamp):
    url = url if isinstance(url, bytes) else url.encode()
    return (sj("10500\t") + title + b"\n\t" + url + b"\t" + str(count).encode() + b"\t" +
            date.encode() + b" " + time.encode() + b"\t----/--/-- --:--:--\t\t\t12700\t\t0\t0\t" +
            stamp.encode() + b"\t\t\t")


def progress(path):
    return sj("変換中:") + native(path).encode() + b"\n"


def completion(title, url):
    return sj("「") + title + sj("」(") + url.encode() + sj(")を移行しました") + b"\n"


FAILURES_AGAIN = sj("移行できなかったスレッドとフォルダの一覧（上と同じものです）:\n")


def summary(migrated, passed, failed, folders=0):
    line = f"移行したスレッド: {migrated}件、移行済みのためとばしたスレッド: {passed}件、失敗したスレッド: {failed}件"
    if folders:
        line += f"、移行できなかったフォルダ: {folders}件"
    return sj(line + "\n")


TITLE = sj("テスト")
FIRST = sj("名無し<>sage<>04/05/10 12:30<> 本文 <>") + TITLE
SECOND = sj("名無し<><>2004/05/10 12:34:56 ID:x<> 二 <>")


class ToolCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.root = self.work.name
        self.source = os.path.join(self.root, "morvo")
        self.destination = os.path.join(self.root, "tessiva")
        os.makedirs(self.source)
        os.makedirs(self.destination)
        self.before = None

    def tearDown(self):
        if self.before is not None:
            self.assertEqual(snapshot(self.source), self.before, "the source tree changed")
        self.work.cleanup()

    def seal_source(self):
        self.before = snapshot(self.source)

    def thread(self, rel, data):
        write(os.path.join(self.source, rel), data)


class Dialogue(ToolCase):
    def test_usage_without_two_folders(self):
        usage = sj("MorvoのLogフォルダとTessivaのLogフォルダを指定してください")
        for args in ([], [self.source]):
            self.assertEqual(run(*args), (0, b"", BANNER + usage))

    def test_empty_folder_prompts_and_extra_arguments_are_ignored(self):
        self.seal_source()
        rc, out, err = run(self.source, self.destination, "extra")
        self.assertEqual((rc, out, err), (0, PROMPT, BANNER + summary(0, 0, 0)))

    def test_refused_pairs_leave_everything_untouched(self):
        self.thread("h/b/1.dat", FIRST + b"\n")
        inner = os.path.join(self.source, "h")
        os.symlink(self.source, os.path.join(self.root, "alias"))
        write(os.path.join(self.root, "plain"), b"x")
        self.seal_source()
        cases = [
            (self.source, self.source, "MorvoのLogフォルダとTessivaのLogフォルダが同じフォルダです: "),
            (self.source, self.source + "/", "MorvoのLogフォルダとTessivaのLogフォルダが同じフォルダです: "),
            (self.source, self.source + "/./h/..", "MorvoのLogフォルダとTessivaのLogフォルダが同じフォルダです: "),
            (self.source, os.path.join(self.root, "alias"), "MorvoのLogフォルダとTessivaのLogフォルダが同じフォルダです: "),
            (self.source, inner, "TessivaのLogフォルダがMorvoのLogフォルダの中にあります: "),
            (inner, self.source, "MorvoのLogフォルダがTessivaのLogフォルダの中にあります: "),
            (inner, os.path.join(self.root, "alias"), "MorvoのLogフォルダがTessivaのLogフォルダの中にあります: "),
        ]
        for source, destination, message in cases:
            rc, out, err = run(source, destination)
            self.assertEqual((rc, out, err),
                             (1, PROMPT, BANNER + sj(message) + f"{native(source)} {native(destination)}\n".encode()))
        missing = os.path.join(self.root, "missing")
        self.assertEqual(run(missing, self.destination),
                         (1, PROMPT, BANNER + sj("MorvoのLogフォルダを開けません: ") + native(missing).encode() + b"\n"))
        plain = os.path.join(self.root, "plain")
        self.assertEqual(run(self.source, plain),
                         (1, PROMPT, BANNER + sj("TessivaのLogフォルダがありません: ") + native(plain).encode() + b"\n"))
        too_long = os.path.join(self.root, *["y" * 200] * 25)  # past what POSIX takes: not called missing
        self.assertEqual(run(self.source, too_long)[2], BANNER + sj("TessivaのLogフォルダがありません: ") +
                         native(too_long).encode() + (sj(" (パスが長すぎます)") if WINE is None else b"") + b"\n")
        self.assertEqual(os.listdir(self.destination), [])

    def test_destination_that_takes_no_new_file_is_refused(self):
        # A read-only file system (here a read-only bind mount), and a folder
        # the user may not write into: one line, and nothing written.
        if os.geteuid() != 0:
            self.skipTest("needs root to mount, and to run the tool as another user")
        self.thread("h/b/1.dat", FIRST + b"\n")
        write(os.path.join(self.destination, "kept.txt"), b"kept")
        self.seal_source()
        unchanged = snapshot(self.destination)
        refused = sj("TessivaのLogフォルダに書き込めません: ")
        read_only = os.path.join(self.root, "read-only")
        os.makedirs(read_only)
        subprocess.run(["mount", "--bind", self.destination, read_only], check=True)
        try:
            subprocess.run(["mount", "-o", "remount,bind,ro", read_only], check=True)
            # Wine gives the Windows program a read-only file system as access denied.
            words = "アクセスが拒否されました" if WINE is not None else "読み取り専用のディスクです"
            self.assertEqual(run(self.source, read_only),
                             (1, PROMPT, BANNER + refused + native(read_only).encode() + cause(words, errno.EROFS, 5)))
        finally:
            subprocess.run(["umount", read_only], check=True)
        self.assertEqual(snapshot(self.destination), unchanged)
        if WINE is not None:
            return  # Wine's prefix belongs to root
        os.chmod(self.root, 0o755)
        tool = os.path.join(self.root, "tool")
        shutil.copy2(TOOL, tool)
        self.assertEqual(run(self.source, self.destination, user=65534, tool=tool, cwd=self.root),
                         (1, PROMPT, BANNER + refused + self.destination.encode() + cause("アクセスが拒否されました", errno.EACCES)))
        self.assertEqual(snapshot(self.destination), unchanged)

    def test_one_folder_spelled_two_ways_is_refused(self):
        self.thread("h/b/1.dat", FIRST + b"\n")
        os.symlink(self.source, os.path.join(self.root, "alias"))
        os.symlink(self.source, os.path.join(self.root, "別名"))
        self.seal_source()
        parent = os.path.basename(self.root)
        same = sj("MorvoのLogフォルダとTessivaのLogフォルダが同じフォルダです: ")
        inside = sj("TessivaのLogフォルダがMorvoのLogフォルダの中にあります: ")
        cases = [
            ("morvo", "morvo/", same), ("morvo", "./morvo", same), ("morvo/.", "morvo", same),
            ("morvo", f"../{parent}/morvo", same), ("morvo", "alias/h", inside),
            ("alias", "morvo/h/b", inside), ("別名", "morvo/h/b", inside), ("morvo", "./" * 150 + "morvo", same),
        ]
        if WINE is not None:
            cases.append(("morvo", "MORVO", same))  # letter case names the same folder on Windows
        for source, destination, message in cases:
            rc, out, err = run(source, destination, cwd=self.root, locale="C" if WINE is None else "C.UTF-8")
            shown = f"{native(source)} {native(destination)}\n".encode("utf-8" if WINE is None else "cp932")
            self.assertEqual((rc, out, err), (1, PROMPT, BANNER + message + shown))
        self.assertEqual(os.listdir(self.destination), [])


class Conversion(ToolCase):
    def test_tree_is_mirrored_copied_and_indexed(self):
        self.thread("h/b/100.dat", FIRST + b"\r\n\r\nx\r\n" + SECOND + b"\r\nab")
        self.thread("h/b/notes.txt", b"not a thread")
        self.thread("h/empty/.keep", b"")
        self.thread("h/b/UP.DAT", b"a<>b<>99/12/31 23:59<>c<>no stamp\n\x1aafter\n")
        self.thread("h/b/old.dat/inside.dat", b"only one line\n")
        self.thread("h/b/zero.dat", b"ab<>t\0cd\nx\0yz\nlo\rne\n")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 0)
        url = "http://h/test/read.cgi/b/100/"
        expected = {
            "h/b/100.dat": FIRST + b"\n" + SECOND + b"\nab\n",
            "h/b/100.idx": index(TITLE, url, 3, "2004/05/10", "12:34:56", "Mon, 10 May 2004 03:34:56 GMT"),
            "h/b/UP.DAT": b"a<>b<>99/12/31 23:59<>c<>no stamp\n",
            "h/b/UP.idx": index(b"no stamp", "http://h/test/read.cgi/b/UP/", 1, "2099/12/31", "23:59:59", ""),
            "h/b/zero.dat": b"ab<>t\nlo\rne\n",
            "h/b/zero.idx": index(b"t", "http://h/test/read.cgi/b/zero/", 2, "", "", ""),
            "h/b/old.dat/inside.dat": b"only one line\n",
            "h/b/old.dat/inside.idx": index(b"", "http://h/test/read.cgi/b/old.dat/inside/", 1, "", "", ""),
        }
        self.assertEqual(files_below(self.destination), expected)
        self.assertEqual([name for name, data in expected.items() if b"\0" in data and name.endswith(".idx")], [])
        self.assertTrue(os.path.isdir(os.path.join(self.destination, "h/empty")))
        lines = out.splitlines(keepends=True)
        self.assertEqual(lines[-1], PROMPT)
        self.assertEqual(len(lines), 2 * 4 + 1)
        self.assertIn(progress(os.path.join(self.source, "h/b/100.dat")) + completion(TITLE, url), out)
        self.assertEqual(err, BANNER + summary(4, 0, 0))

        # A second run passes over everything; a removed index is converted
        # again, and so is an empty one or one of NULs alone, which only a
        # power cut leaves. An index with any other content may be the
        # reader's own and is kept.
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(0, 4, 0)))
        self.assertEqual(out.count(sj("変換中:")), 4)
        self.assertNotIn(sj("を移行しました"), out)
        os.remove(os.path.join(self.destination, "h/b/100.idx"))
        write(os.path.join(self.destination, "h/b/100.dat"), b"stale")
        write(os.path.join(self.destination, "h/b/zero.idx"), b"")
        write(os.path.join(self.destination, "h/b/zero.dat"), b"")
        # What an interrupted run left under the index's temporary name is replaced too.
        write(os.path.join(self.destination, "h/b/zero.idx.m2t-tmp"), b"left by an interrupted run")
        write(os.path.join(self.destination, "h/b/old.dat/inside.idx"), b"\0" * 5000)
        write(os.path.join(self.destination, "h/b/UP.idx"), b"\0" * 4000 + b"x")
        expected["h/b/UP.idx"] = b"\0" * 4000 + b"x"
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(3, 1, 0)))
        self.assertEqual(files_below(self.destination), expected)

    def test_broken_title_stops_the_run(self):
        long_title = b"t" * 102
        self.thread("a/b/1.dat", b"n<>m<>04/05/10 12:30<>x<>" + long_title + b"\nsecond line\n")
        self.thread("a/b/c/3.dat", FIRST + b"\n")
        self.seal_source()
        first = os.path.join(self.source, "a/b/1.dat")
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(0, 0, 0)))
        self.assertEqual(out, progress(first) + sj("ログが壊れているっぽ→このあたり:") + long_title + b"\n" + PROMPT)
        self.assertEqual(files_below(self.destination),
                         {"a/b/1.dat": b"n<>m<>04/05/10 12:30<>x<>" + long_title + b"\n"})
        self.assertFalse(os.path.exists(os.path.join(self.destination, "a/b/c")))

    def test_nothing_of_a_later_thread_follows_the_stop(self):
        # Stopped in the middle of a folder's listing: the threads before the
        # broken one are converted, and nothing of the next one, itself large
        # and broken, is shown or written; a stale copy after the stop is left.
        folder = os.path.join(self.source, "h/b")
        for number in range(12):
            self.thread(f"h/b/{1000 + number}.dat", b"n<>m<>2004/05/10 12:34:56<>x<>t%d\nsecond<>\n" % number)
        self.thread("h/c/1.dat", FIRST + b"\n")
        listing = self.listing_order("h/b")
        broken, after, stale = listing[6], listing[7], listing[9]
        long_title = b"t" * 102
        self.thread("h/b/" + broken, b"n<>m<>04/05/10 12:30<>x<>" + long_title + b"\nsecond<>\n")
        self.thread("h/b/" + after, b"n<>m<>04/05/10 12:30<>x<>" + b"u" * 200 + b"\n" + b"n<><><>body<>\n" * 200000)
        write(os.path.join(self.destination, "h/b", stale), b"stale")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)

        def title(name):
            return b"t%d" % (int(name[:-4]) - 1000)

        def url(name):
            return f"http://h/test/read.cgi/b/{name[:-4]}/"

        before = listing[:6]
        self.assertEqual((rc, err), (0, BANNER + summary(len(before), 0, 0)))
        self.assertEqual(out, b"".join(progress(os.path.join(folder, name)) + completion(title(name), url(name))
                                       for name in before) +
                         progress(os.path.join(folder, broken)) + sj("ログが壊れているっぽ→このあたり:") + long_title +
                         b"\n" + PROMPT)
        expected = {"h/b/" + stale: b"stale", "h/b/" + broken: b"n<>m<>04/05/10 12:30<>x<>" + long_title + b"\n"}
        for name in before:
            expected["h/b/" + name] = b"n<>m<>2004/05/10 12:34:56<>x<>" + title(name) + b"\nsecond<>\n"
            expected["h/b/" + name[:-4] + ".idx"] = index(title(name), url(name), 2, "2004/05/10", "12:34:56",
                                                          "Mon, 10 May 2004 03:34:56 GMT")
        self.assertEqual(files_below(self.destination), expected)

    def test_console_of_many_groups_is_in_the_order_of_the_threads(self):
        # Threads are committed in groups of 384: a copy and an index that
        # cannot be named fail at a group's commit, yet their lines stand where
        # the threads were met, among the lines of the threads after them, on
        # both streams; so does a broken title in the middle of a group. The
        # second group's lines, over 32 KiB of one stream, take more than one write.
        folder = os.path.join(self.source, "h/b")
        for number in range(1000):
            self.thread(f"h/b/{2000 + number}.dat", b"n<>m<>2004/05/10 12:34:56<>x<>t%d\nsecond<>\n" % number)
        os.mkfifo(os.path.join(folder, "fifo.dat"))
        listing = self.listing_order("h/b")
        regular = [name for name in listing if name != "fifo.dat"]
        copy_blocked, index_blocked, broken = regular[100], regular[300], regular[930]
        long_title = b"t" * 102
        self.thread("h/b/" + broken, b"n<>m<>04/05/10 12:30<>x<>" + long_title + b"\n")
        os.makedirs(os.path.join(self.destination, "h/b", copy_blocked))
        os.makedirs(os.path.join(self.destination, "h/b", index_blocked[:-4] + ".idx"))
        self.seal_source()
        env = dict(os.environ, **STAMP_ZONE)
        command = [TOOL, native(self.source), native(self.destination)]
        if WINE is not None:
            command.insert(0, WINE)
            env["WINEDEBUG"] = "-all"
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=env, timeout=120)
        refused = cause("アクセスが拒否されました", None, 5) if WINE is not None else system_error(errno.EISDIR)
        failures = {
            "fifo.dat": sj("スレッドファイルを読めないため、移行しませんでした: ") +
            native(os.path.join(folder, "fifo.dat")).encode() + sj(" (通常のファイルではありません)\n"),
            copy_blocked: sj("ログのコピーを書き込めないため、移行しませんでした: ") +
            native(os.path.join(self.destination, "h/b", copy_blocked)).encode() + refused,
            index_blocked: sj("インデックスファイルを書き込めないため、移行しませんでした: ") +
            native(os.path.join(self.destination, "h/b", index_blocked[:-4] + ".idx")).encode() + refused,
        }
        expected = BANNER
        before = listing[:listing.index(broken)]
        for name in before:
            title = b"t%d" % (int(name[:-4]) - 2000) if name != "fifo.dat" else b""
            expected += progress(os.path.join(folder, name)) + failures.get(
                name, completion(title, f"http://h/test/read.cgi/b/{name[:-4]}/"))
        expected += progress(os.path.join(folder, broken)) + sj("ログが壊れているっぽ→このあたり:") + long_title + b"\n"
        failed = [failures[name] for name in before if name in failures]
        expected += FAILURES_AGAIN + b"".join(failed) + summary(len(before) - len(failed), 0, len(failed)) + PROMPT
        self.assertEqual(done.returncode, 1)
        self.assertEqual(console_lines(done.stdout), expected)

    def listing_order(self, rel):
        """The order the tool meets the threads of a folder in, as its own progress lines give it."""
        scratch = tempfile.mkdtemp(dir=self.root)
        _, out, _ = run(self.source, scratch)
        shutil.rmtree(scratch)
        listing = [path[len(rel) + 1:] for path in walk_order(out, self.source) if path.startswith(rel + "/")]
        self.assertEqual(sorted(listing), sorted(os.listdir(os.path.join(self.source, rel))))
        return listing

    def test_one_stem_in_two_letter_cases_is_converted_once(self):
        if WINE is not None:
            self.skipTest("Windows takes the two names for one file")
        for name in ("1.dat", "7.DAT", "7.dat"):
            self.thread("h/b/" + name, FIRST + b"\n")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(2, 1, 0)))
        copied = next(name for name in self.listing_order("h/b") if name[:-4] == "7")
        expected = {}
        for name in ("1.dat", copied):
            expected["h/b/" + name] = FIRST + b"\n"
            expected["h/b/" + name[:-4] + ".idx"] = index(TITLE, f"http://h/test/read.cgi/b/{name[:-4]}/", 1,
                                                          "2004/05/10", "12:30:59", "Mon, 10 May 2004 03:30:59 GMT")
        self.assertEqual(files_below(self.destination), expected)

    def test_date_and_time_come_from_the_last_posts_across_blocks(self):
        lines = [b"n<>m<>2004/05/10 12:34:56<>body<>title",
                 b"n<>m<>2005/06/07 01:02:03<>" + b"y" * 300000 + b"<>",
                 b"n<>m<>2005/06/07(Tue) 04:05:06<>" + b"z" * 200000 + b"<>",
                 b"x",
                 b"n<>m<>\0 2009/01/01 00:00:00<>x"]
        self.thread("h/b/5.dat", b"\r\n".join(lines) + b"\r\n")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(1, 0, 0)))
        self.assertEqual(files_below(self.destination), {
            "h/b/5.dat": b"\n".join(lines[:3] + [b"n<>m<>"]) + b"\n",
            "h/b/5.idx": index(b"title", "http://h/test/read.cgi/b/5/", 4, "2005/06/07", "04:05:06",
                               "Mon, 06 Jun 2005 19:05:06 GMT"),
        })

    def test_lines_across_many_blocks_are_copied_exactly(self):
        # About 8 MB of lines of all kinds, so that lines straddle the edges
        # of the read and the write buffers many times over.
        rng = random.Random(7)
        kinds = [b"", b"x", b"\r", b"ab", b"c\rd", b"n<>m<>2004/05/10 12:34:56<>"]
        data, expected, count = [FIRST + b"\n"], [FIRST + b"\n"], 1
        for _ in range(20000):
            line = rng.choice(kinds) + b"w" * rng.choice([0, 1, rng.randint(2, 150), rng.randint(150, 3000)])
            end = rng.choice([b"\n", b"\r\n"])
            data.append(line + end)
            text = line[:-1] if end == b"\n" and line.endswith(b"\r") else line
            if len(text) >= 2:
                expected.append(text + b"\n")
                count += 1
        last = b"n<>m<>2006/01/02 03:04:05<>end<>"
        data.append(last)
        expected.append(last + b"\n")
        self.thread("h/b/9.dat", b"".join(data))
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(1, 0, 0)))
        files = files_below(self.destination)
        self.assertEqual(sorted(files), ["h/b/9.dat", "h/b/9.idx"])
        self.assertEqual(files["h/b/9.idx"], index(TITLE, "http://h/test/read.cgi/b/9/", count + 1, "2006/01/02",
                                                   "03:04:05", "Sun, 01 Jan 2006 18:04:05 GMT"))
        copy, wanted = files["h/b/9.dat"], b"".join(expected)
        if copy != wanted:  # a plain comparison would print megabytes
            differs = next((at for at, (a, b) in enumerate(zip(copy, wanted)) if a != b), min(len(copy), len(wanted)))
            self.fail(f"the copy has {len(copy)} bytes, {len(wanted)} expected, and differs from byte {differs}: "
                      f"{copy[differs:differs + 40]!r} for {wanted[differs:differs + 40]!r}")

    def test_exactly_101_bytes_is_a_title(self):
        title = b"u" * 101
        self.thread("z/b/4.dat", b"n<>m<>d t<>x<>" + title + b"\n")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 0)
        self.assertEqual(read(os.path.join(self.destination, "z/b/4.idx")),
                         index(title, "http://z/test/read.cgi/b/4/", 1, "", "t", ""))


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "Log")
# Each thread of the sample log folder: its title and URL.
EXAMPLE_THREADS = {
    "bbs.example.net/game/board/1200000000.dat":
        ("深い板のスレッド", "http://bbs.example.net/test/read.cgi/game/board/1200000000/"),
    "news.example.jp/news/1083456789.dat":
        ("ニュース速報テスト", "http://news.example.jp/test/read.cgi/news/1083456789/"),
    "news.example.jp/news/1090000000.dat":
        ("四桁の年のスレッド", "http://news.example.jp/test/read.cgi/news/1090000000/"),
    "news.example.jp/tech/1100000000.dat": ("C++で書くツール", "http://news.example.jp/test/read.cgi/tech/1100000000/"),
}


def walk_order(out, source):
    """The threads in the order the tool met them, as its progress lines give them."""
    folder = native(source).replace("\\", "/") + "/"
    paths = [line[len(sj("変換中:")):].decode().replace("\\", "/") for line in out.splitlines()
             if line.startswith(sj("変換中:"))]
    return [path[len(folder):] for path in paths if path.startswith(folder)]


class SampleLogFolder(ToolCase):
    def test_whole_dialogue_of_the_sample(self):
        source = os.path.abspath(EXAMPLES)
        rc, out, err = run(source, self.destination)
        order = walk_order(out, source)
        self.assertEqual(sorted(order), sorted(EXAMPLE_THREADS))
        expected = b""
        for rel in order:
            title, url = EXAMPLE_THREADS[rel]
            expected += progress(os.path.join(source, rel)) + completion(sj(title), url)
        self.assertEqual((rc, out, err), (0, expected + PROMPT, BANNER + summary(4, 0, 0)))
        self.assertEqual(sorted(files_below(self.destination)),
                         sorted(rel[:-4] + end for rel in EXAMPLE_THREADS for end in (".dat", ".idx")))


class Utf8Console(ToolCase):
    def test_texts_and_titles_in_utf8_paths_and_files_unconverted(self):
        if WINE is not None:
            self.skipTest("the Windows console is always Shift_JIS")
        board = sj("板")
        title = sj("テスト") + b"\x81 ok"  # a lead byte without its trail byte
        self.thread(os.path.join("h", os.fsdecode(board), "1.dat"), b"a<>b<>c d<>e<>" + title + b"\n")
        self.seal_source()
        rc, out, err = run(self.source, self.destination, locale="C.UTF-8")
        self.assertEqual(rc, 0)
        path = self.source.encode() + b"/h/" + board + b"/1.dat"
        url = b"http://h/test/read.cgi/" + board + b"/1/"
        utf8 = lambda text: text.encode("utf-8")
        self.assertEqual(out, utf8("変換中:") + path + b"\n" + utf8("「テスト\ufffd ok」(") + url +
                         utf8(")を移行しました\nリターンキーを押してください\n"))
        self.assertEqual(err, BANNER + utf8("移行したスレッド: 1件、移行済みのためとばしたスレッド: 0件、失敗したスレッド: 0件\n"))
        folder = os.path.join(self.destination.encode(), b"h", board)
        self.assertEqual(read(os.path.join(folder, b"1.dat")), b"a<>b<>c d<>e<>" + title + b"\n")
        self.assertEqual(read(os.path.join(folder, b"1.idx")), index(title, url, 1, "", "d", ""))


class Failures(ToolCase):
    def test_thread_in_root_and_unreadable_thread_are_reported(self):
        self.thread("top.dat", FIRST + b"\n")
        os.makedirs(os.path.join(self.source, "h/b"))
        os.mkfifo(os.path.join(self.source, "h/b/pipe.dat"))
        unreadable = [("h/b/pipe.dat", sj(" (通常のファイルではありません)\n"))]
        if WINE is None:
            os.symlink("nowhere", os.path.join(self.source, "h/b/gone.dat"))
            unreadable.append(("h/b/gone.dat", cause("見つかりません", errno.ENOENT)))
        else:  # a name Windows keeps for a device is a thread of that name too
            self.thread("h/b/aux.dat", FIRST + b"\n")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 1)
        self.assertIn(sj("板のフォルダの外にあるスレッドなので、移行しません: ") +
                      native(os.path.join(self.source, "top.dat")).encode() + b"\n", err)
        for rel, why in unreadable:
            self.assertIn(sj("スレッドファイルを読めないため、移行しませんでした: ") +
                          native(os.path.join(self.source, rel)).encode() + why, err)
        self.assertTrue(err.endswith(summary(0 if WINE is None else 1, 0, len(unreadable))))
        self.assertEqual(set(files_below(self.destination)), set() if WINE is None else {"h/b/aux.dat", "h/b/aux.idx"})

    def test_thread_and_folder_without_read_permission_are_reported(self):
        if os.geteuid() != 0 or WINE is not None:
            self.skipTest("needs root to run the tool as another user, and a POSIX program")
        nobody = 65534
        self.thread("h/b/1.dat", FIRST + b"\n")
        self.thread("h/b/2.dat", SECOND + b"\n")
        self.thread("h/b/closed/3.dat", SECOND + b"\n")
        os.chmod(os.path.join(self.source, "h/b/1.dat"), 0)
        os.chmod(os.path.join(self.source, "h/b/closed"), 0)
        os.chmod(self.root, 0o755)
        os.chown(self.destination, nobody, nobody)
        # A copy of the tool that the other user can reach wherever the
        # checkout lies (a clone in root's home folder is closed to it).
        tool = os.path.join(self.root, "tool")
        shutil.copy2(TOOL, tool)
        self.seal_source()
        rc, out, err = run(self.source, self.destination, user=nobody, tool=tool, cwd=self.root)
        self.assertEqual(rc, 1)
        # The failures are repeated before the summary, and the folder is
        # counted apart from the threads.
        failures = (sj("スレッドファイルを読めないため、移行しませんでした: ") +
                    os.path.join(self.source, "h/b/1.dat").encode() + cause("アクセスが拒否されました", errno.EACCES) +
                    sj("フォルダを開けないため、その中は移行しませんでした: ") +
                    os.path.join(self.source, "h/b/closed").encode() + cause("アクセスが拒否されました", errno.EACCES))
        self.assertEqual(err, BANNER + failures + FAILURES_AGAIN + failures + summary(1, 0, 1, folders=1))
        self.assertEqual(set(files_below(self.destination)), {"h/b/2.dat", "h/b/2.idx"})

    def test_names_of_any_character_and_length(self):
        # Under Wine with the Japanese and the Western code page alike: a destination beside a
        # look-alike, boards the code pages lack, a destination of 200 characters and a thread past
        # 300; only a URL Shift_JIS lacks fails. A backslash byte in Shift_JIS splits no URL.
        name = (lambda text: text) if WINE is not None else (lambda text: os.fsdecode(sj(text)))
        self.thread(os.path.join("h", name("ソフト"), name("表") + ".dat"), FIRST + b"\n")
        url = sj("http://h/test/read.cgi/ソフト/表/")
        expected = {os.path.join("h", name("ソフト"), name("表") + ".dat"): FIRST + b"\n",
                    os.path.join("h", name("ソフト"), name("表") + ".idx"): index(TITLE, url, 1, "2004/05/10",
                                                                           "12:30:59", "Mon, 10 May 2004 03:30:59 GMT")}
        destination, failed = self.destination, []
        if WINE is not None:
            if "ja_JP.utf8" not in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout:
                self.fail("Wine's Japanese code page needs the ja_JP.UTF-8 locale (see the README)")
            deep = os.path.join("h", "a" * 100, "b" * 100, "c" * 100, "1.dat")
            for rel in ("h/cafe/1.dat", "h/café/1.dat", "h/한국/1.dat", deep):
                self.thread(rel, SECOND + b"\n")
            for rel in ("h/cafe/1", deep[:-4]):
                expected[rel + ".dat"] = SECOND + b"\n"
                expected[rel + ".idx"] = index(b"", "http://h/test/read.cgi/" + rel[2:].replace(os.sep, "/") + "/", 1,
                                               "2004/05/10", "12:34:56", "Mon, 10 May 2004 03:34:56 GMT")
            destination = os.path.join(self.root, "café", "ロ" * 60, "グ" * 60, "フォルダ" * 15)
            os.makedirs(destination)
            os.makedirs(destination.replace("café", "cafe"))
            failed = [sj("インデックスファイルを書き込めないため、移行しませんでした: ") +
                      native(os.path.join(destination, "h", board, "1.idx")).encode("cp932", "replace") +
                      sj(" (URLにShift_JISで書けない文字があります)\n") for board in ("café", "한국")]
        self.seal_source()
        # Folders given with a separator at their end get no second one in the lines or the URLs.
        for locale, end in (("ja_JP.UTF-8", ""), ("C.UTF-8", "/")) if WINE is not None else (("C", "/"),):
            for passed in (0, len(expected) // 2):
                rc, out, err = run(self.source + end, destination + end, locale=locale)
                self.assertEqual((rc, files_below(destination)), (1 if failed else 0, expected), err)
                self.assertEqual(sorted(err.splitlines(keepends=True)[1:-1]),
                                 sorted(failed * 2 + ([FAILURES_AGAIN] if failed else [])))
                self.assertTrue(err.endswith(summary(len(expected) // 2 - passed, passed, len(failed))))
                self.assertEqual(out.count(sj("を移行しました")), len(expected) // 2 - passed)
            shutil.rmtree(destination)
            os.makedirs(destination)
        self.assertEqual(files_below(os.path.join(self.root, "cafe")), {})

    def test_long_roots_and_folders_given_as_powershell_gives_them(self):
        # Roots of about 300 characters, whose final paths Wine cannot tell, as
        # Windows cannot on some shares and volumes; then the command line as
        # PowerShell 5.1 writes folders ending in a backslash and holding a
        # space, "...\Morvo Log\", beside the same folders escaped the usual way.
        if WINE is None:
            self.skipTest("Windows's paths and command line")
        source = os.path.join(self.root, "m" * 140, "Morvo Log " + "g" * 140)
        destination = os.path.join(self.root, "t" * 140, "Tessiva Log " + "g" * 140)
        write(os.path.join(source, "h", "b", "1.dat"), FIRST + b"\r\n")
        os.makedirs(os.path.join(source, "h", "inner"))
        os.makedirs(destination)
        before = snapshot(source)
        expected = {"h/b/1.dat": FIRST + b"\n",
                    "h/b/1.idx": index(TITLE, "http://h/test/read.cgi/b/1/", 1, "2004/05/10", "12:30:59",
                                       "Mon, 10 May 2004 03:30:59 GMT")}
        inner = os.path.join(source, "h", "inner")
        self.assertEqual(run(source, inner), (1, PROMPT, BANNER + sj("TessivaのLogフォルダがMorvoのLogフォルダの中にあります: ") +
                                              f"{native(source)} {native(inner)}\n".encode()))
        shown = progress(os.path.join(source, "h", "b", "1.dat"))
        converted = shown + completion(TITLE, "http://h/test/read.cgi/b/1/") + PROMPT
        self.assertEqual(run(source, destination), (0, converted, BANNER + summary(1, 0, 0)))
        self.assertEqual(files_below(destination), expected)
        shutil.rmtree(os.path.join(destination, "h"))
        for end, passed in (("\\", 0), ("\\\\", 1)):
            line = f'"{native(TOOL)}" "{native(source)}{end}" "{native(destination)}{end}"'
            env = dict(os.environ, **STAMP_ZONE, WINEDEBUG="-all", M2T_COMMAND_LINE=line)
            done = subprocess.run([WINE, LAUNCHER], capture_output=True, env=env, timeout=120)
            self.assertEqual((done.returncode, console_lines(done.stdout), console_lines(done.stderr)),
                             (0, shown + PROMPT if passed else converted, BANNER + summary(1 - passed, passed, 0)),
                             line)
            self.assertEqual(files_below(destination), expected)
        self.assertEqual(snapshot(source), before)

    def test_copy_that_is_the_source_is_not_written(self):
        self.thread("h/b/1.dat", FIRST + b"\n\n")
        os.makedirs(os.path.join(self.destination, "h/b"))
        os.link(os.path.join(self.source, "h/b/1.dat"), os.path.join(self.destination, "h/b/1.dat"))
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 1)
        self.assertIn(sj("コピー先がコピー元と同じファイルなので、移行しませんでした: "), err)
        self.assertEqual(files_below(self.destination), {"h/b/1.dat": FIRST + b"\n\n"})

    def test_link_at_the_copy_is_replaced_not_written_through(self):
        self.thread("h/b/1.dat", FIRST + b"\n")
        self.thread("h/b/2.dat", SECOND + b"\n")
        self.thread("h/notes.txt", b"kept as it is")
        os.makedirs(os.path.join(self.destination, "h/b"))
        # The link leads to a source file that no thread is reading: Wine takes a
        # Unix link for its target and will not replace a file another thread has open.
        os.symlink(os.path.join(self.source, "h/notes.txt"), os.path.join(self.destination, "h/b/1.dat"))
        # Links to nowhere, at a copy and at an index, are replaced too, and
        # nothing appears where they led.
        nowhere = os.path.join(self.root, "nowhere.dat")
        nowhere_index = os.path.join(self.root, "nowhere.idx")
        os.symlink(nowhere, os.path.join(self.destination, "h/b/2.dat"))
        os.symlink(nowhere_index, os.path.join(self.destination, "h/b/2.idx"))
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 0)
        self.assertEqual(read(os.path.join(self.destination, "h/b/1.dat")), FIRST + b"\n")
        self.assertEqual(read(os.path.join(self.destination, "h/b/2.dat")), SECOND + b"\n")
        self.assertFalse(os.path.islink(os.path.join(self.destination, "h/b/2.idx")))
        self.assertIn(b"http://h/test/read.cgi/b/2/", read(os.path.join(self.destination, "h/b/2.idx")))
        self.assertFalse(os.path.lexists(nowhere) or os.path.lexists(nowhere_index))

    def test_read_only_stale_copy_is_replaced(self):
        self.thread("h/b/1.dat", FIRST + b"\n")
        stale = os.path.join(self.destination, "h/b/1.dat")
        write(stale, b"stale and read-only\n")
        os.chmod(stale, 0o444)
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, err), (0, BANNER + summary(1, 0, 0)))
        self.assertEqual(files_below(self.destination), {
            "h/b/1.dat": FIRST + b"\n",
            "h/b/1.idx": index(TITLE, "http://h/test/read.cgi/b/1/", 1, "2004/05/10", "12:30:59", "Mon, 10 May 2004 03:30:59 GMT"),
        })

    def test_links_in_the_source_keep_the_walk_finite(self):
        self.thread("h/b/1.dat", FIRST + b"\n")
        os.symlink(self.source, os.path.join(self.source, "h/loop"))
        os.symlink(self.destination, os.path.join(self.source, "h/out"))
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 0)
        self.assertIn(sj("すでにたどっているフォルダへのリンクなので、たどりません: "), err)
        self.assertIn(sj("TessivaのLogフォルダの中を指すフォルダなので、たどりません: "), err)
        self.assertEqual(set(files_below(self.destination)), {"h/b/1.dat", "h/b/1.idx"})

    def test_destination_folder_leading_into_the_source_is_not_written(self):
        self.thread("h/b/1.dat", FIRST + b"\n")
        os.symlink(os.path.join(self.source, "h"), os.path.join(self.destination, "h"))
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual((rc, out), (1, PROMPT))
        failure = (sj("MorvoのLogフォルダの中を指すフォルダなので、書き込みません: ") +
                   native(os.path.join(self.destination, "h")).encode() + b"\n")
        self.assertEqual(err, BANNER + failure + FAILURES_AGAIN + failure + summary(0, 0, 0, folders=1))

    def test_fewer_open_files_allowed_make_smaller_groups(self):
        if WINE is not None:
            self.skipTest("a POSIX limit")
        for number in range(300):
            self.thread(f"h/b/{number}.dat", FIRST + b"\n")
        self.seal_source()
        # 150 allowed leave 86 for a group: 43 threads, each with its copy
        # and its index record open.
        rc, out, err = run(self.source, self.destination, open_files=150)
        self.assertEqual((rc, err), (0, BANNER + summary(300, 0, 0)))
        self.assertEqual(len(files_below(self.destination)), 600)

    def test_missing_destination_folder_fails_each_thread(self):
        for number in range(53):
            self.thread(f"h/b/{number}.dat", FIRST + b"\n")
        write(os.path.join(self.destination, "h"), b"a file where a folder should be")
        self.seal_source()
        rc, out, err = run(self.source, self.destination)
        self.assertEqual(rc, 1)
        # The summary repeats the first 50 failures and counts the others.
        failed = [line + b"\n" for line in err.split(b"\n") if line.startswith(sj("ログのコピーを書き込めないため"))]
        self.assertEqual(len(failed), 53 + 50)
        self.assertEqual(err, BANNER + b"".join(failed[:53]) + FAILURES_AGAIN + b"".join(failed[:50]) +
                         sj("ほかに3件あります（上に表示したとおりです）\n") + summary(0, 0, 53))
        self.assertNotIn(sj("を移行しました"), out)
        self.assertEqual(files_below(self.destination), {"h": b"a file where a folder should be"})


if __name__ == "__main__":
    if sys.argv[1] == "--wine":
        WINE = sys.argv.pop(2)
        sys.argv.pop(1)
        if sys.argv[1] == "--launcher":
            LAUNCHER = sys.argv.pop(2)
            sys.argv.pop(1)
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
