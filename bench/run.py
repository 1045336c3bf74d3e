#!/usr/bin/env python3
"""Copy-speed benchmark: the converter against the floor, the durable floor,
`cp -r` and `rsync -a --fsync`, every one timed to the end of a `sync`.

Generates, from a fixed seed, a log tree of 5,000 threads over 3 hosts and
20 boards (about 200 MB, CR LF and LF files mixed) and one 1 GB thread file.
Builds the floor (bench/floor.cpp): a program that walks the same tree and
makes only the file operations of a conversion, with no line work, and the
durable floor: the same plus one fdatasync of each copy before its index is
named. Each round runs the tool, the tool with its standard error on a
pseudo-terminal ("titled": it then counts the threads first and shows its
progress in the title), both floors, `cp -r` and `rsync -a --fsync` (and,
with --before, another build of the tool) one after another, each into
a folder never used before, in orders where each goes first in turn and
follows every other one equally often. Every run is timed twice: when the
program ends, and at the end of the `sync` that follows it, when all of its
bytes are on the disk. The floor timed to the end of its sync is the limit of
any durable conversion. The benchmark prints median wall and CPU times, the
ratios of the tool to each program (to the end of the sync), and the tool's
peak resident memory (GNU time).

Warm: the page cache holds the inputs (a first round warms it and is not
counted); the previous program's writes are flushed before each timed run.
Cold, where the machine allows it (root and a writable
/proc/sys/vm/drop_caches): the page cache is dropped before each timed run.

Then, in each mode, runs over the tree once it is all indexed (the tool,
and the other build with --before), which only walk it and read the first
bytes of each index. With --wine and --windows, the Windows build (and
another with --windows-before) and the Windows floor (bench/floor_win32.cpp, the
same file operations with a flush of each copy and each index) convert the
tree under Wine, warm; `--modes ""` runs these alone.

    python3 bench/run.py build/morvo2tessiva [--work DIR] [--rounds N] [--modes warm,cold]
                         [--before OTHER_BUILD] [--wine WINE --windows TOOL.exe [--windows-before OTHER.exe]]
"""
import argparse
import os
import pty
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

SEED = 20261208
THREADS = 5000
HOSTS = ["news.example.jp", "bbs.example.net", "live.example.org"]
BOARDS = 20
TREE_BYTES = 200 * 1000 * 1000
BIG_BYTES = 1000 * 1000 * 1000
WORK = "/tmp/morvo2tessiva-bench"

NAMES = ["名無しさん", "名無し", "風吹けば名無し", "以下、名無しにかわりましてVIPがお送りします", "ななし"]
MAILS = ["", "sage", "age", "sage", ""]
WORDS = ["これは", "テスト", "です", "スレッド", "書き込み", "そうだね", "ほんとうに", "わからない",
         "ログ", "移行", "板", "本文", "今日は", "雨", "晴れ", "ありがとう", "ｗｗｗ", "。", "、"]


def post_line(rng, number, title=b""):
    name = rng.choice(NAMES)
    mail = rng.choice(MAILS)
    date = "%04d/%02d/%02d %02d:%02d:%02d ID:%08x" % (
        rng.randint(2002, 2012), rng.randint(1, 12), rng.randint(1, 28),
        rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59), rng.getrandbits(32))
    words = rng.randint(3, 60)
    body = " <br> ".join("".join(rng.choice(WORDS) for _ in range(rng.randint(1, 8)))
                         for _ in range(max(1, words // 8)))
    line = f"{name}<>{mail}<>{date}<> >>{number} {body} <>".encode("cp932")
    return line + title


def make_pool(rng, count):
    return [post_line(rng, i % 1000 + 1) for i in range(count)]


def thread_bytes(rng, pool, size, crlf):
    end = b"\r\n" if crlf else b"\n"
    title = ("スレッド%d番" % rng.randint(1, 99999)).encode("cp932")
    parts = [post_line(rng, 1, title) + end]
    total = len(parts[0])
    while total < size:
        line = rng.choice(pool)
        if rng.random() < 0.02:
            line = b""  # a short line the converter drops
        parts.append(line + end)
        total += len(line) + len(end)
    return b"".join(parts)


def thread_sizes(rng):
    # Log-normal sizes clipped to a few hundred bytes .. a few megabytes,
    # scaled so the tree is about TREE_BYTES in all.
    raw = [min(max(rng.lognormvariate(9.6, 1.5), 300), 4_000_000) for _ in range(THREADS)]
    scale = TREE_BYTES / sum(raw)
    return [int(min(max(size * scale, 300), 4_000_000)) for size in raw]


def generate(work):
    tree = os.path.join(work, "tree")
    big = os.path.join(work, "big")
    stamp = os.path.join(work, "generated")
    if os.path.exists(stamp):
        return tree, big
    shutil.rmtree(work, ignore_errors=True)
    rng = random.Random(SEED)
    pool = make_pool(rng, 4000)
    boards = [(HOSTS[i % len(HOSTS)], "board%02d" % i) for i in range(BOARDS)]
    for number, size in enumerate(thread_sizes(rng)):
        host, board = boards[rng.randrange(BOARDS)]
        folder = os.path.join(tree, host, board)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "%d.dat" % (1100000000 + number)), "wb") as f:
            f.write(thread_bytes(rng, pool, size, crlf=rng.random() < 0.5))
    os.makedirs(os.path.join(big, "news.example.jp", "huge"))
    block = thread_bytes(rng, pool, 8 * 1024 * 1024, crlf=True)
    head, rest = block.split(b"\n", 1)
    with open(os.path.join(big, "news.example.jp", "huge", "1000000000.dat"), "wb") as f:
        f.write(head + b"\n")
        written = len(head) + 1
        while written < BIG_BYTES:
            piece = rest[: BIG_BYTES - written]
            f.write(piece)
            written += len(piece)
    open(stamp, "w").close()
    return tree, big


def tree_size(root):
    return sum(os.path.getsize(os.path.join(folder, name))
               for folder, _, names in os.walk(root) for name in names)


DROP_CACHES = "/proc/sys/vm/drop_caches"


def cold_possible():
    return os.geteuid() == 0 and os.access(DROP_CACHES, os.W_OK)


def timed(command, cold, on_terminal=False):
    """Wall time to the program's end and to the end of the sync after it,
    CPU time (user and system) and peak resident memory (KiB) of one command.

    GNU time starts the command from its own small process: a child forked
    from this Python process would carry Python's memory high-water mark.
    """
    report = os.path.join(WORK, "time-report")
    os.sync()  # the previous program's writes are not this one's to flush
    if cold:
        with open(DROP_CACHES, "w") as f:
            f.write("3\n")
    master, terminal = pty.openpty() if on_terminal else (None, subprocess.PIPE)
    heard = []  # (when, bytes) of what the terminal got
    listener = threading.Thread(target=listen, args=(master, heard)) if on_terminal else None
    with open(os.devnull, "rb") as devnull_in, open(os.devnull, "wb") as devnull_out:
        start = time.perf_counter()
        if listener:
            listener.start()
        done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report, *command],
                              stdin=devnull_in, stdout=devnull_out, stderr=terminal)
        ended = time.perf_counter() - start
        os.sync()
        synced = time.perf_counter() - start
    if listener:
        os.close(terminal)
        listener.join()
        os.close(master)
    with open(report) as f:
        user, system, peak = f.read().split()[-3:]
    os.remove(report)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {(done.stderr or b'').decode('cp932', 'replace')}")
    return ended, synced, float(user) + float(system), int(peak), count_time(heard)


def listen(master, heard):
    """Keeps what the terminal gets, and when, until it closes."""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            return
        if not chunk:
            return
        heard.append((time.perf_counter(), chunk))


def count_time(heard):
    """The time the tool took to count the threads: from its keeping the title
    before (the title stack's push) to its first title."""
    pushed = next((when for when, chunk in heard if b"\x1b[22;0t" in chunk), None)
    titled = next((when for when, chunk in heard if b"\x1b]0;" in chunk), None)
    return None if pushed is None or titled is None else titled - pushed


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)


def commands(programs, source, output):
    """Each program's command line, from the program names to their files."""
    made = {"tool": [programs["tool"], source, output], "titled": [programs["tool"], source, output],
            "floor": [programs["floor"], source, output],
            "durable": [programs["floor"], "--durable", source, output], "cp": ["cp", "-r", source, output],
            "rsync": ["rsync", "-a", "--fsync", source + "/", output]}
    if "before" in programs:
        made["before"] = [programs["before"], source, output]
    return made


def balanced_orders(names):
    """The orders of the rounds: each program goes first in turn, and each
    follows every other one equally often, so that none always meets the file
    system as the same program before it left it (a Williams design)."""
    count = len(names)
    first, low, high = [0], 1, count - 1
    while len(first) < count:
        first.append(low)
        low += 1
        if len(first) < count:
            first.append(high)
            high -= 1
    orders = [[names[(place + shift) % count] for place in first] for shift in range(count)]
    if count % 2:
        orders += [order[::-1] for order in orders]
    return orders


def measure(programs, source, label, work, rounds, cold, keep_outputs):
    """Median wall times (to the end and to the end of the sync) and CPU times
    of each program, and the tool's peak memory.

    With keep_outputs, every run writes into a folder of its own and all of
    them are removed at the end: on ext4, files deleted moments before make the
    next file creations slow (the inode allocator passes over recently freed
    inodes), so removing thousands of files between rounds would time the
    benchmark's own clean-up. A single big file has no such effect, and keeping
    its copies would take gigabytes of disk.
    """
    names = list(commands(programs, source, ""))
    orders = balanced_orders(names)
    ends = {name: [] for name in names}
    syncs = {name: [] for name in names}
    cpus = {name: [] for name in names}
    peaks = []
    counts = []
    outputs = []
    first = 1 if cold else 0  # warm: round 0 fills the cache and is not counted
    for round_number in range(first, rounds + 1):
        made = []
        for name in orders[round_number % len(orders)]:
            output = os.path.join(work, f"out-{label}-{'cold' if cold else 'warm'}-{name}-{round_number}")
            fresh(output)
            if name != "cp":
                os.makedirs(output)
            ended, synced, cpu, peak, counted = timed(commands(programs, source, output)[name], cold,
                                                      name == "titled")
            made.append(output)
            if round_number and counted is not None:
                counts.append(counted)
            if round_number:
                ends[name].append(ended)
                syncs[name].append(synced)
                cpus[name].append(cpu)
                if name == "tool":
                    peaks.append(peak)
        if keep_outputs:
            outputs += made
        else:
            for output in made:
                fresh(output)
    for output in outputs:
        fresh(output)
    return ({name: statistics.median(ends[name]) for name in names},
            {name: statistics.median(syncs[name]) for name in names},
            {name: statistics.median(cpus[name]) for name in names}, max(peaks),
            statistics.median(counts) if counts else None)


def report(label, mode, size, ends, syncs, cpus, peak, counted):
    mb = size / 1e6
    print(f"{label}, {mode}: {mb:.0f} MB")
    for name in syncs:
        print(f"  {name:7} median wall {ends[name]:.3f} s, to the end of the sync {syncs[name]:.3f} s  "
              f"cpu {cpus[name]:.3f} s  {mb / syncs[name]:7.0f} MB/s")
    ratios = "  ".join(f"tool/{name} {syncs['tool'] / syncs[name]:.3f}" for name in syncs if name != "tool")
    print(f"  ratio to the end of the sync: {ratios}  tool peak RSS {peak / 1024:.1f} MiB")
    if counted is not None and "titled" in syncs:
        print(f"  the count (titled): median {counted * 1000:.1f} ms, "
              f"{100 * counted / syncs['titled']:.1f} % of the titled run")
    sys.stdout.flush()


def measure_rerun(programs, source, work, rounds, cold):
    """Median wall times of runs over a tree whose every thread is indexed,
    which only walk it and read each index's first bytes; the tool and, with
    --before, the other build alternate, each over a tree of its own."""
    names = [name for name in ("tool", "before") if name in programs]
    outputs = {}
    for name in names:
        outputs[name] = os.path.join(work, f"out-rerun-{name}")
        fresh(outputs[name])
        os.makedirs(outputs[name])
        timed([programs[name], source, outputs[name]], False)
    times = {name: [] for name in names}
    first = 1 if cold else 0  # warm: round 0 fills the cache and is not counted
    for round_number in range(first, rounds + 1):
        for name in names if round_number % 2 else names[::-1]:
            ended = timed([programs[name], source, outputs[name]], cold)[0]
            if round_number:
                times[name].append(ended)
    for output in outputs.values():
        fresh(output)
    return {name: statistics.median(times[name]) for name in names}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def measure_wine(wine, windows, source, work, rounds):
    """Median times, to the end of the sync, of Windows builds and the Windows
    floor on the tree under Wine, warm, alternating; every output is kept to
    the end."""
    names = list(windows)
    times = {name: [] for name in names}
    outputs = []
    for round_number in range(rounds + 1):
        for name in names if round_number % 2 else names[::-1]:
            output = os.path.join(work, f"out-wine-{name}-{round_number}")
            fresh(output)
            os.makedirs(output)
            outputs.append(output)
            synced = timed([wine, windows[name], windows_path(source), windows_path(output)], False)[1]
            if round_number:
                times[name].append(synced)
    for output in outputs:
        fresh(output)
    return {name: statistics.median(times[name]) for name in names}


def report_medians(label, medians):
    ratios = [f"  ratio tool/{other} {medians['tool'] / medians[other]:.3f}" for other in ("before", "floor")
              if other in medians]
    print(label + ": " + "  ".join(f"{name} median {seconds:.3f} s" for name, seconds in medians.items()) +
          "".join(ratios))
    sys.stdout.flush()


def build_floor(work):
    floor = os.path.join(work, "floor")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor.cpp")
    subprocess.run(["c++", "-O2", "-std=c++17", "-o", floor, source], check=True)
    return floor


def build_windows_floor(work, wine):
    """The Windows floor (bench/floor_win32.cpp), for the Wine the tool runs under."""
    floor = os.path.join(work, "floor_win32.exe")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor_win32.cpp")
    compiler = "x86_64-w64-mingw32-g++-posix" if wine.endswith("64") else "i686-w64-mingw32-g++-posix"
    subprocess.run([compiler, "-O2", "-std=c++17", "-static", "-o", floor, source], check=True)
    return floor


def main():
    global WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--work", default=WORK)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--modes", default="warm,cold", help="warm, cold, both, or none (\"\"): the Wine runs alone")
    parser.add_argument("--before", help="another build of the tool, timed in the same rounds")
    parser.add_argument("--wine", help="the Wine loader, to time Windows builds on the tree")
    parser.add_argument("--windows", help="the Windows build of the tool, run under --wine")
    parser.add_argument("--windows-before", help="another Windows build, timed in the same rounds")
    args = parser.parse_args()
    WORK = args.work
    tree, big = generate(args.work)
    programs = {"tool": os.path.abspath(args.tool), "floor": build_floor(args.work)}
    if args.before:
        programs["before"] = os.path.abspath(args.before)
    modes = [mode for mode in args.modes.split(",") if mode]
    if "cold" in modes and not cold_possible():
        print(f"cold mode needs root and a writable {DROP_CACHES}; measuring warm only")
        modes = [mode for mode in modes if mode != "cold"]
    count = sum(len([n for n in names if n.endswith(".dat")]) for _, _, names in os.walk(tree))
    print(f"{count} threads; {args.rounds} timed rounds each of {', '.join(commands(programs, '', ''))},"
          " one after another")
    for mode in modes:
        cold = mode == "cold"
        report("tree", mode, tree_size(tree), *measure(programs, tree, "tree", args.work, args.rounds, cold, True))
        report("1 GB file", mode, tree_size(big), *measure(programs, big, "big", args.work, args.rounds, cold, False))
        report_medians(f"rerun over the indexed tree, {mode}",
                       measure_rerun(programs, tree, args.work, args.rounds, cold))
    if args.wine and args.windows:
        windows = {"tool": os.path.abspath(args.windows), "floor": build_windows_floor(args.work, args.wine)}
        if args.windows_before:
            windows["before"] = os.path.abspath(args.windows_before)
        report_medians("tree under Wine, warm", measure_wine(args.wine, windows, tree, args.work, args.rounds))


if __name__ == "__main__":
    main()
