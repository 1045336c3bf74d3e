#!/usr/bin/env python3
"""Copy-speed benchmark: the converter against `cp -r` on the same inputs.

Generates, from a fixed seed, a log tree of 5,000 threads over 3 hosts and
20 boards (about 200 MB, CR LF and LF files mixed) and one 1 GB thread file,
then converts and copies each into a fresh folder in alternation, with the page
cache warm, and prints median wall times, the ratio tool/cp, MB/s and the
tool's peak resident memory.

    python3 bench/run.py build/morvo2tessiva [--work DIR] [--rounds N]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
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


def timed(command):
    """Wall time and peak resident memory (KiB) of one command.

    GNU time starts the command from its own small process: a child forked
    from this Python process would carry Python's memory high-water mark.
    """
    report = os.path.join(WORK, "time-report")
    os.sync()  # the previous round's writes are not this round's to flush
    with open(os.devnull, "rb") as devnull_in, open(os.devnull, "wb") as devnull_out:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *command],
                              stdin=devnull_in, stdout=devnull_out, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
    with open(report) as f:
        peak = int(f.read().split()[-1])
    os.remove(report)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {done.stderr.decode('cp932', 'replace')}")
    return wall, peak


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)


def measure(tool, source, work, rounds, keep_outputs):
    """Median wall times of the tool and of cp -r, and the tool's peak memory.

    With keep_outputs, every round writes into folders of its own and all of
    them are removed at the end: on ext4, files deleted moments before make
    the next file creations slow (the inode allocator passes over recently
    freed inodes), so removing thousands of files between rounds would time
    the benchmark's own clean-up. A single big file has no such effect, and
    keeping its copies would take gigabytes of disk.
    """
    tool_times, cp_times, peaks, outputs = [], [], [], []
    for round_number in range(rounds + 1):  # round 0 warms the cache and is not counted
        suffix = f"-{round_number}" if keep_outputs else ""
        tool_out = os.path.join(work, "out-tool" + suffix)
        cp_out = os.path.join(work, "out-cp" + suffix)
        outputs += [tool_out, cp_out]
        fresh(tool_out)
        fresh(cp_out)
        os.makedirs(tool_out)
        wall, peak = timed([tool, source, tool_out])
        cp_wall, _ = timed(["cp", "-r", source, cp_out])
        if round_number:
            tool_times.append(wall)
            peaks.append(peak)
            cp_times.append(cp_wall)
    for output in outputs:
        fresh(output)
    return statistics.median(tool_times), statistics.median(cp_times), max(peaks)


def report(label, size, tool_time, cp_time, peak):
    mb = size / 1e6
    print(f"{label}: {mb:.0f} MB")
    print(f"  tool  median {tool_time:.3f} s  {mb / tool_time:7.0f} MB/s  peak RSS {peak / 1024:.1f} MiB")
    print(f"  cp -r median {cp_time:.3f} s  {mb / cp_time:7.0f} MB/s")
    print(f"  ratio tool/cp {tool_time / cp_time:.2f}")


def main():
    global WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--work", default=WORK)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    WORK = args.work
    tool = os.path.abspath(args.tool)
    tree, big = generate(args.work)
    count = sum(len([n for n in names if n.endswith(".dat")]) for _, _, names in os.walk(tree))
    print(f"{count} threads; {args.rounds} timed rounds each, alternating, after one warm-up round")
    report("tree", tree_size(tree), *measure(tool, tree, args.work, args.rounds, keep_outputs=True))
    report("1 GB file", tree_size(big), *measure(tool, big, args.work, args.rounds, keep_outputs=False))


if __name__ == "__main__":
    main()
