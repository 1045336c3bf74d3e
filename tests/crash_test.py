"""Fails the tool on purpose at every file-changing system call (killed on
entry with strace) and at every write and read (ENOSPC, EIO), then requires
that one more complete run leaves the destination byte-identical to a single
complete run, and that no index ever stands for an incomplete copy."""
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
                  "fdatasync"]


def build_source(source):
    sj = e2e.sj
    e2e.write(os.path.join(source, "h1/news/1.dat"), e2e.FIRST + b"\r\n\r\n" + e2e.SECOND + b"\r\n")
    e2e.write(os.path.join(source, "h1/news/2.dat"), b"")
    e2e.write(os.path.join(source, "h1/news/3.dat"), b"n<>m<>04/05/10 12:00<>" + b"L" * 300000 + b"<>long\n")
    e2e.write(os.path.join(source, "h1/tech/4.dat"), sj("名無し<><>2004/07/16 18:20:00<>本文<>技術\n") + b"x\n")
    e2e.write(os.path.join(source, "h2/a/b/5.dat"), e2e.FIRST + b"\n")
    e2e.write(os.path.join(source, "h2/a/b/6.dat"), e2e.SECOND + b"\n")


def prepare_destination(destination):
    """An earlier run already indexed 6.dat."""
    if os.path.exists(destination):
        shutil.rmtree(destination)
    e2e.write(os.path.join(destination, "h2/a/b/6.dat"), b"copied before")
    e2e.write(os.path.join(destination, "h2/a/b/6.idx"), b"indexed before")


def strace(options, source, destination):
    command = ["strace", "-f", "-o", "/dev/null", *options, e2e.TOOL, source, destination]
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV, timeout=60)


def call_counts(source, destination, calls):
    """How many times the busiest of the tool's threads makes each call: strace
    counts the calls of each thread on its own when it injects a fault."""
    prepare_destination(destination)
    log = destination + ".trace"
    command = ["strace", "-f", "-o", log, "-e", "trace=" + ",".join(calls), e2e.TOOL, source, destination]
    subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=TRACED_ENV,
                   check=True, timeout=60)
    per_thread = {}
    with open(log) as trace:
        for line in trace:
            match = re.match(r"(\d+)\s+(\w+)\(", line)
            if match:
                per_thread[match.groups()] = per_thread.get(match.groups(), 0) + 1
    os.remove(log)
    counts = {}
    for (_, call), count in per_thread.items():
        counts[call] = max(counts.get(call, 0), count)
    return counts


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

    def finish_and_compare(self, context):
        rc, _, err = e2e.run(self.source, self.destination)
        self.assertEqual(rc, 0, context + err.decode("cp932", "replace"))
        self.assertEqual(e2e.files_below(self.destination), self.reference, context)
        self.assertEqual(e2e.snapshot(self.source), self.sealed, context)

    def test_killed_at_every_changing_call(self):
        counts = call_counts(self.source, self.destination, CHANGING_CALLS)
        tried = 0
        missed = 0
        for call, count in sorted(counts.items()):
            for when in range(1, count + 1):
                context = f"killed at {call} #{when}: "
                prepare_destination(self.destination)
                done = strace([f"--inject={call}:signal=KILL:when={when}"], self.source, self.destination)
                if done.returncode == 0:
                    # The two threads shared the work otherwise this time, and
                    # neither made the call that often; the run must still be whole.
                    missed += 1
                else:
                    tried += 1
                self.check_consistent(context)
                self.finish_and_compare(context)
        print(f"\nkill points tried: {tried}, not reached: {missed} ({counts})", file=sys.stderr)
        self.assertGreater(tried, 50)
        self.assertLess(missed, tried // 10)

    def test_full_disk_and_read_errors(self):
        counts = call_counts(self.source, self.destination, ["write", "read"])
        tried = 0
        reported = 0
        for call, error in (("write", "ENOSPC"), ("read", "EIO")):
            for when in range(1, counts.get(call, 0) + 1):
                context = f"{error} at {call} #{when}: "
                prepare_destination(self.destination)
                done = strace([f"--inject={call}:error={error}:when={when}"], self.source, self.destination)
                failed = "移行しませんでした".encode("cp932") in done.stderr
                if failed:
                    reported += 1
                    self.assertEqual(done.returncode, 1, context)
                self.check_consistent(context)
                self.finish_and_compare(context)
                tried += 1
        print(f"\nfailure points tried: {tried}", file=sys.stderr)
        self.assertGreater(tried, 10)
        self.assertGreater(reported, 5)


if __name__ == "__main__":
    e2e.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
