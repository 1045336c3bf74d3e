"""Power cuts: the destination lies on LazyFS, a FUSE file system that keeps
written bytes in a cache of its own until the file is flushed (fsync,
fdatasync) and drops every unflushed byte on command, as a power cut drops the
page cache. The tool is killed at every file-changing call in turn (the POSIX
program) or run to its end (both programs); after each, the cache is dropped,
once as it is, and once after the index files alone were flushed, as when the
system happened to write them back before the copies. Then every index with
content must stand beside the whole copy of a complete run, and one more run
must complete the tree byte-identically. No index at its name may be empty
or NUL alone: that is what a cut leaves of an index named before its bytes
were flushed, and though the tool takes it for none, the reader would not.

    python3 power_cut_test.py LAZYFS TOOL
    python3 power_cut_test.py LAZYFS --wine WINE TOOL

A disk that goes away is the LazyFS server of the destination, or of the
source, killed while the tool runs: the run must stop with one line, and once
LazyFS is mounted again over what reached its disk, no index may stand beside
a broken copy and one more run must complete the tree.

Exits with 77 (skipped) when it cannot run here: no /dev/fuse, not root, no
LazyFS program, or (for the POSIX program) no strace. With
MORVO_REQUIRE_POWER_CUT=1 that is a failure. The Windows program's tests run
with Wine's server and helpers already started (ctest starts them with
wine_server.sh), so that none of them starts inside a test as a mount comes
or goes.
"""
import fcntl
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crash_test  # noqa: E402
import end_to_end as e2e  # noqa: E402

SKIPPED = 77
LAZYFS = None


def cannot_run_here():
    """Why LazyFS cannot run on this machine, or None."""
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if os.geteuid() != 0:
        return "not root"
    if not LAZYFS or not os.access(LAZYFS, os.X_OK):
        return "no LazyFS program (build it with shared/lazyfs/build.sh)"
    if shutil.which("fusermount3") is None:
        return "no fusermount3"
    if e2e.WINE is None and shutil.which("strace") is None:
        return "no strace"
    return None


class LazyMount:
    """A LazyFS mount over a folder of its own, with the power cut on command;
    made again over the same folder, it finds what reached that disk."""

    def __init__(self, work):
        self.point = os.path.join(work, "mount")
        underlying = os.path.join(work, "underlying")
        self.faults = os.path.join(work, "faults.fifo")
        completed = os.path.join(work, "completed.fifo")
        config = os.path.join(work, "lazyfs.toml")
        for folder in (self.point, underlying):
            os.makedirs(folder, exist_ok=True)
        for fifo in (self.faults, completed):
            if not os.path.exists(fifo):
                os.mkfifo(fifo)
        with open(config, "w") as f:
            f.write(f'[faults]\nfifo_path="{self.faults}"\nfifo_path_completed="{completed}"\n'
                    '[cache]\napply_eviction=false\n[cache.simple]\ncustom_size="1gb"\nblocks_per_page=1\n'
                    '[filesystem]\nlog_all_operations=false\nlogfile=""\n')
        self.log = open(os.path.join(work, "lazyfs.log"), "wb")
        self.process = subprocess.Popen([LAZYFS, self.point, "--config-path", config, "-o", "modules=subdir",
                                         "-o", f"subdir={underlying}", "-f"],
                                        stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        # LazyFS holds the completion fifo open for writing from its start on.
        self.completed = os.open(completed, os.O_RDONLY | os.O_NONBLOCK)
        deadline = time.monotonic() + 30
        while not os.path.ismount(self.point):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("LazyFS did not mount; see " + self.log.name)
            time.sleep(0.05)

    def cut(self):
        """Drops every byte not yet flushed, and waits until that is done."""
        with open(self.faults, "w") as f:
            f.write("lazyfs::clear-cache\n")
        heard = b""
        deadline = time.monotonic() + 30
        while b"finished::clear-cache" not in heard:
            if time.monotonic() > deadline:
                raise RuntimeError("LazyFS did not report the cut")
            select.select([self.completed], [], [], 0.1)
            try:
                heard += os.read(self.completed, 4096)
            except BlockingIOError:
                pass
            if not heard:
                time.sleep(0.01)  # no writer yet: the fifo reads as ended

    def unmount(self):
        """Unmounts; a mount whose server is gone is taken away as it is."""
        if self.log.closed:
            return
        if self.process.poll() is None:
            subprocess.run(["fusermount3", "-u", self.point], check=False)
        else:
            subprocess.run(["fusermount3", "-u", "-z", self.point], check=True)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
        os.close(self.completed)
        self.log.close()

    def go_away(self):
        """Kills the server, as a disk unplugged: every later call on the
        mount fails with ENOTCONN until it is unmounted."""
        self.process.kill()
        self.process.wait()


def flush_files(root, suffix=""):
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith(suffix):
                descriptor = os.open(os.path.join(folder, name), os.O_RDONLY)
                os.fsync(descriptor)
                os.close(descriptor)


def prepare_durably(destination):
    """What an earlier run left (see crash_test), flushed so that it outlasts a cut."""
    crash_test.prepare_destination(destination)
    flush_files(destination)


class PowerCut(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.mount = LazyMount(os.path.join(cls.work.name, "lazyfs"))
        cls.destinations = 0
        cls.source = os.path.join(cls.work.name, "morvo")
        crash_test.build_source(cls.source)
        cls.sealed = e2e.snapshot(cls.source)
        # The reference is a complete run on the ordinary file system.
        reference = os.path.join(cls.work.name, "reference")
        crash_test.prepare_destination(reference)
        rc, _, _ = e2e.run(cls.source, reference)
        assert rc == 0
        cls.reference = e2e.files_below(reference)

    @classmethod
    def tearDownClass(cls):
        cls.mount.unmount()
        cls.work.cleanup()

    def fresh_destination(self):
        """A destination folder never used before. A folder emptied through
        LazyFS may refuse to go: a file the last run closed counts as open
        until its asynchronous release reaches the server, and libfuse keeps
        a file removed meanwhile as .fuse_hidden* in its folder until then."""
        type(self).destinations += 1
        self.destination = os.path.join(self.mount.point, f"tessiva-{self.destinations}")
        return self.destination

    def cut_and_check(self, indexes_written_back, context):
        """Cuts; then every index with content stands beside the whole
        reference copy, and one more run completes the tree byte-identically."""
        if indexes_written_back:
            flush_files(self.destination, ".idx")
            context += "indexes written back, "
        self.mount.cut()
        self.check_indices(self.destination, self.reference, context)
        rc, _, err = e2e.run(self.source, self.destination)
        self.assertEqual(rc, 0, context + err.decode("cp932", "replace"))
        self.assertEqual(e2e.files_below(self.destination), self.reference, context)
        self.assertEqual(e2e.snapshot(self.source), self.sealed, context)

    def check_indices(self, destination, reference, context):
        """Every index is whole and stands beside the whole copy."""
        files = e2e.files_below(destination)
        for name, data in files.items():
            if name.endswith(".idx"):
                self.assertNotEqual(data.strip(b"\0"), b"", context + name + " is empty or NUL alone")
                self.assertEqual(data, reference[name], context + name)
                self.assertEqual(files.get(name[:-4] + ".dat"), reference[name[:-4] + ".dat"], context + name)

    def test_cut_after_a_complete_run(self):
        for indexes_written_back in (False, True):
            prepare_durably(self.fresh_destination())
            rc, _, _ = e2e.run(self.source, self.destination)
            self.assertEqual(rc, 0)
            self.cut_and_check(indexes_written_back, "cut after a complete run: ")

    def test_cut_after_a_run_into_two_file_systems(self):
        # The destination's folder h/sub is this LazyFS mounted inside a folder
        # of the ordinary file system, whose thread h/1.dat comes first in
        # the group: one file system's flush must not count for the other's.
        source = os.path.join(self.work.name, "spanning-morvo")
        e2e.write(os.path.join(source, "h/1.dat"), e2e.FIRST + b"\n")
        e2e.write(os.path.join(source, "h/sub/2.dat"), e2e.SECOND + b"\n")
        reference = os.path.join(self.work.name, "spanning-reference")
        os.makedirs(reference)
        self.assertEqual(e2e.run(source, reference)[0], 0)
        reference = e2e.files_below(reference)
        destination = os.path.join(self.work.name, "spanning-tessiva")
        inner = os.path.join(destination, "h/sub")
        lazy = os.path.join(self.mount.point, "spanned")
        os.makedirs(inner)
        os.makedirs(lazy)
        subprocess.run(["mount", "--bind", lazy, inner], check=True)
        try:
            rc, _, err = e2e.run(source, destination)
            self.assertEqual(rc, 0, err.decode("cp932", "replace"))
            self.mount.cut()
            self.check_indices(destination, reference, "cut after a run into two file systems: ")
            self.assertEqual(e2e.files_below(destination), reference)
        finally:
            subprocess.run(["umount", inner], check=True)

    def test_cut_after_a_kill_at_every_changing_call(self):
        if e2e.WINE is not None:
            self.skipTest("strace stops the POSIX program only")
        traced = crash_test.traced_calls(self.source, self.fresh_destination(), crash_test.CHANGING_CALLS)
        points = list(crash_test.numbered(traced))
        for call, when, _ in points:
            for indexes_written_back in (False, True):
                context = f"cut after a kill at {call} #{when}: "
                prepare_durably(self.fresh_destination())
                done = crash_test.strace([f"--inject={call}:signal=KILL:when={when}"], self.source,
                                         self.destination)
                self.assertEqual(done.returncode, -9, context + "the run was not killed there")
                self.cut_and_check(indexes_written_back, context)
        print(f"\ncuts: {len(points)}", file=sys.stderr)

    def test_a_failed_thread_leaves_no_temporary_index(self):
        # Each index record is written under its temporary name, which a
        # thread that fails at its write or its flush must not leave behind.
        if e2e.WINE is not None:
            self.skipTest("strace fails calls of the POSIX program only")
        traced = crash_test.traced_calls(self.source, self.fresh_destination(), ["write", "fdatasync", "syncfs"])
        points = [(call, when) for call, when, path in crash_test.numbered(traced)
                  if call != "syncfs" and path and path.endswith(".idx.m2t-tmp")]
        self.assertEqual({call for call, _ in points}, {"write", "fdatasync"})
        for call, when in points:
            context = f"EIO at {call} #{when}: "
            destination = self.fresh_destination()
            crash_test.prepare_destination(destination)
            done = crash_test.strace([f"--inject={call}:error=EIO:when={when}"], self.source, destination)
            self.assertEqual(done.returncode, 1, context)
            self.assertIn(e2e.sj("インデックスファイルを書き込めないため、移行しませんでした: "), done.stderr, context)
            files = e2e.files_below(destination)
            self.assertEqual([name for name in files if name.endswith(".m2t-tmp")], [], context)
            self.check_indices(destination, self.reference, context)


COMPLETION = e2e.sj(")を移行しました")
THREADS = 1000  # three groups


class DiskGone(unittest.TestCase):
    """The LazyFS server of one side is killed once the first group of a run
    is committed, as a disk unplugged or a share dropped."""

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)  # after the mounts in it are gone
        self.source = os.path.join(self.work.name, "morvo")
        for number in range(THREADS):
            e2e.write(os.path.join(self.source, f"h/b/{number}.dat"),
                      b"n<><>2004/05/10 12:34:56<>x<>t%d\n" % number + b"n<><>2004/05/11 01:02:03<>body<>\n" * 20)
        reference = os.path.join(self.work.name, "reference")
        os.makedirs(reference)
        self.assertEqual(e2e.run(self.source, reference)[0], 0)
        self.reference = e2e.files_below(reference)

    def mounted(self, lazy):
        """LazyFS over the folder `lazy` holds, unmounted after the test."""
        mount = LazyMount(lazy)
        self.addCleanup(mount.unmount)
        return mount

    def run_until_gone(self, source, destination, mount):
        """Runs the tool and kills the server of `mount` once its first group
        is committed; gives the exit status, the standard error, and the
        seconds from the kill to the end. The tool's standard output is a
        pipe of one page, which the group's lines, written once it is
        committed, overfill: the tool waits in that write, before its next
        thread, until the server is gone and the pipe is read again. Both
        streams are read as they come, so that a tool that fails thread after
        thread instead of stopping fails the test at the deadline instead of
        waiting on a full pipe."""
        command = [e2e.TOOL, e2e.native(source), e2e.native(destination)]
        env = dict(os.environ, **e2e.STAMP_ZONE)
        if e2e.WINE is not None:
            command.insert(0, e2e.WINE)
            env["WINEDEBUG"] = "-all"
        out, into = os.pipe()
        fcntl.fcntl(into, fcntl.F_SETPIPE_SZ, 4096)
        tool = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=into, stderr=subprocess.PIPE, env=env)
        os.close(into)
        err = tool.stderr.fileno()
        shown = {out: b"", err: b""}
        try:
            self.read_streams(tool, shown, 120, lambda: COMPLETION in shown[out])
            self.assertIn(COMPLETION, shown[out], "the tool ended before its first group was committed")
            mount.go_away()
            killed = time.monotonic()  # from here on, a hang is the tool's
            self.read_streams(tool, shown, 30, lambda: False)
            tool.wait(timeout=30)
        finally:
            tool.kill()
            tool.wait()
            os.close(out)
            tool.stderr.close()
        return tool.returncode, e2e.console_lines(shown[err]), time.monotonic() - killed

    def read_streams(self, tool, shown, seconds, enough):
        """Reads what the tool writes to each stream in `shown` until `enough`
        says so or both end; fails the test after `seconds`."""
        deadline = time.monotonic() + seconds
        reading = [stream for stream in shown]
        while reading and not enough():
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, f"the tool did not stop within {seconds} s")
            ready, _, _ = select.select(reading, [], [], left)
            for stream in ready:
                chunk = os.read(stream, 4096)
                shown[stream] += chunk
                if not chunk:
                    reading.remove(stream)

    def check_stopped(self, rc, err, seconds, stop_line):
        self.assertEqual(rc, 1, err.decode("cp932", "replace"))
        self.assertEqual(err.count(stop_line), 1, err.decode("cp932", "replace"))
        # The thread that met the disk gone, and once more before the summary;
        # the first group, committed before the disk went, is migrated.
        self.assertEqual(err.count(crash_test.FAILED), 2, err.decode("cp932", "replace"))
        self.assertIn(e2e.sj("移行したスレッド: 384件、"), err)
        self.assertLess(seconds, 30)

    def check_completed_after(self, source, destination):
        """Every index stands beside its whole copy; one more run completes the tree."""
        files = e2e.files_below(destination)
        for name, data in files.items():
            if name.endswith(".idx"):
                self.assertEqual(data, self.reference[name], name)
                self.assertEqual(files.get(name[:-4] + ".dat"), self.reference[name[:-4] + ".dat"], name)
        rc, _, err = e2e.run(source, destination)
        self.assertEqual(rc, 0, err.decode("cp932", "replace"))
        self.assertEqual(e2e.files_below(destination), self.reference)

    def test_the_destination_goes_away(self):
        lazy = os.path.join(self.work.name, "lazyfs")
        mount = self.mounted(lazy)
        destination = os.path.join(mount.point, "tessiva")
        os.makedirs(destination)
        rc, err, seconds = self.run_until_gone(self.source, destination, mount)
        self.check_stopped(rc, err, seconds, crash_test.DESTINATION_GONE)
        mount.unmount()
        self.mounted(lazy)  # again, over what reached its disk
        self.check_completed_after(self.source, destination)

    def test_the_source_goes_away(self):
        # The source lies on LazyFS: its files are put in the folder beneath first.
        lazy = os.path.join(self.work.name, "lazyfs")
        shutil.copytree(self.source, os.path.join(lazy, "underlying", "morvo"))
        mount = self.mounted(lazy)
        source = os.path.join(mount.point, "morvo")
        destination = os.path.join(self.work.name, "tessiva")
        os.makedirs(destination)
        rc, err, seconds = self.run_until_gone(source, destination, mount)
        self.check_stopped(rc, err, seconds, crash_test.SOURCE_GONE)
        # The group under way when the source went is committed.
        self.assertGreaterEqual(sum(name.endswith(".idx") for name in e2e.files_below(destination)), 384)
        mount.unmount()
        self.mounted(lazy)
        self.check_completed_after(source, destination)


if __name__ == "__main__":
    if sys.argv[2] == "--wine":
        e2e.WINE = sys.argv.pop(3)
        sys.argv.pop(2)
    LAZYFS = sys.argv.pop(1)
    e2e.TOOL = crash_test.e2e.TOOL = os.path.abspath(sys.argv.pop(1))
    why = cannot_run_here()
    if why is not None:
        required = os.environ.get("MORVO_REQUIRE_POWER_CUT") == "1"
        print(f"power-cut test {'cannot run' if required else 'skipped'}: {why}", file=sys.stderr)
        sys.exit(1 if required else SKIPPED)
    unittest.main(verbosity=1)
