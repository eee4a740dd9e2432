#!/usr/bin/env python3
"""The soak's two halves (scripts/soak.sh runs both).

watch LOGDIR WORK
    Follows every generation of LOGDIR/native-windows.out with inotify until
    WORK/stop appears. Each new generation is opened read-only the moment it
    is created and kept open: its content stays readable after the launcher
    deletes it, including whatever a run still appends to it then, and the
    file keeps one link, so the watcher never makes the log look like a
    hard-linked file to the launcher. A watch on each open generation's inode
    reports its unlinking, when the watcher reads its size: an upper bound of
    its size when it was deleted. Afterwards it writes each generation's
    content to WORK/gen.NNNNN and what it saw to WORK/watch.json.

check --host native|win32 ... WORK
    Holds every run's expected entries against everything the watcher saw
    and reports, per run and per entry, what was lost, torn or cut, each
    run's exit code and standard error, and Wine crashes apart from launcher
    failures. Exits non-zero on any problem.
"""
import argparse
import ctypes
import errno
import json
import os
import re
import select
import struct
import sys

LOG_NAME = 'native-windows.out'
CAP = 500000
IN_ATTRIB = 0x4
IN_MOVED_FROM = 0x40
IN_MOVED_TO = 0x80
IN_CREATE = 0x100
IN_DELETE = 0x200
IN_Q_OVERFLOW = 0x4000
EVENT = struct.Struct('iIII')


class Inotify:
    def __init__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), 'inotify_init1')

    def add(self, path, mask):
        wd = self.libc.inotify_add_watch(self.fd, path.encode(), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), 'inotify_add_watch ' + path)
        return wd

    def events(self, timeout):
        """The events queued now, after waiting up to timeout seconds for one."""
        select.select([self.fd], [], [], timeout)
        out = []
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                return out
            i = 0
            while i < len(data):
                wd, mask, _, length = EVENT.unpack_from(data, i)
                name = data[i + EVENT.size:i + EVENT.size + length].split(b'\0', 1)[0].decode()
                out.append((wd, mask, name))
                i += EVENT.size + length


def watch(log_dir, work):
    inotify = Inotify()
    log_wd = inotify.add(log_dir, IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)
    work_wd = inotify.add(work, IN_CREATE)
    path = os.path.join(log_dir, LOG_NAME)
    generations = []  # dicts; 'fd' is dropped before they are written out
    by_wd = {}
    by_inode = {}
    seen = {'creations': 0, 'deletions': 0, 'missed': [], 'overflow': False}

    def note_unlinked(generation):
        if generation['deleted_size'] is None:
            status = os.fstat(generation['fd'])
            if status.st_nlink == 0:
                generation['deleted_size'] = status.st_size

    def open_new():
        seen['creations'] += 1
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            seen['missed'].append(len(generations))
            return
        inode = os.fstat(fd).st_ino
        if inode in by_inode:
            # Opened already for an earlier creation: the generation of that
            # one came and went before the watcher got to it.
            os.close(fd)
            seen['missed'].append(by_inode[inode]['index'])
            return
        generation = {'index': len(generations), 'fd': fd, 'inode': inode, 'deleted_size': None}
        wd = inotify.add('/proc/self/fd/%d' % fd, IN_ATTRIB)
        by_wd[wd] = generation
        by_inode[inode] = generation
        generations.append(generation)

    open(os.path.join(work, 'watching'), 'w').close()
    stopping = False
    while True:
        events = inotify.events(1.0)
        for wd, mask, name in events:
            if mask & IN_Q_OVERFLOW:
                seen['overflow'] = True
            elif wd == log_wd and name == LOG_NAME and mask & (IN_CREATE | IN_MOVED_TO):
                open_new()
            elif wd == log_wd and name == LOG_NAME and mask & (IN_DELETE | IN_MOVED_FROM):
                seen['deletions'] += 1
                for generation in generations:
                    note_unlinked(generation)
            elif wd in by_wd and mask & IN_ATTRIB:
                note_unlinked(by_wd[wd])
            elif wd == work_wd and name == 'stop':
                stopping = True
        # Every event of the runs was queued before the stop file's.
        if stopping and not events:
            break
        if not stopping and os.path.exists(os.path.join(work, 'stop')):
            stopping = True

    for generation in generations:
        fd = generation.pop('fd')
        size = os.fstat(fd).st_size
        chunks = []
        offset = 0
        while offset < size:
            chunk = os.pread(fd, size - offset, offset)
            if not chunk:
                break
            chunks.append(chunk)
            offset += len(chunk)
        os.close(fd)
        with open(os.path.join(work, 'gen.%05d' % generation['index']), 'wb') as out:
            out.write(b''.join(chunks))
        generation['final_size'] = offset
    with open(os.path.join(work, 'watch.json'), 'w') as out:
        json.dump({'generations': generations, 'seen': seen}, out, indent=1)


# The entries of one run, in the order it writes them.
STEPS = ['banner', 'main called', 'argv[0]', 'argv[1]', 'argv[2]', 'error', 'main finished']
HEADER = re.compile(rb'\d{4}/\d\d/\d\d \d\d:\d\d:\d\d: \(pid=(-?\d+)\)  ')
RUN_ID = r'W(\d+)R(\d+)'
# Wine's own report of an unhandled exception, with the faulting address
# (flat, or segment:offset), and winedbg's, which follows when it is the
# prefix's debugger.
CRASH = re.compile(r'wine: Unhandled (.*?) at address (?:0x)?(?:[0-9A-Fa-f]+:(?:0x)?)?([0-9A-Fa-f]+)')
DEBUGGER_CRASH = re.compile(r'Unhandled exception: (.*?) in (?:32|64)-bit code \(0x([0-9A-Fa-f]+)\)')


def image_range(exe_file, report):
    """The addresses launcher.exe occupies: from winedbg's module list when the
    report has one, else from the executable's PE header."""
    m = re.search(r'^\s*PE\s+([0-9a-fA-F]+)-\s*([0-9a-fA-F]+)\s.*\blauncher\b', report, re.M)
    if m:
        return int(m.group(1), 16), int(m.group(2), 16)
    data = open(exe_file, 'rb').read(4096)
    pe = struct.unpack_from('<I', data, 0x3c)[0]
    optional = pe + 4 + 20
    magic, = struct.unpack_from('<H', data, optional)
    if magic == 0x20b:  # a 64-bit image
        base, = struct.unpack_from('<Q', data, optional + 24)
    else:
        base, = struct.unpack_from('<I', data, optional + 28)
    size, = struct.unpack_from('<I', data, optional + 56)
    return base, base + size


class Checker:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.word_length = args.word_length
        self.problems = []
        self.details = []  # the full report, also for what is only summed up on screen
        meta = json.load(open(os.path.join(self.work, 'watch.json')))
        self.generations = meta['generations']
        self.seen = meta['seen']
        self.runs = {}
        for w in range(args.writers):
            for r in range(args.runs):
                self.runs['W%dR%d' % (w, r)] = {'entries': {}}

    def problem(self, text):
        self.problems.append(text)

    def word_of(self, run):
        w, r = (int(x) for x in re.fullmatch(RUN_ID, run).groups())
        return run + '-' + 'abcdefghijklmnopqrstuvwxyz'[(w * 7 + r) % 26] * (self.word_length - len(run) - 1)

    def classify(self, message):
        """(step, run id or None) of an entry's message, or None for a stray one."""
        exe = self.args.exe
        if message == "--------------- FIRST LOG MESSAGE FROM '%s' ---------------" % exe:
            return 0, None
        if message == 'main called.':
            return 1, None
        if message == "  argv[0] = '%s'" % exe:
            return 2, None
        m = re.fullmatch(r"  argv\[1\] = '(%s)'" % RUN_ID, message)
        if m and m.group(1) in self.runs:
            return 3, m.group(1)
        m = re.fullmatch(r"  argv\[2\] = '(%s)-[a-z]*'" % RUN_ID, message)
        if m and m.group(1) in self.runs and message == "  argv[2] = '%s'" % self.word_of(m.group(1)):
            return 4, m.group(1)
        m = re.fullmatch(r'ERROR:  Unknown subcommand: \[(%s)\]' % RUN_ID, message)
        if m and m.group(1) in self.runs:
            return 5, m.group(1)
        if message == 'main finished. Returning -1':
            return 6, None
        return None

    def entries(self, generation, data):
        """(step, run id, pid, offset, end) of each whole entry; torn text is a problem."""
        name = 'gen.%05d' % generation['index']
        win = self.args.host == 'win32'
        if data and not data.endswith(b'\n'):
            self.problem('%s: ends inside a line' % name)
        if win and not data.count(b'\r') == data.count(b'\r\n') == data.count(b'\n'):
            self.problem('%s: a line end that is not CR LF' % name)
        if not win and b'\r' in data:
            self.problem('%s: CR in a native log' % name)
        newline = b'\r\n' if win else b'\n'
        lines = []  # (offset, end of line with its line end, text)
        offset = 0
        while offset < len(data):
            end = data.find(b'\n', offset)
            end = len(data) if end < 0 else end + 1
            text = data[offset:end]
            if text.endswith(newline):
                text = text[:-len(newline)]
            lines.append((offset, end, text))
            offset = end
        out = []
        i = 0
        while i < len(lines):
            offset, end, text = lines[i]
            header = HEADER.match(text)
            found = self.classify(text[header.end():].decode('latin-1')) if header else None
            if found is None:
                self.problem('%s offset %d: torn or stray line %r' % (name, offset, text[:80]))
                i += 1
                continue
            step, run = found
            if step == 5:
                # The message ends in a line feed: the entry's own empty line follows.
                if i + 1 < len(lines) and lines[i + 1][2] == b'':
                    end = lines[i + 1][1]
                    i += 1
                else:
                    self.problem('%s offset %d: error entry of %s without its empty line' % (name, offset, run))
            out.append((step, run, int(header.group(1)), offset, end))
            i += 1
        return out

    def read_log(self):
        """Sorts every whole entry to its run; a run is known by the entries that
        name it, the others by their process id and their order."""
        current = {}  # pid -> the group of entries its latest run wrote
        groups = []
        for generation in self.generations:
            data = open(os.path.join(self.work, 'gen.%05d' % generation['index']), 'rb').read()
            for step, run, pid, offset, end in self.entries(generation, data):
                group = current.get(pid)
                if group is None or step <= group['last'] or (run and group['run'] and run != group['run']):
                    group = {'pid': pid, 'run': None, 'last': -1, 'entries': []}
                    groups.append(group)
                    current[pid] = group
                if run:
                    group['run'] = run
                group['last'] = step
                group['entries'].append((step, generation, offset, end))
        for group in groups:
            if group['run'] is None:
                where = sorted({e[1]['index'] for e in group['entries']})
                self.details.append('entries %s of an unidentified run (pid %d) in gen %s'
                                    % ([STEPS[e[0]] for e in group['entries']], group['pid'], where))
                continue
            run = self.runs[group['run']]
            for step, generation, offset, end in group['entries']:
                if step in run['entries']:
                    self.problem('run %s: entry %r logged twice' % (group['run'], STEPS[step]))
                run['entries'][step] = (generation, offset, end)

    def read_runs(self):
        native = self.args.host == 'native'
        image = None
        for run_id, run in self.runs.items():
            base = os.path.join(self.work, 'runs', run_id)
            try:
                run['code'] = int(open(base + '.code').read().strip())
            except (OSError, ValueError):
                run['code'] = None
            run['out'] = open(base + '.out', 'rb').read().decode('latin-1') if os.path.exists(base + '.out') else ''
            run['err'] = open(base + '.err', 'rb').read().decode('latin-1') if os.path.exists(base + '.err') else ''
            crash = (CRASH.search(run['err']) or CRASH.search(run['out']) or DEBUGGER_CRASH.search(run['err'])
                     or DEBUGGER_CRASH.search(run['out']))
            if crash:
                if image is None:
                    image = image_range(self.args.exe_file, run['out'] + run['err'])
                address = int(crash.group(2), 16)
                inside = image[0] <= address < image[1]
                run['crash'] = '%s at address %08X, %s launcher.exe (%08X-%08X)' % (
                    crash.group(1), address, 'inside' if inside else 'outside', image[0], image[1])
                run['outcome'] = 'launcher crash' if inside else 'Wine crash'
                continue
            line_end = '\n' if native else '\r\n'
            faults = []
            if run['code'] != 255:
                faults.append('exit code %s, not 255' % run['code'])
            if run['err'] != 'Unknown subcommand: [%s]%s' % (run_id, line_end):
                faults.append('standard error %r' % run['err'][:200])
            stray = [line for line in run['out'].replace('\r\n', '\n').split('\n')
                     if line and line != 'Could not create log file.']
            if stray:
                faults.append('standard output %r' % stray[0][:200])
            run['unlogged'] = run['out'].count('Could not create log file.')
            run['faults'] = faults
            run['outcome'] = 'failed' if faults else 'ok'

    def judge_generations(self):
        native = self.args.host == 'native'
        for g in self.generations:
            name = 'gen.%05d' % g['index']
            visible = g['deleted_size'] if g['deleted_size'] is not None else g['final_size']
            if g['deleted_size'] is not None and g['deleted_size'] <= CAP:
                self.problem('%s: deleted when it held at most %d bytes, not over the cap' % (name, g['deleted_size']))
            if native and visible > CAP + self.args.writers * (self.word_length + 100):
                self.problem('%s: %d bytes, more than the cap plus one entry per launcher' % (name, visible))
        for before in self.seen['missed']:
            self.problem('a generation was deleted before the watcher could open it (just before gen.%05d)' % before)
        if self.seen['overflow']:
            self.problem('the watcher lost events (inotify queue overflow): the generations seen may be incomplete')

    def judge_entries(self):
        totals = {'expected': 0, 'whole': 0, 'after': 0, 'cut': 0, 'missing': 0, 'unlogged': 0}
        lost_lines = []
        for run_id, run in self.runs.items():
            entries = run['entries']
            if run['outcome'] in ('Wine crash', 'launcher crash'):
                # Entries a crashed process never wrote are not lost; those it
                # wrote are checked like any others.
                expected = sorted(entries)
            else:
                expected = list(range(len(STEPS)))
            totals['expected'] += len(expected)
            missing = []
            for step in expected:
                if step not in entries:
                    missing.append(step)
                    continue
                generation, offset, end = entries[step]
                deleted = generation['deleted_size']
                where = 'gen.%05d offset %d' % (generation['index'], offset)
                if deleted is not None and offset >= deleted:
                    totals['after'] += 1
                    lost_lines.append('run %s entry %r: written into %s after that generation was deleted at %d bytes'
                                      % (run_id, STEPS[step], where, deleted))
                elif deleted is not None and end > deleted:
                    totals['cut'] += 1
                    lost_lines.append('run %s entry %r: cut by the deletion of its generation, %s to %d, deleted at %d'
                                      % (run_id, STEPS[step], where, end, deleted))
                else:
                    totals['whole'] += 1
            unlogged = min(run.get('unlogged', 0), len(missing))
            if run.get('unlogged', 0) > len(missing):
                self.problem('run %s: said "Could not create log file." %d times, but only %d entries are missing'
                             % (run_id, run['unlogged'], len(missing)))
            totals['unlogged'] += unlogged
            totals['missing'] += len(missing) - unlogged
            if missing:
                near = [entries[s][0]['index'] for s in entries]
                place = ('its other entries are in gen %s' % sorted(set(near))) if near else 'none of its entries was seen'
                said = (', %d of them announced on standard output ("Could not create log file.")' % unlogged
                        if unlogged else '')
                lost_lines.append('run %s: %s never seen in any generation (%s)%s'
                                  % (run_id, ', '.join(repr(STEPS[s]) for s in missing), place, said))
        return totals, lost_lines

    def run(self):
        host = self.args.host
        self.read_runs()
        self.read_log()
        self.judge_generations()
        totals, lost_lines = self.judge_entries()

        outcomes = {}
        for run in self.runs.values():
            outcomes[run['outcome']] = outcomes.get(run['outcome'], 0) + 1
        total = len(self.runs)
        print('runs: %d; %d ended with exit code 255 and the expected output; %d launcher failures; '
              '%d crashes inside launcher.exe; %d Wine crashes outside launcher.exe'
              % (total, outcomes.get('ok', 0), outcomes.get('failed', 0), outcomes.get('launcher crash', 0),
                 outcomes.get('Wine crash', 0)))
        failed_runs = []
        for run_id, run in self.runs.items():
            if run['outcome'] == 'failed':
                # Whether the launcher got as far as its log tells a failing
                # start of the process apart from a failing launcher.
                failed_runs.append('run %s failed: %s; %d of its %d entries logged'
                                   % (run_id, '; '.join(run['faults']), len(run['entries']), len(STEPS)))
            elif run['outcome'] == 'launcher crash':
                failed_runs.append('run %s crashed inside launcher.exe: %s' % (run_id, run['crash']))
        for text in failed_runs:
            self.problem(text + ' (output in runs/%s.*)' % text.split()[1])
        crashes = ['run %s: %s, %s' % (run_id, run['crash'],
                                       'before its first entry' if not run['entries'] else
                                       'after its entry %r' % STEPS[max(run['entries'])])
                   for run_id, run in self.runs.items() if run['outcome'] == 'Wine crash']
        for text in crashes:
            print('  Wine crash (not counted as a launcher failure): %s' % text)
        # A rare crash in Wine's start-up is Wine's; many are a broken setup.
        if len(crashes) * 100 > total:
            self.problem('%d of %d runs crashed in Wine: more than 1 in 100' % (len(crashes), total))

        largest = max([g['final_size'] for g in self.generations] or [0])
        print('log: %d generations seen (the cap was crossed %d times), %d deleted before the watcher could open '
              'them; largest %d bytes' % (len(self.generations), self.seen['deletions'], len(self.seen['missed']),
                                          largest))
        lost = totals['after'] + totals['cut'] + totals['missing'] + totals['unlogged']
        print('entries: %d expected, %d whole where a reader of the log could see them; lost: %d '
              '(%d written after their generation was deleted, %d cut by a deletion, %d never seen, '
              '%d not written and said so on standard output)'
              % (totals['expected'], totals['whole'], lost, totals['after'], totals['cut'], totals['missing'],
                 totals['unlogged']))
        for text in lost_lines:
            self.details.append('lost: ' + text)
        if lost:
            self.problem('%d entries lost' % lost)
            for text in lost_lines[:15]:
                print('  lost: ' + text)
            if len(lost_lines) > 15:
                print('  ... %d more in %s' % (len(lost_lines) - 15, os.path.join(self.work, 'report.txt')))
        with open(os.path.join(self.work, 'report.txt'), 'w') as out:
            for text in self.problems + self.details + crashes:
                out.write(text + '\n')
        print('problems: %d' % len(self.problems))
        for text in self.problems[:12]:
            print('  ' + text)
        if len(self.problems) > 12:
            print('  ... %d more in %s' % (len(self.problems) - 12, os.path.join(self.work, 'report.txt')))
        return 1 if self.problems else 0


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest='command', required=True)
    w = sub.add_parser('watch')
    w.add_argument('log_dir')
    w.add_argument('work')
    c = sub.add_parser('check')
    c.add_argument('--host', choices=['native', 'win32'], required=True)
    c.add_argument('--exe', required=True, help='the launcher as it names itself in the log')
    c.add_argument('--exe-file', required=True, help='the launcher executable')
    c.add_argument('--writers', type=int, required=True)
    c.add_argument('--runs', type=int, required=True)
    c.add_argument('--word-length', type=int, required=True)
    c.add_argument('work')
    args = parser.parse_args()
    if args.command == 'watch':
        watch(args.log_dir, args.work)
        return 0
    return Checker(args).run()


if __name__ == '__main__':
    sys.exit(main())
