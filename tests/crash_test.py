"""Fails the tool on purpose at every file-changing system call (killed on
entry with strace) and at every write, read and flush (ENOSPC, EIO), then
requires that one more complete run leaves the destination byte-identical to a
single complete run, that no index ever stands for an incomplete copy, and
that a failed thread leaves nothing of its copy behind."""
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import end_to_end as e2e  # noqa: E402

# LeakSanitizer cannot run under a tracer; the other sanitizers still do.
TRACED_ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0", **e2e.STAMP_ZONE)
CHANGING_CALLS = ["openat", "open", "creat", "write", "pwrite64", "writev", "close", "rename", "renameat",
                  "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir", "mkdirat", "ftruncate", "fsync",
                  "fdatasync", "syncfs"]
# Where syncfs fails, each copy is flushed on its own.
WITHOUT_SYNCFS = ["--inject=syncfs:error=EIO"]
FULL = e2e.sj("TessivaのLogフォルダのディスクがいっぱいになったため、ここで止めました。"
              "空きを作ってからもう一度実行すれば、残りを移行します\n")
DESTINATION_GONE = e2e.sj("TessivaのLogフォルダのディスクに書き込めなくなったため、ここで止めました。"
                          "ディスクが使えるようになってからもう一度実行すれば、残りを移行します\n")
SOURCE_GONE = e2e.sj("MorvoのLogフォルダのディスクを読めなくなったため、ここで止めました。"
                     "ディスクが使えるようになってからもう一度実行すれば、残りを移行します\n")
FAILED = e2e.sj("移行しませんでした")
# The tool names its probe files after its process number. Run in a PID
# namespace of its own, with strace the only process before it, the tool gets
# the same number every time, so -P can be given the probes' paths.
OWN_PIDS = ["unshare", "--pid", "--fork"] + ([] if os.geteuid() == 0 else ["--user", "--map-root-user"])


def build_source(source):
    sj = e2e.sj
    e2e.write(os.path.join(source, "h1/news/1.dat"), e2e.FIRST + b"\r\n\r\n" + e2e.SECOND + b"\r\n")
    e2e.write(os.path.join(source, "h1/news/2.dat"), b"")
    e2e.write(os.path.join(source, "h1/news/3.dat"), b"n<>m<>04/05/10 12:00<>" + b"L" * 300000 + b"<>long\n")
    e2e.write(os.path.join(source, "h1/tech/4.dat"), sj("名無し<><>2004/07/16 18:20:00<>本文<>技術\n") + b"x\n")
    e2e.write(os.path.join(source, "h2/a/b/5.dat"), e2e.FIRST + b"\n")
    e2e.write(os.path.join(source, "h2/a/b/6.dat"), e2e.SECOND + b"\n")


# What an earlier run left: 6.dat indexed, and copies of 4.dat and 5.dat
# without an index, in two folders, which are replaced through temporary names.
PREPARED = {"h2/a/b/6.dat": b"copied before", "h2/a/b/6.idx": b"indexed before", "h1/tech/4.dat": b"stale copy",
            "h2/a/b/5.dat": b"stale copy"}


def prepare_destination(destination):
    if os.path.exists(destination):
        shutil.rmtree(destination)
    for rel, data in PREPARED.items():
        e2e.write(os.path.join(destination, rel), data)


def strace(options, source, destination, log="/dev/null", own_pids=False):
    command = [*(OWN_PIDS if own_pids else []), "strace", "-o", log, *options, e2e.TOOL, source, destination]
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)


def traced_calls(source, destination, calls, options=()):
    """The calls of one complete run in order, each with the path of the file
    it works on where it works on an open file: the tool is one thread, so
    strace counts each call the same way when it injects a fault."""
    prepare_destination(destination)
    log = destination + ".trace"
    command = ["strace", "-y", "-o", log, "-e", "trace=" + ",".join(calls), *options, e2e.TOOL, source,
               destination]
    subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)
    traced = []
    with open(log, errors="replace") as trace:
        for line in trace:
            match = re.match(r"(\w+)\((?:\d+<([^>]*)>)?", line)
            if match:
                traced.append(match.groups())
    os.remove(log)
    return traced


def paths_below(root, written=False):
    """The root and every path below it; with `written`, also the temporary
    names the tool may write there, its first probes' included."""
    paths = [root]
    for rel, kind in e2e.snapshot(root).items():
        paths.append(os.path.join(root, rel))
        if written and kind != "folder":
            paths.append(os.path.join(root, rel + ".m2t-tmp"))
    if written:
        paths += [os.path.join(root, f".m2t-probe-{probe_process()}-{count}.m2t-tmp") for count in range(1, 5)]
    return paths


def probe_process():
    """The process number in the tool's probe names, in its PID namespace."""
    with tempfile.TemporaryDirectory() as work:
        for folder in ("morvo", "tessiva"):
            os.makedirs(os.path.join(work, folder))
        log = os.path.join(work, "trace")
        subprocess.run([*OWN_PIDS, "strace", "-o", log, "-e", "trace=openat", e2e.TOOL, os.path.join(work, "morvo"),
                        os.path.join(work, "tessiva")], stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60, check=True)
        with open(log) as trace:
            return re.search(r"\.m2t-probe-(\d+)-", trace.read()).group(1)


def calls_on(paths, source, destination):
    """The names of the calls of one complete run, in order, that name one of
    the paths or work on a file open there (strace -P)."""
    prepare_destination(destination)
    log = destination + ".trace"
    subprocess.run([*OWN_PIDS, "strace", "-o", log, *("-P" + path for path in paths), e2e.TOOL, source, destination],
                   stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)
    with open(log) as trace:
        calls = [match.group(1) for match in map(re.compile(r"(\w+)\(").match, trace) if match]
    os.remove(log)
    return calls


def failing_from(paths, calls, start, error):
    """strace options that fail every call on the paths from calls[start] on,
    also those that only a failure brings: strace counts only the calls -P
    lets through, each name on its own."""
    options = ["-P" + path for path in paths]
    for name in sorted(set(calls) | set(CHANGING_CALLS) | {"read", "getdents64", "newfstatat", "fstatfs"}):
        options.append(f"--inject={name}:error={error}:when={calls[:start].count(name) + 1}+")
    return options


def first_of_each(calls, after):
    """The place of the first call of each name from the first `after` call on."""
    start = calls.index(after)
    return sorted({calls.index(name, start) for name in calls[start:]})


def numbered(traced):
    """Each call with its number among the calls of its name, from 1."""
    seen = {}
    for call, path in traced:
        seen[call] = seen.get(call, 0) + 1
        yield call, seen[call], path


class InjectedFailures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.source = os.path.join(cls.work.name, "morvo")
        cls.destination = os.path.join(cls.work.name, "tessiva")
        build_source(cls.source)
        cls.sealed = e2e.snapshot(cls.source)
        prepare_destination(cls.destination)
        rc, _, _ = e2e.run(cls.source, cls.destination)
        assert rc == 0
        cls.reference = e2e.files_below(cls.destination)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def check_consistent(self, context):
        """Every index that exists stands for a complete copy and is itself complete."""
        files = e2e.files_below(self.destination)
        for name, data in files.items():
            if name.endswith(".idx"):
                self.assertEqual(data, self.reference[name], context)
                self.assertEqual(files[name[:-4] + ".dat"], self.reference[name[:-4] + ".dat"], context)

    def check_nothing_left_of_failed_copies(self, stderr, context, replaced=False):
        """A thread reported as failed, by its copy or by its index record,
        keeps no copy of this run, whole or partial: what was there before,
        or nothing where its copy had already replaced that when the flush of
        the folder failed. No temporary file is left anywhere."""
        files = e2e.files_below(self.destination)
        self.assertEqual([name for name in files if name.endswith(".m2t-tmp")], [], context)
        failed = re.findall(r"移行しませんでした: (\S+) \(", stderr.decode("cp932"))
        self.assertTrue(failed, context)
        for path in failed:
            root = self.destination if path.startswith(self.destination + "/") else self.source
            rel = os.path.relpath(path, root)
            if rel.endswith(".idx"):
                rel = rel[:-4] + ".dat"
            if rel.endswith(".dat"):
                self.assertIn(files.get(rel), (PREPARED.get(rel), None) if replaced else (PREPARED.get(rel),),
                              context + rel)

    def finish_and_compare(self, context):
        rc, _, err = e2e.run(self.source, self.destination)
        self.assertEqual(rc, 0, context + err.decode("cp932", "replace"))
        self.assertEqual(e2e.files_below(self.destination), self.reference, context)
        self.assertEqual(e2e.snapshot(self.source), self.sealed, context)

    def test_killed_at_every_changing_call(self):
        points = list(numbered(traced_calls(self.source, self.destination, CHANGING_CALLS)))
        for call, when, _ in points:
            context = f"killed at {call} #{when}: "
            prepare_destination(self.destination)
            done = strace([f"--inject={call}:signal=KILL:when={when}"], self.source, self.destination)
            self.assertEqual(done.returncode, -9, context + "the run was not killed there")
            self.check_consistent(context)
            self.finish_and_compare(context)
        print(f"\nkill points: {len(points)}", file=sys.stderr)
        self.assertGreater(len(points), 50)

    def failure_points(self, calls, options=()):
        """The calls of a traced run that work on a file of the source or the
        destination, each as strace options that fail it, and a context.
        (strace injects only into calls it traces, so syncfs is traced too.)"""
        points = []
        traced = traced_calls(self.source, self.destination, [*calls, "syncfs"], options)
        for call, when, path in numbered(traced):
            if call in calls and path and path.startswith((self.destination + "/", self.source + "/")):
                error = "ENOSPC" if call == "write" else "EIO"
                points.append((call, path, [*options, f"--inject={call}:error={error}:when={when}"],
                               f"{error} at {call} #{when}{' without syncfs' if options else ''}: "))
        return points

    def test_full_disk_at_every_write_and_errors_at_every_read_and_flush(self):
        calls = ["write", "read", "fsync", "fdatasync", "syncfs"]
        points = self.failure_points(calls) + self.failure_points(["fdatasync"], WITHOUT_SYNCFS)
        self.assertEqual({call for call, _, _, _ in points}, set(calls))
        for call, path, options, context in points:
            prepare_destination(self.destination)
            done = strace(options, self.source, self.destination)
            # The file that asks, before anything is written, whether the
            # destination takes one, lies in its root: the run is refused.
            if os.path.dirname(path) == self.destination:
                self.assertEqual(done.returncode, 1, context)
                self.assertIn(e2e.sj("TessivaのLogフォルダに書き込めません: ") + self.destination.encode() +
                              e2e.system_error(errno.EIO), done.stderr, context)
                self.assertEqual(e2e.files_below(self.destination), PREPARED, context)
                continue
            # Each file's own flush then confirms it; and an index that cannot
            # be read may be the reader's own and is left alone: nothing fails.
            if call == "syncfs" or path.endswith(".idx"):
                self.assertEqual(done.returncode, 0, context + done.stderr.decode("cp932", "replace"))
                self.assertEqual(e2e.files_below(self.destination), self.reference, context)
                continue
            self.assertIn("移行しませんでした".encode("cp932"), done.stderr, context + "the failure was not reported")
            self.assertEqual(done.returncode, 1, context)
            # A full destination stops the run after the thread; any other failure does not.
            self.assertEqual(FULL in done.stderr, call == "write", context)
            self.check_consistent(context)
            self.check_nothing_left_of_failed_copies(done.stderr, context, replaced=call == "fsync")
            self.finish_and_compare(context)
        print(f"\nfailure points: {len(points)}", file=sys.stderr)
        self.assertGreater(len(points), 10)
        # The file that asks is flushed, since a disk gone may still take a
        # new file in the folders the system holds; a disk full from the start
        # fails that file, and the run converts what fits.
        self.assertIn(("fdatasync", self.destination), {(call, os.path.dirname(path)) for call, path, _, _ in points})
        prepare_destination(self.destination)
        log = self.destination + ".trace"
        subprocess.run(["strace", "-o", log, "-e", "trace=openat", e2e.TOOL, self.source, self.destination],
                       stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)
        with open(log) as trace:
            when = 1 + [line.startswith("openat(") and ".m2t-probe-" in line for line in trace].index(True)
        os.remove(log)
        prepare_destination(self.destination)
        done = strace([f"--inject=openat:error=ENOSPC:when={when}"], self.source, self.destination)
        self.assertEqual(done.returncode, 0, done.stderr.decode("cp932", "replace"))
        self.assertEqual(e2e.files_below(self.destination), self.reference)

    def check_stopped_by_a_disk_gone(self, done, stop_line, context):
        """One line says which disk went, one thread or folder is reported,
        every index stands for its whole copy, and one more run completes."""
        self.assertEqual(done.returncode, 1, context + done.stderr.decode("cp932", "replace"))
        self.assertEqual(done.stderr.count(stop_line), 1, context + done.stderr.decode("cp932", "replace"))
        # The failure, and once more before the summary.
        self.assertEqual(done.stderr.count(FAILED), 2, context + done.stderr.decode("cp932", "replace"))
        self.check_consistent(context)
        self.finish_and_compare(context)

    def test_a_destination_that_goes_away_stops_the_run(self):
        # From a point on, every call on the destination fails, as on a disk
        # unplugged, a file system turned read-only, or one whose root fails
        # too; from the first call of each kind once the walk began.
        paths = paths_below(self.destination, written=True)
        calls = calls_on(paths, self.source, self.destination)
        points = first_of_each(calls, "mkdir")
        self.assertTrue({"mkdir", "openat", "write", "syncfs", "rename"} <= {calls[at] for at in points})
        for error in ("ENOTCONN", "EROFS", "EIO"):
            for start in points:
                context = f"{error} on the destination from {calls[start]} #{calls[:start].count(calls[start]) + 1}: "
                prepare_destination(self.destination)
                done = strace(failing_from(paths, calls, start, error), self.source, self.destination, own_pids=True)
                self.check_stopped_by_a_disk_gone(done, DESTINATION_GONE, context)
        # Gone at the group's flush: the first copy whose own flush fails
        # finds it (the probe then asks the disk), and no other file is
        # flushed, each of which could take long on a dropped share.
        log = self.destination + ".trace"
        prepare_destination(self.destination)
        strace(["-y", *failing_from(paths, calls, calls.index("syncfs"), "ENOTCONN")], self.source, self.destination,
               log, own_pids=True)
        with open(log) as trace:
            flushed = [line for line in trace if line.startswith("fdatasync(") and ".m2t-probe-" not in line]
        self.assertEqual(len(flushed), 1, flushed)
        os.remove(log)
        print(f"\ndestination gone at: {len(points)} points", file=sys.stderr)

    def test_a_source_that_goes_away_stops_the_run(self):
        paths = paths_below(self.source)
        calls = calls_on(paths, self.source, self.destination)
        points = first_of_each(calls, "getdents64")
        self.assertTrue({"getdents64", "openat", "read"} <= {calls[at] for at in points})
        for error in ("ENOTCONN", "EIO"):
            for start in points:
                context = f"{error} on the source from {calls[start]} #{calls[:start].count(calls[start]) + 1}: "
                prepare_destination(self.destination)
                done = strace(failing_from(paths, calls, start, error), self.source, self.destination)
                self.check_stopped_by_a_disk_gone(done, SOURCE_GONE, context)
                self.assertNotIn(DESTINATION_GONE, done.stderr)

    def test_a_file_that_fails_while_its_disk_answers_fails_its_thread_alone(self):
        thread = "h1/news/1.dat"
        expected = {rel: data for rel, data in self.reference.items() if rel not in (thread, "h1/news/1.idx")}
        for root, call in ((self.destination, "write"), (self.source, "read")):
            context = f"EIO at the {call} of {root}/{thread}: "
            prepare_destination(self.destination)
            done = strace(["-P" + os.path.join(root, thread), f"--inject={call}:error=EIO:when=1"], self.source,
                          self.destination)
            self.assertEqual(done.returncode, 1, context)
            self.assertIn(os.path.join(root, thread).encode() + e2e.system_error(errno.EIO), done.stderr, context)
            self.assertNotIn(DESTINATION_GONE, done.stderr, context)
            self.assertNotIn(SOURCE_GONE, done.stderr, context)
            self.assertEqual(e2e.files_below(self.destination), expected, context)
            self.finish_and_compare(context)

    def test_each_source_folder_is_listed_once(self):
        # A listing that reaches its end ends with a getdents64 that gives nothing.
        log = self.destination + ".trace"
        prepare_destination(self.destination)
        strace(["-y", "-e", "trace=getdents64"], self.source, self.destination, log)
        with open(log) as trace:
            ends = re.findall(r"^getdents64\(\d+<(.*)>, .*\) = 0$", trace.read(), re.MULTILINE)
        os.remove(log)
        folders = [os.path.join(self.source, rel) for rel, kind in self.sealed.items() if kind == "folder"]
        self.assertEqual(sorted(path for path in ends if path.startswith(self.source)),
                         sorted([self.source] + folders))

    def test_every_folder_moved_into_is_flushed_before_any_index_is_named(self):
        # Two stale copies, in two folders, are replaced in the group.
        log = self.destination + ".trace"
        prepare_destination(self.destination)
        subprocess.run(["strace", "-y", "-o", log, "-e", "trace=fsync,linkat,rename,renameat,renameat2", e2e.TOOL,
                        self.source, self.destination], stdin=subprocess.DEVNULL, capture_output=True,
                       env=TRACED_ENV, timeout=60)
        with open(log) as trace:
            lines = trace.read().splitlines()
        os.remove(log)
        named = [at for at, line in enumerate(lines) if re.search(r'\.idx"', line)]
        flushed = {re.search(r"<(.*)>", line).group(1): at for at, line in enumerate(lines)
                   if line.startswith("fsync(")}
        self.assertTrue(named)
        for folder in ("h1/tech", "h2/a/b"):
            self.assertLess(flushed[os.path.join(self.destination, folder)], named[0], folder)


# Threads in the FullDisk tree: more than one group.
THREADS = 500


def trace_writes(source, destination, work):
    """The copies of a traced run in the order their first write came, each
    with the number of that write among all the run's writes."""
    log = os.path.join(work, "writes.trace")
    subprocess.run(["strace", "-y", "-o", log, "-e", "trace=write", e2e.TOOL, source, destination],
                   stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=120)
    first = {}
    with open(log, errors="replace") as trace:
        for number, line in enumerate(trace, 1):
            match = re.match(r"write\(\d+<([^>]*\.dat)>", line)
            if match and match.group(1) not in first:
                first[match.group(1)] = number
    return first


class FullDisk(unittest.TestCase):
    """A destination that fills up: the threads that fit are converted, the
    run stops at the first that does not with one line, nothing of that
    thread is left, and one more run with room completes the tree."""

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.source = os.path.join(self.work.name, "morvo")
        self.destination = os.path.join(self.work.name, "tessiva")
        body = b"n<><>2004/05/10 12:34:56<>" + b"b" * 170 + b"<>\n"
        for number in range(THREADS):
            e2e.write(os.path.join(self.source, f"h/b/{1000 + number}.dat"), b"x<>t%d\n" % number + body * 100)
        reference = os.path.join(self.work.name, "reference")
        os.makedirs(reference)
        rc, out, _ = e2e.run(self.source, reference)
        assert rc == 0
        self.reference = e2e.files_below(reference)
        self.order = e2e.walk_order(out, self.source)

    def tearDown(self):
        self.work.cleanup()

    def check_stopped(self, done, converted):
        """The threads before the one that did not fit are converted whole;
        nothing of it or of any later thread is left."""
        self.assertEqual(done.returncode, 1)
        self.assertIn(FULL, done.stderr)
        self.assertIn(e2e.cause("ディスクがいっぱいです", errno.ENOSPC), done.stderr)
        self.assertEqual(done.stdout.count(e2e.sj("変換中:")), converted + 1)
        expected = {}
        for rel in self.order[:converted]:
            expected[rel] = self.reference[rel]
            expected[rel[:-4] + ".idx"] = self.reference[rel[:-4] + ".idx"]
        self.assertEqual(e2e.files_below(self.destination), expected)

    def finish(self):
        rc, _, err = e2e.run(self.source, self.destination)
        self.assertEqual(rc, 0, err.decode("cp932", "replace"))
        self.assertEqual(e2e.files_below(self.destination), self.reference)

    def test_no_space_at_a_thread_after_the_first_group(self):
        os.makedirs(self.destination)
        first_writes = trace_writes(self.source, self.destination, self.work.name)
        shutil.rmtree(self.destination)
        os.makedirs(self.destination)
        failing = 450  # in the second group: the first holds 384
        when = first_writes[os.path.join(self.destination, self.order[failing])]
        done = strace([f"--inject=write:error=ENOSPC:when={when}"], self.source, self.destination)
        self.check_stopped(done, failing)
        self.finish()

    def test_no_space_at_the_commit_stops_the_walk_after_that_group(self):
        # The 100th thread of the first group fails at its index's flush, or at
        # its index's name: the group's others are converted, nothing is left
        # of that thread, and no thread after the group is met.
        failing = 99
        for options in (WITHOUT_SYNCFS + [f"--inject=fdatasync:error=ENOSPC:when={2 * failing + 2}"],
                        [f"--inject=rename:error=ENOSPC:when={failing + 1}"]):
            os.makedirs(self.destination)
            done = strace(options, self.source, self.destination)
            self.assertEqual(done.returncode, 1)
            self.assertIn(FULL, done.stderr)
            self.assertEqual(done.stdout.count(e2e.sj("変換中:")), 384, options)
            self.assertEqual(done.stderr.count(e2e.cause("ディスクがいっぱいです", errno.ENOSPC)), 2, options)
            expected = {}
            for rel in self.order[:failing] + self.order[failing + 1:384]:
                expected[rel] = self.reference[rel]
                expected[rel[:-4] + ".idx"] = self.reference[rel[:-4] + ".idx"]
            self.assertEqual(e2e.files_below(self.destination), expected, options)
            self.finish()
            shutil.rmtree(self.destination)

    def test_no_space_for_a_folder_stops_the_walk(self):
        os.makedirs(self.destination)
        done = strace(["--inject=mkdir:error=ENOSPC:when=2"], self.source, self.destination)
        self.assertEqual(done.returncode, 1)
        self.assertIn(FULL, done.stderr)
        self.assertIn(e2e.sj("フォルダを作れないため、その中は移行しませんでした: ") +
                      os.path.join(self.destination, "h/b").encode() + e2e.cause("ディスクがいっぱいです", errno.ENOSPC), done.stderr)
        self.assertEqual(done.stdout.count(e2e.sj("変換中:")), 0)
        self.assertEqual(e2e.snapshot(self.destination), {"h": "folder"})
        self.finish()

    def test_file_too_large_fails_that_thread_alone(self):
        os.makedirs(self.destination)
        first_writes = trace_writes(self.source, self.destination, self.work.name)
        shutil.rmtree(self.destination)
        os.makedirs(self.destination)
        when = first_writes[os.path.join(self.destination, self.order[10])]
        done = strace([f"--inject=write:error=EFBIG:when={when}"], self.source, self.destination)
        self.assertEqual(done.returncode, 1)
        self.assertNotIn(FULL, done.stderr)
        self.assertIn(e2e.cause("このディスクには大きすぎるファイルです", errno.EFBIG), done.stderr)
        files = e2e.files_below(self.destination)
        self.assertEqual(len(files), 2 * (THREADS - 1))
        self.assertNotIn(self.order[10], files)
        self.finish()

    def test_a_real_small_file_system_fills_up(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        os.makedirs(self.destination)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=10m", "tmpfs", self.destination], check=True)
        try:
            done = subprocess.run([e2e.TOOL, self.source, self.destination], stdin=subprocess.DEVNULL,
                                  capture_output=True, env=TRACED_ENV, timeout=120)
            converted = done.stdout.count(e2e.sj("を移行しました"))
            # A thread takes six pages there: the first group of 384 fits, the second does not.
            self.assertGreater(converted, 384, "the first group fits")
            self.check_stopped(done, converted)
            subprocess.run(["mount", "-o", "remount,size=64m", self.destination], check=True)
            self.finish()
        finally:
            subprocess.run(["umount", self.destination], check=False)


class ChangingSource(unittest.TestCase):
    def convert_changing(self, change):
        """Stops the tool at the first read of a thread, once that read is
        done; changes the thread, and lets the tool go on. The thread
        must fail and get no index, and one more run converts it whole."""
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "morvo")
            destination = os.path.join(work, "tessiva")
            build_source(source)
            thread = os.path.join(source, "h1/news/3.dat")
            reads = [path for call, path in traced_calls(source, destination, ["read"])]
            when = reads.index(thread) + 1
            prepare_destination(destination)
            tracer = subprocess.Popen(["strace", "-o", "/dev/null", f"--inject=read:signal=STOP:when={when}", e2e.TOOL,
                                       source, destination], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, env=TRACED_ENV)
            tool = stopped_after_reading(tracer, thread)
            change(thread)
            while tracer.poll() is None:  # the tool may not have stopped yet: SIGCONT until it ends
                os.kill(tool, signal.SIGCONT)
                time.sleep(0.05)
            out, err = tracer.communicate()
            self.assertEqual(tracer.returncode, 1, err.decode("cp932", "replace"))
            self.assertIn(e2e.sj("コピーしている間にスレッドファイルが書き換えられたため、移行しませんでした: ") +
                          thread.encode() + e2e.sj(" (次に実行したときに移行します)\n"), err)
            self.assertNotIn("h1/news/3.dat", e2e.files_below(destination))
            self.assertNotIn("h1/news/3.idx", e2e.files_below(destination))
            reference = os.path.join(work, "reference")
            prepare_destination(reference)
            self.assertEqual(e2e.run(source, reference)[0], 0)
            self.assertEqual(e2e.run(source, destination)[0], 0)
            self.assertEqual(e2e.files_below(destination), e2e.files_below(reference))
            return e2e.files_below(destination)["h1/news/3.dat"]

    def test_a_thread_changed_while_it_is_copied_waits_for_the_next_run(self):
        def append(thread):
            with open(thread, "ab") as f:
                f.write(b"n<>m<>2004/05/11 01:02:03<>appended<>\n")
        self.assertIn(b"appended", self.convert_changing(append))

    def test_a_thread_rewritten_to_the_same_size_is_caught_by_its_last_write_time(self):
        def rewrite(thread):
            data = e2e.read(thread)
            before = os.stat(thread).st_mtime_ns
            with open(thread, "r+b") as f:
                f.write(data.replace(b"long", b"LONG"))
            # A write within the clock's tick may keep the time: move it on.
            os.utime(thread, ns=(before + 10**9, before + 10**9))
        self.assertIn(b"<>LONG\n", self.convert_changing(rewrite))


def stopped_after_reading(tracer, path):
    """The traced tool's process id, once it has read from the file. Having
    the file open is not enough: under load the change could then come before
    the tool's first look at the file. The stop is sent on entering the read,
    so once the file's offset has moved the tool runs no more of its own code
    until it is continued."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for task in os.listdir(f"/proc/{tracer.pid}/task"):
            with open(f"/proc/{tracer.pid}/task/{task}/children") as f:
                for child in f.read().split():
                    if read_from(child, path):
                        return int(child)
        time.sleep(0.01)
    raise AssertionError("the tool never read from " + path)


def read_from(process, path):
    try:
        for fd in os.listdir(f"/proc/{process}/fd"):
            if os.readlink(f"/proc/{process}/fd/{fd}") == path:
                with open(f"/proc/{process}/fdinfo/{fd}") as info:
                    if int(info.readline().split()[1]) > 0:
                        return True
    except OSError:
        pass
    return False


class Groups(unittest.TestCase):
    largest_write = 0
    def completions_per_commit(self, sizes):
        """How many completion lines each group's commit writes,
        for a tree of threads of these sizes in bytes, each of lines of 100."""
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "morvo")
            destination = os.path.join(work, "tessiva")
            os.makedirs(destination)
            body = b"n<><>2004/05/10 12:34:56<>" + b"b" * 71 + b"<>\n"
            for number, size in enumerate(sizes):
                e2e.write(os.path.join(source, f"h/b/{number}.dat"), b"x<>t\n" + body * (size // 100 - 1))
            log = os.path.join(work, "trace")
            subprocess.run(["strace", "-o", log, "-xx", "-s", "100000", "-e", "trace=write", e2e.TOOL, source,
                            destination], stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)
            # A group's lines go out together once it is committed: the
            # writes to standard output between the writes of copies.
            completion = "を移行しました".encode("cp932")
            per_commit = [0]
            with open(log) as trace:
                for line in trace:
                    match = re.match(r'write\(1, "([^"]*)"', line)
                    if match:
                        written = bytes.fromhex(match.group(1).replace("\\x", ""))
                        # A group's lines of one stream go out at most 32 KiB a call.
                        self.assertLessEqual(len(written), 32 * 1024)
                        self.largest_write = max(self.largest_write, len(written))
                        per_commit[-1] += written.count(completion)
                    elif per_commit[-1]:
                        per_commit.append(0)
            return [count for count in per_commit if count]

    def test_a_group_ends_before_its_threads_pass_24_mib(self):
        # Three threads of 10 MiB: the third would take the group past 24 MiB,
        # so the first two are committed, and their lines written, before it.
        self.assertEqual(self.completions_per_commit([10 << 20] * 3), [2, 1])

    def test_a_group_holds_at_most_384_threads(self):
        self.assertEqual(self.completions_per_commit([200] * 400), [384, 16])
        # The first group's lines, near 32 KiB or over it, took a write of 24 KiB or more.
        self.assertGreater(self.largest_write, 24 * 1024)


if __name__ == "__main__":
    e2e.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
