"""Turns the bench's raw measurements into its figures, one "name value" line each.

  report.py times <prefix> <pairtime output> <name>...
      per command <prefix>.<name>.ms: the median over the passes of each pass's
      median; per command after the first, <prefix>.ratio.<first>_<name>.median,
      .min and .max: the first command's time over this one's, one ratio per
      pass (the commands ran interleaved within each pass); and
      <prefix>.<name>.peak_kib where pairtime could tell the peak memory.
  report.py split <prefix> <pairtime output> <name>...
      the Windows start split, from the same passes (names as for times, with
      launcher, floor, spawn_minimal, nolog and floor_nolog among them): per
      part <prefix>.split_ms.<part>, the median over the passes of one
      command's median minus another's (see SPLIT).
  report.py requests <prefix> <wineserver -d1 output> <image name>=<name>...
      Wine server requests of one run of each named program (the last run
      of it in the trace, from its first thread's start to its exit):
      <prefix>.<name>.all, and for each request that some of them make in
      different numbers, <prefix>.<name>.<request>.
  report.py syscalls <prefix> <strace -f output> <child program> <log file name>
      system calls of one launch: <prefix>.process (the measured process
      alone, from its exec to its exit), <prefix>.launch (with every process
      it made, each up to the moment it became the child program), and where
      it writes a log, <prefix>.entries and <prefix>.per_entry (the calls from
      each entry's open of the log to its close, over the entries).
"""
import re
import statistics
import sys


def figure(name, value, decimals):
    print(f"{name} {value:.{decimals}f}")


def read_passes(path, names):
    passes = []
    peaks = {}
    for line in open(path):
        words = line.split()
        if words and words[0] == "pass":
            passes.append([float(w) for w in words[2:]])
        elif words and words[0] == "peak":
            peaks[int(words[1])] = int(words[2])
    if not passes or any(len(p) != len(names) for p in passes):
        sys.exit(f"report.py: {path} holds no complete passes for {len(names)} commands")
    return passes, peaks


def times(prefix, path, names):
    passes, peaks = read_passes(path, names)
    for i, name in enumerate(names):
        figure(f"{prefix}.{name}.ms", statistics.median(p[i] for p in passes) / 1000, 3)
    for i, name in enumerate(names[1:], start=1):
        ratios = [p[0] / p[i] for p in passes]
        base = f"{prefix}.ratio.{names[0]}_{name}"
        figure(f"{base}.median", statistics.median(ratios), 3)
        figure(f"{base}.min", min(ratios), 3)
        figure(f"{base}.max", max(ratios), 3)
    for i, name in enumerate(names):
        if i in peaks:
            figure(f"{prefix}.{name}.peak_kib", peaks[i], 0)


# The parts of a launch under Windows, each one command's time minus
# another's: what a program pays for the launcher's manifest and version
# resource, the launcher's start-up beyond that (its work apart from the
# log), its log (13 entries and the checks of the log's place), the floor's
# 13 entries, and the whole gap between the launcher and the floor.
SPLIT = [
    ("manifest_startup", "floor_nolog", "spawn_minimal"),
    ("launcher_startup", "nolog", "floor_nolog"),
    ("launcher_log", "launcher", "nolog"),
    ("floor_log", "floor", "floor_nolog"),
    ("launcher_over_floor", "launcher", "floor"),
]


def split(prefix, path, names):
    passes, _ = read_passes(path, names)
    for part, minuend, subtrahend in SPLIT:
        a, b = names.index(minuend), names.index(subtrahend)
        figure(f"{prefix}.split_ms.{part}", statistics.median(p[a] - p[b] for p in passes) / 1000, 3)


REQUEST = re.compile(r"^([0-9a-f]{4,8}): ([a-z_]+)\((.*)$")


def requests(prefix, path, pairs):
    names = dict(pair.split("=", 1) for pair in pairs)
    thread_process = {}  # thread id -> process id
    process_image = {}  # process id -> image file name
    creating = {}  # thread id -> image of the process it is creating
    counts = {}  # process id -> {request: count}
    for line in open(path, errors="replace"):
        match = REQUEST.match(line)
        if not match:
            continue
        thread, request, rest = match.groups()
        reply = rest.startswith(") =")
        if request == "new_process" and not reply:
            image = re.search(r'imagepath=L"([^"]*)"', rest)
            creating[thread] = image.group(1).split("\\")[-1] if image else "?"
        elif request == "new_process" and thread in creating:
            process = re.search(r"pid=([0-9a-f]+)", rest)
            if process:
                process_image[process.group(1)] = creating.pop(thread)
                counts.pop(process.group(1), None)  # Wine reuses ids
        elif request in ("init_first_thread", "init_thread") and reply:
            process = re.search(r"pid=([0-9a-f]+)", rest)
            if process:
                thread_process[thread] = process.group(1)
        if not reply and thread in thread_process:
            counts.setdefault(thread_process[thread], {}).setdefault(request, 0)
            counts[thread_process[thread]][request] += 1
    last = {}
    for process, image in process_image.items():
        if image in names and process in counts:
            last[names[image]] = counts[process]
    missing = [name for name in names.values() if name not in last]
    if missing:
        sys.exit(f"report.py: no run of {', '.join(missing)} in {path}")
    kinds = sorted({k for c in last.values() for k in c})
    for name in names.values():
        figure(f"{prefix}.{name}.all", sum(last[name].values()), 0)
        for kind in kinds:
            if len({c.get(kind, 0) for c in last.values()}) > 1:
                figure(f"{prefix}.{name}.{kind}", last[name].get(kind, 0), 0)


CALL = re.compile(r"^(\d+)\s+(.*)$")


def syscalls(prefix, path, child, log_name):
    calls = {}  # pid -> list of call texts, in order
    done = set()  # pids that have become the child program
    order = []
    for line in open(path):
        match = CALL.match(line.rstrip("\n"))
        if not match:
            continue
        pid, text = int(match.group(1)), match.group(2)
        # Signals, exits, and the second half of a call strace split in two.
        if text.startswith(("+++", "---", "<...")) or pid in done:
            continue
        if pid not in calls:
            calls[pid] = []
            order.append(pid)
        calls[pid].append(text)
        if order[0] != pid and text.startswith(f'execve("{child}"') and ("= 0" in text or "unfinished" in text):
            done.add(pid)
    root = calls[order[0]]
    figure(f"{prefix}.process", len(root), 0)
    figure(f"{prefix}.launch", sum(len(c) for c in calls.values()), 0)
    entries, inside, opened = 0, 0, False
    for text in root:
        if not opened and text.startswith("openat(") and log_name in text:
            opened, entries = True, entries + 1
        if opened:
            inside += 1
            if text.startswith("close("):
                opened = False
    if entries:
        figure(f"{prefix}.entries", entries, 0)
        figure(f"{prefix}.per_entry", inside / entries, 2)


def main():
    if len(sys.argv) >= 5 and sys.argv[1] == "times":
        times(sys.argv[2], sys.argv[3], sys.argv[4:])
    elif len(sys.argv) >= 5 and sys.argv[1] == "split":
        split(sys.argv[2], sys.argv[3], sys.argv[4:])
    elif len(sys.argv) >= 5 and sys.argv[1] == "requests":
        requests(sys.argv[2], sys.argv[3], sys.argv[4:])
    elif len(sys.argv) == 6 and sys.argv[1] == "syscalls":
        syscalls(*sys.argv[2:])
    else:
        sys.exit(__doc__)


main()
