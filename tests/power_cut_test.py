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

Exits with 77 (skipped) when it cannot run here: no /dev/fuse, not root, no
LazyFS program, or (for the POSIX program) no strace. With
MORVO_REQUIRE_POWER_CUT=1 that is a failure.
"""
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
    """A LazyFS mount over a folder of its own, with the power cut on command."""

    def __init__(self, work):
        self.point = os.path.join(work, "mount")
        underlying = os.path.join(work, "underlying")
        self.faults = os.path.join(work, "faults.fifo")
        completed = os.path.join(work, "completed.fifo")
        config = os.path.join(work, "lazyfs.toml")
        for folder in (self.point, underlying):
            os.makedirs(folder)
        os.mkfifo(self.faults)
        os.mkfifo(completed)
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
        subprocess.run(["fusermount3", "-u", self.point], check=False)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
        os.close(self.completed)
        self.log.close()


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



def wait_for_wine_to_end():
    """Mounts and unmounts only while no Wine process runs: Wine's own
    services look at every new mount and have been seen to crash on one,
    onto the standard error of the program that started them."""
    if e2e.WINE is not None:
        subprocess.run([os.path.join(os.path.dirname(e2e.WINE), "wineserver"), "-w"], check=False)


class PowerCut(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wait_for_wine_to_end()
        cls.work = tempfile.TemporaryDirectory()
        cls.mount = LazyMount(os.path.join(cls.work.name, "lazyfs"))
        cls.destination = os.path.join(cls.mount.point, "tessiva")
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
        wait_for_wine_to_end()
        cls.mount.unmount()
        cls.work.cleanup()

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
            prepare_durably(self.destination)
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
        wait_for_wine_to_end()
        subprocess.run(["mount", "--bind", lazy, inner], check=True)
        try:
            rc, _, err = e2e.run(source, destination)
            self.assertEqual(rc, 0, err.decode("cp932", "replace"))
            self.mount.cut()
            self.check_indices(destination, reference, "cut after a run into two file systems: ")
            self.assertEqual(e2e.files_below(destination), reference)
        finally:
            wait_for_wine_to_end()
            subprocess.run(["umount", inner], check=True)

    def test_cut_after_a_kill_at_every_changing_call(self):
        if e2e.WINE is not None:
            self.skipTest("strace stops the POSIX program only")
        # O_TMPFILE does not work on FUSE, so the index takes a temporary name here.
        traced = crash_test.traced_calls(self.source, self.destination, crash_test.CHANGING_CALLS)
        points = list(crash_test.numbered(traced))
        for call, when, _ in points:
            for indexes_written_back in (False, True):
                context = f"cut after a kill at {call} #{when}: "
                prepare_durably(self.destination)
                done = crash_test.strace([f"--inject={call}:signal=KILL:when={when}"], self.source,
                                         self.destination)
                self.assertEqual(done.returncode, -9, context + "the run was not killed there")
                self.cut_and_check(indexes_written_back, context)
        print(f"\ncuts: {len(points)}", file=sys.stderr)


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
