"""Fails the tool on purpose at every file-changing system call (killed on
entry with strace) and at every write, read and flush (ENOSPC, EIO), then
requires that one more complete run leaves the destination byte-identical to a
single complete run, that no index ever stands for an incomplete copy, and
that a failed thread leaves nothing of its copy behind."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
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


def build_source(source):
    sj = e2e.sj
    e2e.write(os.path.join(source, "h1/news/1.dat"), e2e.FIRST + b"\r\n\r\n" + e2e.SECOND + b"\r\n")
    e2e.write(os.path.join(source, "h1/news/2.dat"), b"")
    e2e.write(os.path.join(source, "h1/news/3.dat"), b"n<>m<>04/05/10 12:00<>" + b"L" * 300000 + b"<>long\n")
    e2e.write(os.path.join(source, "h1/tech/4.dat"), sj("名無し<><>2004/07/16 18:20:00<>本文<>技術\n") + b"x\n")
    e2e.write(os.path.join(source, "h2/a/b/5.dat"), e2e.FIRST + b"\n")
    e2e.write(os.path.join(source, "h2/a/b/6.dat"), e2e.SECOND + b"\n")


# What an earlier run left: 6.dat indexed, and a copy of 4.dat without an
# index, which is replaced through a temporary name.
PREPARED = {"h2/a/b/6.dat": b"copied before", "h2/a/b/6.idx": b"indexed before", "h1/tech/4.dat": b"stale copy"}


def prepare_destination(destination):
    if os.path.exists(destination):
        shutil.rmtree(destination)
    for rel, data in PREPARED.items():
        e2e.write(os.path.join(destination, rel), data)


def strace(options, source, destination):
    command = ["strace", "-o", "/dev/null", *options, e2e.TOOL, source, destination]
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
            # Each file's own flush then confirms it; and an index that cannot
            # be read may be the reader's own and is left alone: nothing fails.
            if call == "syncfs" or path.endswith(".idx"):
                self.assertEqual(done.returncode, 0, context + done.stderr.decode("cp932", "replace"))
                self.assertEqual(e2e.files_below(self.destination), self.reference, context)
                continue
            self.assertIn("移行しませんでした".encode("cp932"), done.stderr, context + "the failure was not reported")
            self.assertEqual(done.returncode, 1, context)
            self.check_consistent(context)
            self.check_nothing_left_of_failed_copies(done.stderr, context, replaced=call == "fsync")
            self.finish_and_compare(context)
        print(f"\nfailure points: {len(points)}", file=sys.stderr)
        self.assertGreater(len(points), 10)


class Groups(unittest.TestCase):
    def test_a_group_ends_before_its_threads_pass_8_mib(self):
        # Three threads of 3.5 MiB: the third would take the group past 8 MiB,
        # so the first two are committed, and their lines written, before it.
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "morvo")
            destination = os.path.join(work, "tessiva")
            os.makedirs(destination)
            body = b"n<><>2004/05/10 12:34:56<>" + b"b" * 70 + b"<>\n"
            for number in range(3):
                e2e.write(os.path.join(source, f"h/b/{number}.dat"), b"x<>t%d\n" % number + body * 40000)
            log = os.path.join(work, "trace")
            subprocess.run(["strace", "-o", log, "-xx", "-s", "100000", "-e", "trace=write", e2e.TOOL, source,
                            destination], stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)
            completion = "を移行しました".encode("cp932")
            per_write = []
            with open(log) as trace:
                for line in trace:
                    match = re.match(r'write\(1, "([^"]*)"', line)
                    if match:
                        data = bytes.fromhex(match.group(1).replace("\\x", ""))
                        per_write.append(data.count(completion))
            self.assertEqual([count for count in per_write if count], [2, 1])


if __name__ == "__main__":
    e2e.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
