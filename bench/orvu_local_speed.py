#!/usr/bin/env python3
"""orvu-local against rsync and find on the same trees, in the same run.

For trees of small files (100 per folder) it times, alternating the tools round by round and
with the same caches (source files in the page cache, dirty pages written back before every
timed command):
  push        first sync of the tree into an empty repo of an empty store  vs  rsync -a
  pull        first sync of an empty folder bound to that repo             vs  rsync -a
  status      `status`, nothing changed, hash cache warm                   vs  find -printf
  touched     `status` right after touching one file                       vs  find -printf
and the hashing rate of large files (status with no hash cache) next to sha256sum's.
Prints the median and the range (min..max) of each ratio of wall-clock times, and the median
ratio of CPU times (steadier on a busy machine, but blind to work spread over cores).

  bench/orvu_local_speed.py [--tool PATH] [--sizes 10000,100000] [--rounds 5]
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EMAIL = "bench@example.org"


def build_tree(root, count, per_folder=100):
    for i in range(count):
        folder = os.path.join(root, "d%04d" % (i // per_folder))
        if i % per_folder == 0:
            os.makedirs(folder)
        with open(os.path.join(folder, "file%06d.txt" % i), "wb") as out:
            out.write(b"small file %d\n" % i + bytes((i * 7 + k) % 251 for k in range(i % 200)))


class Tool:
    def __init__(self, path, home):
        self.path = path
        self.env = dict(os.environ, HOME=home, XDG_DATA_HOME=home + "/data",
                        XDG_CONFIG_HOME=home + "/config")

    def run(self, store, *args, check=True):
        done = subprocess.run([self.path, "--server", "file://" + store, *args], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if check and done.returncode != 0:
            sys.exit("orvu %s failed (%d): %s" % (" ".join(args), done.returncode,
                                                  done.stderr.decode(errors="replace")))
        return done.stdout

    def new_store(self, store):
        os.makedirs(store)
        self.run(store, "login", "--email", EMAIL, "--json")
        link = self.run(store, "admin", "mail", EMAIL).decode().strip()
        self.run(store, "login", "--verify", link, "--json")


class Seconds(float):
    """Wall-clock seconds of a command, with the CPU seconds (user and system) it used."""

    def __new__(cls, wall, cpu):
        value = super().__new__(cls, wall)
        value.cpu = cpu
        return value


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, **kwargs):
    """Seconds one command takes, after the dirty pages of earlier ones are written back."""
    os.sync()
    cpu = children_cpu()
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)
    seconds = Seconds(time.perf_counter() - start, children_cpu() - cpu)
    if done.returncode != 0:
        sys.exit("%s failed (%d): %s" % (command[0], done.returncode,
                                         done.stderr.decode(errors="replace")))
    return seconds


def remove(*paths):
    for path in paths:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.unlink(path)


def report(name, ours, theirs, against):
    ratios = [o / t for o, t in zip(ours, theirs)]
    cpu = [o.cpu / max(t.cpu, 1e-6) for o, t in zip(ours, theirs)]
    print("  %-32s %5.2fx %-5s (range %.2f..%.2f)  median %7.1f vs %7.1f ms; CPU time %.2fx"
          % (name, statistics.median(ratios), against, min(ratios), max(ratios),
             statistics.median(ours) * 1e3, statistics.median(theirs) * 1e3,
             statistics.median(cpu)), flush=True)


def small_files(tool, work, count, rounds):
    tree = os.path.join(work, "tree")
    build_tree(tree, count)
    find = ["find", tree, "-printf", "%i %s %T@ %p\n"]
    subprocess.run(["cat"] + [os.path.join(tree, "d0000", n) for n in os.listdir(
        os.path.join(tree, "d0000"))], stdout=subprocess.DEVNULL)
    subprocess.run(find, stdout=subprocess.DEVNULL)  # the tree's metadata in the caches
    times = {key: ([], []) for key in ("push", "pull", "status", "touched")}
    for round_ in range(rounds):
        store, copy, pulled = (os.path.join(work, n) for n in ("store", "copy", "pulled"))
        tool.new_store(store)
        slug = "bench%d" % round_
        tool.run(store, "init", tree, "--repo", slug, "--json", "--force")
        first = round_ % 2 == 0

        def against_rsync(key, folder):
            # The tool and rsync take turns going first, so neither always meets a cold cache.
            for turn in (first, not first):
                if turn:
                    times[key][0].append(timed([tool.path, "--server", "file://" + store, "sync",
                                                folder, "--json", "--resolve", "keep-both"],
                                               env=tool.env))
                else:
                    times[key][1].append(timed(["rsync", "-a", tree + "/", copy + "/"]))

        against_rsync("push", tree)
        os.makedirs(pulled)
        tool.run(store, "init", pulled, "--repo", slug, "--json")
        remove(copy)
        against_rsync("pull", pulled)
        status = [tool.path, "status", tree, "--json"]
        subprocess.run(status, env=tool.env, stdout=subprocess.DEVNULL)  # warms the hash cache
        for _ in range(3):
            for turn in (first, not first):
                if turn:
                    times["status"][0].append(timed(status, env=tool.env))
                else:
                    times["status"][1].append(timed(find))
            touched = os.path.join(tree, "d%04d" % (_ + round_ * 3), "file%06d.txt"
                                   % ((_ + round_ * 3) * 100))
            os.utime(touched)
            for turn in (first, not first):
                if turn:
                    times["touched"][0].append(timed(status, env=tool.env))
                else:
                    times["touched"][1].append(timed(find))
        remove(store, copy, pulled, os.path.join(tree, ".orvu"))
    print("%d small files, 100 per folder, %d rounds:" % (count, rounds))
    report("first push into an empty repo", *times["push"], "rsync")
    report("pull into an empty folder", *times["pull"], "rsync")
    report("status, nothing changed, warm", *times["status"], "find")
    report("status after touching one file", *times["touched"], "find")
    remove(tree)


def large_files(tool, work, rounds):
    folder = os.path.join(work, "large")
    os.makedirs(folder)
    block = bytes((i * 2654435761 >> 13) & 255 for i in range(1 << 20)) * 8
    names = []
    for i in range(32):
        names.append(os.path.join(folder, "blob%02d.bin" % i))
        with open(names[-1], "wb") as out:
            out.write(bytes([i]) + block[1:])
    store = os.path.join(work, "store")
    tool.new_store(store)
    tool.run(store, "init", folder, "--repo", "large", "--json")
    tool.run(store, "sync", folder, "--json", "--resolve", "keep-both")
    mib = 32 * 8
    ours, theirs = [], []
    for round_ in range(rounds):
        for turn in (round_ % 2 == 0, round_ % 2 != 0):
            if turn:
                remove(os.path.join(folder, ".orvu", "hash-cache"))
                ours.append(mib / timed([tool.path, "status", folder, "--json"], env=tool.env))
            else:
                theirs.append(mib / timed(["sha256sum"] + names))
    print("hashing 32 x 8 MiB (page cache warm), %d rounds:" % rounds)
    print("  orvu status without hash cache  median %5.0f MiB/s (range %.0f..%.0f); "
          "sha256sum median %5.0f MiB/s (range %.0f..%.0f)"
          % (statistics.median(ours), min(ours), max(ours), statistics.median(theirs),
             min(theirs), max(theirs)), flush=True)
    remove(store, folder)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", default=os.path.join(ROOT, "build/default/share/orvutray/orvu"))
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", choices=("small", "large"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="orvu-speed-")
    try:
        tool = Tool(os.path.abspath(args.tool), work)
        if args.only != "large":
            for count in (int(n) for n in args.sizes.split(",")):
                small_files(tool, os.path.join(work, "small%d" % count), count, args.rounds)
        if args.only != "small":
            large_files(tool, work, args.rounds)
    finally:
        remove(work)


if __name__ == "__main__":
    main()
