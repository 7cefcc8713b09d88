#!/usr/bin/env python3
"""Times the programming phase of bmfwu against the simulated switch.

Runs the whole update several ways and prints one table:
  bmfwu N ms     bmfwu against bmfwu-sim --throttle (115200 baud wire time, erase
                 and copy times spent) behind a USB adapter whose latency timer
                 ticks every N ms (0, 2 and 16): wall time of the phase, turns per
                 4096-byte block, bytes each way, the physical bound, their ratio
                 and bmfwu's CPU time;
  unthrottled    without throttle or latency (the program's own overhead);
  lpc21isp N ms  lpc21isp programming the same application bytes into the same
                 throttled simulator at the same latency, as the peer figure;
  switches at once
                 bmfwu --all --yes over 1, 4 and 8 throttled simulators behind 16 ms
                 adapters (image 1's and image 2's switch in turn, all at 3.03), from
                 the start of the process to its exit, and bmfwu's CPU time, beside one
                 switch's bmfwu --yes run in the same conditions.
The phase runs from the "0%" progress line to the "100%" line. Its bytes and
flash operations are taken from the simulator's traffic log, from the first
command after the application erase to the reply of the last compare.

--quick runs the unthrottled update only (for CI); --all-switches runs only the switches
at once. --support-log has bmfwu write its support log (--log) during every run, to see what
the log costs. The exit status is 0 when every measured target is met, 1 when one is missed,
2 when a run failed.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty

BAUD = 115200
BITS_PER_BYTE = 10
ERASE_MS = 100
COPY_MS = 1
PORT = 3
APP_LENGTH = 146040
APP_OFFSET = 0x50
FLASH_BASE = 0x1A000000
SWITCH = ["--table", "--product-id", "0x56", "--pcb-revision", "3", "--version", "3.03",
          "--name", "Sonavex F"]
SWITCH_TWO = ["--table", "--product-id", "0x64", "--pcb-revision", "1", "--version", "3.03",
              "--name", "Sonavex F-II", "--flash-config", "0x44"]
PHASE_START = b"Updating firmware:   0% complete."
PHASE_END = b"\rUpdating firmware: 100% complete.\n"
QUESTION = b"(Y,N) "
EXIT_PROMPT = b"Press any key to exit..."
RUN_LIMIT_S = 150

LATENCIES_MS = (0, 2, 16)
TARGET_RATIO = {0: 1.03, 2: 1.04, 16: 1.20}
TARGET_CPU_SHARE = 0.10
TARGET_UNTHROTTLED_S = 0.5

# Switches updated at once: as many as a rack holds, behind the usual adapter latency.
SWITCH_COUNTS = (1, 4, 8)
AT_ONCE_LATENCY_MS = 16
TARGET_AT_ONCE_RATIO = 1.5   # 8 switches' run against one switch's run
TARGET_AT_ONCE_COUNTS = (1, 8)   # 4 is shown, not judged
UPDATED = re.compile(r"^(COM\d+): updated to ", re.M)

COPY_COMMAND = re.compile(r"^C \d+ \d+ (\d+)")
# A line the host waits on an answer for: a command, or a checksum (data lines and the "OK"
# after a read are not answered).
TURN_LINE = re.compile(r'^([A-Z] |[0-9]+\\r\\n$)')
LOG_LINE = re.compile(r'^\s*([0-9.]+) (host>sim|sim>host) +(\d+) (LOST )?"(.*)"$')


class RunFailed(Exception):
    pass


# ---------------------------------------------------------------- log parsing

def wire_length(escaped):
    """Bytes in one escaped log text: \\xHH, \\r, \\n, \\\\ and \\" are one byte each."""
    count, i = 0, 0
    while i < len(escaped):
        if escaped[i] == "\\":
            i += 4 if escaped[i + 1] == "x" else 2
        else:
            i += 1
        count += 1
    return count


def read_log(path):
    """The log as (time s, from host, text, byte count) entries, the host's bytes joined into
    whole lines (up to LF). With the bootloader's echo on, the switch sends while the host is
    still sending a line; what it sent meanwhile follows the line."""
    entries, pending, held = [], None, []
    with open(path, encoding="latin-1") as log:
        for line in log:
            match = LOG_LINE.match(line.rstrip("\n"))
            if not match:
                continue
            time_s, text = float(match.group(1)), match.group(5)
            if match.group(2) != "host>sim":
                entry = (time_s, False, text, wire_length(text))
                (held if pending else entries).append(entry)
                continue
            pending = [pending[0] if pending else time_s, (pending[1] if pending else "") + text]
            while pending and "\\n" in pending[1]:
                whole, rest = pending[1].split("\\n", 1)
                whole += "\\n"
                entries.append((pending[0], True, whole, wire_length(whole)))
                entries.extend(held)
                held = []
                pending = [time_s, rest] if rest else None
    if pending:
        entries.append((pending[0], True, pending[1], wire_length(pending[1])))
    return entries + held


def is_command(entry, letter):
    return entry[1] and entry[2].startswith(letter + " ")


def first_index(entries, start, letter):
    for i in range(start, len(entries)):
        if is_command(entries[i], letter):
            return i
    raise RunFailed("no %s command in the traffic log" % letter)


def reply_end(entries, index):
    """Index of the last entry of the reply that follows the command at index."""
    end = index
    while end + 1 < len(entries) and not entries[end + 1][1]:
        end += 1
    return end


def last_command_before(entries, start, stop, letters):
    found = None
    for i in range(start, stop):
        if any(is_command(entries[i], letter) for letter in letters):
            found = i
    if found is None:
        raise RunFailed("no %s command in the traffic log" % "/".join(letters))
    return found


def flash_ms(entries, first, last):
    """Erase and copy time the simulator spends for the commands in [first, last]."""
    total = 0
    for entry in entries[first:last + 1]:
        if is_command(entry, "E"):
            total += ERASE_MS
        elif is_command(entry, "C"):
            copy = COPY_COMMAND.match(entry[2])
            if copy is None:
                raise RunFailed("a copy command split in the traffic log: " + entry[2])
            total += COPY_MS * (int(copy.group(1)) // 512)
    return total


def wire_span(entries, first, last):
    """Seconds from the first byte of entry first to the last byte of entry last."""
    return entries[last][0] + entries[last][3] * BITS_PER_BYTE / BAUD - entries[first][0]


def block_turns(entries):
    """Turns (the host waiting for an answer) per 4096-byte block, counted from the reply of
    the first 4096-byte copy to the reply of the last."""
    copies = [i for i, entry in enumerate(entries)
              if is_command(entry, "C") and COPY_COMMAND.match(entry[2]).group(1) == "4096"]
    if len(copies) < 2:
        return None
    first, last = reply_end(entries, copies[0]), reply_end(entries, copies[-1])
    turns = sum(1 for i in range(first, last) if entries[i][1] and TURN_LINE.match(entries[i][2]))
    return turns / (len(copies) - 1)


def phase_figures(entries, first, last):
    host = sum(e[3] for e in entries[first:last + 1] if e[1])
    device = sum(e[3] for e in entries[first:last + 1] if not e[1])
    return {"to_sim": host, "to_host": device, "flash_ms": flash_ms(entries, first, last)}


def bmfwu_phase(entries):
    """From after the application erase's reply to the reply of the compare before the restart."""
    erase = first_index(entries, 0, "E")
    first = reply_end(entries, erase) + 1
    # The restart's "G" (a damaged line also unlocks again in mid pass, after each resynchronisation).
    restart = first_index(entries, first, "G")
    last = reply_end(entries, last_command_before(entries, first, restart, ["M"]))
    figures = phase_figures(entries, first, last)
    figures["span_s"] = wire_span(entries, erase, last)
    figures["turns"] = block_turns(entries)
    return figures


def lpc21isp_span(entries):
    """From the first erase to the reply of the last copy, as for bmfwu's span."""
    erase = first_index(entries, 0, "E")
    last = reply_end(entries, last_command_before(entries, erase, len(entries), ["C"]))
    return wire_span(entries, erase, last)


# ---------------------------------------------------------------- processes

def cpu_seconds(pid):
    """CPU time (user + system) of a process so far, all its threads: the simulator serves
    its line on a thread of its own, and --all updates each switch on one."""
    try:
        total = 0
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
                total += int(stat.read().split()[0])
        return total / 1e9
    except OSError:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Simulator:
    def __init__(self, build, work, name, throttle, extra, link=None, latency=0, log=True):
        self.log = os.path.join(work, name + ".log") if log else None
        self.output = open(os.path.join(work, name + ".out"), "w+b")
        command = [os.path.join(build, "tools/sim/bmfwu-sim")] + (["--log", self.log] if log else []) + extra
        if throttle:
            command += ["--throttle", "--erase-ms", str(ERASE_MS), "--copy-ms", str(COPY_MS)]
        if link:
            command += ["--link", link]
        if latency:
            command += ["--latency", str(latency)]
        self.process = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT)
        self.slave = self._first_line()
        if link:
            self._await(link)

    def _first_line(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            self.output.seek(0)
            line = self.output.readline()
            if line.endswith(b"\n"):
                return line.decode().strip()
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        raise RunFailed("bmfwu-sim did not start")

    @staticmethod
    def _await(link):
        for _ in range(200):
            if os.path.islink(link):
                return
            time.sleep(0.02)
        raise RunFailed("bmfwu-sim made no link " + link)

    def stop(self):
        """Ends the simulator and returns its closing line (bytes moved, flash time)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.output.seek(0)
        lines = self.output.read().decode(errors="replace").splitlines()
        self.output.close()
        return lines[-1] if lines else ""


def read_console(console, timeout=0.5):
    """What the program wrote to its terminal within `timeout` seconds: None when nothing came,
    b"" once the terminal's last holder has gone."""
    ready, _, _ = select.select([console], [], [], timeout)
    if not ready:
        return None
    try:
        return os.read(console, 65536)
    except OSError:   # the terminal's last holder has gone
        return b""


def answer_prompts(seen, program, answered):
    """Answers bmfwu's question with y and its exit prompt with a key, each once, as a user would."""
    for prompt, key in ((QUESTION, b"y"), (EXIT_PROMPT, b"x")):
        if prompt not in answered and prompt in seen:
            answered.add(prompt)
            program.stdin.write(key)
            program.stdin.flush()


def drive_bmfwu(build, port_dir, arguments, port=PORT):
    """Runs bmfwu on `port` (COM3), answers its question and its exit prompt, and times the phase."""
    env = dict(os.environ, BMFWU_PORT_DIR=port_dir)
    # Output goes to a terminal, as for a user: a pipe would hold back the unflushed 100% line.
    console, terminal = pty.openpty()
    tty.setraw(terminal)   # the bytes as the program wrote them, without CR LF translation
    program = subprocess.Popen([os.path.join(build, "src/app/bmfwu")] + arguments + [str(port)], env=env,
                               stdin=subprocess.PIPE, stdout=terminal, stderr=terminal)
    os.close(terminal)
    seen, marks, answered = b"", {}, set()
    deadline = time.monotonic() + RUN_LIMIT_S
    try:
        while time.monotonic() < deadline:
            chunk = read_console(console)
            if chunk is None:
                continue
            if not chunk:
                break
            now = time.monotonic()
            seen += chunk
            for mark in (PHASE_START, PHASE_END):
                if mark not in marks and mark in seen:
                    marks[mark] = (now, cpu_seconds(program.pid))
            answer_prompts(seen, program, answered)
        else:
            raise RunFailed("bmfwu did not finish within %d s" % RUN_LIMIT_S)
    finally:
        if program.poll() is None:
            program.kill()
        program.wait()
        os.close(console)
    if PHASE_START not in marks or PHASE_END not in marks:
        tail = seen.decode(errors="replace")[-400:]
        raise RunFailed("bmfwu did not program the switch; its output ended:\n" + tail)
    (t0, cpu0), (t1, cpu1) = marks[PHASE_START], marks[PHASE_END]
    return {"wall_s": t1 - t0, "cpu_s": cpu1 - cpu0}


def run_bmfwu(build, work, name, throttle, latency=0, support_log=False, noise=(), options=()):
    port_dir = os.path.join(work, name)
    os.mkdir(port_dir)
    arguments = ["--log", os.path.join(port_dir, "support.log")] if support_log else []
    arguments += list(options)
    sim = Simulator(build, work, name, throttle, SWITCH + list(noise), os.path.join(port_dir, "COM%d" % PORT),
                    latency)
    try:
        figures = drive_bmfwu(build, port_dir, arguments)
    finally:
        figures_sim = sim.stop()
    figures.update(bmfwu_phase(read_log(sim.log)))
    figures["sim_says"] = figures_sim
    return figures


def application_hex(build, work):
    """The application bytes of image 1 as Intel HEX placed at the start of bank A."""
    with open(os.path.join(build, "src/firmware/image1.bin"), "rb") as container:
        container.seek(APP_OFFSET)
        application = container.read(APP_LENGTH)
    if len(application) != APP_LENGTH:
        raise RunFailed("image1.bin holds no %d-byte application" % APP_LENGTH)
    binary = os.path.join(work, "app.bin")
    with open(binary, "wb") as out:
        out.write(application)
    hex_path = os.path.join(work, "app.hex")
    subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses",
                    hex(FLASH_BASE), binary, hex_path], check=True)
    return hex_path


def run_lpc21isp(build, work, hex_path, latency):
    sim = Simulator(build, work, "lpc21isp-%d" % latency, True, SWITCH + ["--start-in-bootloader"],
                    latency=latency)
    try:
        start = time.monotonic()
        done = subprocess.run(["lpc21isp", "-donotstart", hex_path, sim.slave, str(BAUD), "12000"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=RUN_LIMIT_S)
        wall = time.monotonic() - start
    finally:
        sim_says = sim.stop()
    if done.returncode != 0:
        raise RunFailed("lpc21isp failed:\n" + done.stdout.decode(errors="replace")[-400:])
    return {"process_s": wall, "span_s": lpc21isp_span(read_log(sim.log)), "sim_says": sim_says}


# ---------------------------------------------------------------- switches at once

def run_to_exit(build, port_dir, arguments, watch=None):
    """Runs bmfwu with its output on a terminal until it exits. Returns the seconds from its
    start to its exit, its CPU time (user + system, all its threads), its exit status and
    output. Nothing is answered: an unattended run asks nothing. watch(output so far, program),
    when given, is called on every piece of output and at least every 20 ms, to act on the run
    at a point of its output (and to answer it, if it may ask)."""
    env = dict(os.environ, BMFWU_PORT_DIR=port_dir)
    console, terminal = pty.openpty()
    tty.setraw(terminal)
    start = time.monotonic()
    program = subprocess.Popen([os.path.join(build, "src/app/bmfwu")] + arguments, env=env,
                               stdin=subprocess.PIPE, stdout=terminal, stderr=terminal)
    os.close(terminal)
    seen, finished = b"", False
    try:
        while time.monotonic() - start < RUN_LIMIT_S:
            chunk = read_console(console, 0.02 if watch else 0.5)
            if chunk == b"":
                finished = True
                break
            seen += chunk or b""
            if watch:
                watch(seen, program)
    finally:
        if not finished:
            program.kill()
        # wait4, not Popen.wait: its resource usage is the program's CPU time to the end.
        _, status, usage = os.wait4(program.pid, 0)
        wall = time.monotonic() - start
        program.returncode = os.waitstatus_to_exitcode(status)
        program.stdin.close()
        os.close(console)
    output = seen.decode(errors="replace")
    if not finished:
        raise RunFailed("bmfwu %s did not finish within %d s; its output ended:\n%s"
                        % (" ".join(arguments), RUN_LIMIT_S, output[-600:]))
    return {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime, "status": program.returncode,
            "output": output}


def run_at_once(build, work, name, count, arguments, noise=()):
    """bmfwu with arguments over count throttled switches on COM1 to COMcount."""
    port_dir = os.path.join(work, name)
    os.mkdir(port_dir)
    sims = []
    try:
        for port in range(1, count + 1):
            # Image 1's and image 2's switch in turn; the first is always image 1's, as in the
            # single-switch run.
            switch = SWITCH if port % 2 else SWITCH_TWO
            # No traffic log: nothing reads it here, and eight of them would only add load.
            sims.append(Simulator(build, work, "%s-COM%d" % (name, port), True, switch + list(noise),
                                  os.path.join(port_dir, "COM%d" % port), AT_ONCE_LATENCY_MS, log=False))
        figures = run_to_exit(build, port_dir, arguments)
        figures["sim_cpu_s"] = sum(cpu_seconds(sim.process.pid) for sim in sims)
    finally:
        for sim in sims:
            sim.stop()
    figures["switches"] = count
    figures["cpu_share"] = 100 * figures["cpu_s"] / figures["wall_s"] / count
    return figures


def run_switches_at_once(build, work, log, noise, options):
    """One switch's unattended run, then --all over each count; every run must update all its
    switches."""
    def arguments(name, tail):
        return (["--log", os.path.join(work, name + "-support.log")] if log else []) + list(options) + tail

    one = run_at_once(build, work, "one-switch", 1, arguments("one-switch", ["--yes", "1"]), noise)
    if one["status"] != 0 or PHASE_END.decode() not in one["output"]:
        raise RunFailed("bmfwu --yes 1 ended with status %d; its output ended:\n%s"
                        % (one["status"], one["output"][-600:]))
    runs = [("one switch, --yes 1", one)]
    for count in SWITCH_COUNTS:
        figures = run_at_once(build, work, "all-%d" % count, count,
                              arguments("all-%d" % count, ["--all", "--yes"]), noise)
        summary = figures["output"].rpartition("\nSummary:\n")[2]
        updated = set(UPDATED.findall(summary.replace("\r", "")))
        wanted = {"COM%d" % port for port in range(1, count + 1)}
        if figures["status"] != 0 or updated != wanted:
            raise RunFailed("bmfwu --all --yes over %d switches ended with status %d, updated %s; "
                            "its output ended:\n%s" % (count, figures["status"], sorted(updated) or "none",
                                                       figures["output"][-600:]))
        runs.append(("--all --yes, %d switch%s" % (count, "" if count == 1 else "es"), figures))
    for _, figures in runs:
        figures["ratio"] = figures["wall_s"] / one["wall_s"]
    return runs


def report_at_once(runs):
    """runs: (label, figures), one switch's run, the reference, first."""
    print("%-36s %10s %13s %10s %16s %15s" % ("switches at once, %d ms adapters" % AT_ONCE_LATENCY_MS,
                                             "wall (s)", "/ one switch", "CPU (s)", "CPU per switch",
                                             "simulators CPU"))
    for label, figures in runs:
        print("%-36s %10.3f %13.2f %10.3f %15.2f%% %14.3fs" % (label, figures["wall_s"], figures["ratio"],
                                                              figures["cpu_s"], figures["cpu_share"],
                                                              figures["sim_cpu_s"]))
    print()
    checks = []
    for _, figures in runs[1:]:
        count = figures["switches"]
        if count == max(SWITCH_COUNTS):
            checks.append(("%d switches: wall <= %.1f x one switch's run" % (count, TARGET_AT_ONCE_RATIO),
                           figures["ratio"] <= TARGET_AT_ONCE_RATIO))
        if count in TARGET_AT_ONCE_COUNTS:
            checks.append(("%d switch%s: CPU <= %d%% of a core per switch"
                           % (count, "" if count == 1 else "es", TARGET_CPU_SHARE * 100),
                           figures["cpu_share"] <= TARGET_CPU_SHARE * 100))
    for label, ok in checks:
        print("target %-52s %s" % (label, verdict(ok)))
    return all(ok for _, ok in checks)


# ---------------------------------------------------------------- report

def bounds(figures):
    """Both forms of the bound: the bytes one after the other (as the lockstep protocol moves
    them), and the busier direction alone (a full-duplex wire's floor)."""
    flash = figures["flash_ms"] / 1000
    serial = (figures["to_sim"] + figures["to_host"]) * BITS_PER_BYTE / BAUD + flash
    duplex = max(figures["to_sim"], figures["to_host"]) * BITS_PER_BYTE / BAUD + flash
    return serial, duplex


def verdict(ok):
    return "met" if ok else "MISSED"


def report(runs):
    """runs: (column name, figures, latency ms or None, lpc21isp figures at that latency)."""
    width = 15
    print("%-34s" % "programming phase" + "".join("%*s" % (width, name) for name, _, _, _ in runs))

    def row(label, key, fmt):
        cells = []
        for _, figures, _, _ in runs:
            value = figures.get(key) if figures else None
            cells.append(fmt % value if value is not None else "-")
        print("%-34s" % label + "".join("%*s" % (width, cell) for cell in cells))

    row("wall time, 0% to 100% line (s)", "wall_s", "%.3f")
    row("turns per 4096-byte block", "turns", "%.1f")
    row("bytes host to switch", "to_sim", "%d")
    row("bytes switch to host", "to_host", "%d")
    row("flash operations (s)", "flash_s", "%.3f")
    row("bound, both ways in turn (s)", "bound_serial", "%.3f")
    row("bound, full duplex (s)", "bound_duplex", "%.3f")
    row("ratio wall / bound in turn", "ratio_serial", "%.4f")
    row("ratio wall / full-duplex bound", "ratio_duplex", "%.4f")
    row("bmfwu CPU time (s)", "cpu_s", "%.3f")
    row("CPU / wall", "cpu_share", "%.2f%%")
    row("first erase to last reply (s)", "span_s", "%.3f")
    row("whole process (s)", "process_s", "%.3f")
    print()
    checks = []
    for name, figures, latency, peer in runs:
        if latency is None or name.startswith("lpc21isp"):
            continue
        # With the bootloader's echo on, the switch sends while the host sends: the bytes no
        # longer take turns, so the busier direction is the bound.
        checks.append(("%s: ratio to full duplex <= %.2f" % (name, TARGET_RATIO[latency]),
                       figures["ratio_duplex"] <= TARGET_RATIO[latency]))
        checks.append(("%s: CPU <= %d%% of wall" % (name, TARGET_CPU_SHARE * 100),
                       figures["cpu_s"] <= TARGET_CPU_SHARE * figures["wall_s"]))
        if peer:
            checks.append(("%s: faster than lpc21isp (erase to last reply)" % name,
                           figures["span_s"] < peer["span_s"]))
    for name, figures, latency, _ in runs:
        if latency is None and not name.startswith("lpc21isp"):
            checks.append(("unthrottled phase < %.1f s" % TARGET_UNTHROTTLED_S,
                           figures["wall_s"] < TARGET_UNTHROTTLED_S))
    for label, ok in checks:
        print("target %-52s %s" % (label, verdict(ok)))
    for name, figures, _, _ in runs:
        print("simulator, %s run: %s" % (name, figures["sim_says"]))
    return all(ok for _, ok in checks)


def derive(figures, throttled):
    """Adds the bound and the shares; without the throttle no wire or flash time is spent,
    so there is no bound to compare with."""
    figures["cpu_share"] = 100 * figures["cpu_s"] / figures["wall_s"]
    if throttled:
        figures["flash_s"] = figures["flash_ms"] / 1000
        figures["bound_serial"], figures["bound_duplex"] = bounds(figures)
        figures["ratio_serial"] = figures["wall_s"] / figures["bound_serial"]
        figures["ratio_duplex"] = figures["wall_s"] / figures["bound_duplex"]
    return figures


def build_programs(build):
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DBMFWU_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "bmfwu", "bmfwu-sim"], check=True,
                   stdout=subprocess.DEVNULL)


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"),
                        help="build directory (default: build/bench; configured as Release when new)")
    parser.add_argument("--no-build", action="store_true", help="use the programs already built")
    only = parser.add_mutually_exclusive_group()
    only.add_argument("--quick", action="store_true", help="unthrottled run only (CI smoke test)")
    only.add_argument("--all-switches", action="store_true",
                      help="only the switches at once (bmfwu --all over 1, 4 and 8 switches)")
    parser.add_argument("--keep", action="store_true", help="keep the logs and print where they are")
    parser.add_argument("--support-log", action="store_true", help="bmfwu writes its support log (--log)")
    parser.add_argument("--latency", type=int, action="append", choices=LATENCIES_MS,
                        help="run only this adapter latency in ms (may be repeated; default: all)")
    parser.add_argument("--noise", type=float, default=0,
                        help="replace this share of the bytes the switch hears (e.g. 1e-3); targets not checked")
    parser.add_argument("--seed", type=int, default=1, help="seed of --noise (default 1)")
    parser.add_argument("--option", action="append", default=[],
                        help="pass this option to bmfwu (may be repeated, e.g. --option=--verify)")
    options = parser.parse_args()
    noise = ["--corrupt-rate", repr(options.noise), "--seed", str(options.seed)] if options.noise else []
    build = os.path.abspath(options.build)
    if not options.no_build:
        build_programs(build)
    phase_wanted = not options.all_switches
    # A full run only: the switches at once take about two minutes more.
    at_once_wanted = options.all_switches or not (options.quick or options.latency)
    if phase_wanted and not options.quick and shutil.which("lpc21isp") is None:
        print("lpc21isp is missing (apt-get install lpc21isp); its column stays empty")
    work = tempfile.mkdtemp(prefix="bmfwu-bench.")
    latencies = () if options.quick or not phase_wanted else (options.latency or LATENCIES_MS)
    peer_wanted = bool(latencies) and shutil.which("lpc21isp") is not None
    try:
        log = options.support_log
        runs, at_once = [], []
        for latency in latencies:
            name = "bmfwu %d ms" % latency
            figures = derive(run_bmfwu(build, work, name.replace(" ", "-"), True, latency, log, noise,
                                       options.option), True)
            runs.append([name, figures, latency, None])
        if phase_wanted:
            runs.append(["unthrottled", derive(run_bmfwu(build, work, "unthrottled", False, 0, log, noise,
                                                         options.option), False), None, None])
        if peer_wanted:
            hex_path = application_hex(build, work)
            for run in runs[:len(latencies)]:
                run[3] = run_lpc21isp(build, work, hex_path, run[2])
            runs += [["lpc21isp %d ms" % run[2], run[3], run[2], None] for run in runs[:len(latencies)]]
        if at_once_wanted:
            at_once = run_switches_at_once(build, work, log, noise, options.option)
    except (RunFailed, subprocess.SubprocessError, OSError) as failure:
        print("bench: %s" % failure, file=sys.stderr)
        print("bench: logs kept in %s" % work, file=sys.stderr)
        return 2
    met = True
    if runs:
        met = report(runs)
    if at_once:
        if runs:
            print()
        met = report_at_once(at_once) and met
    met = met or bool(noise or options.option)
    if options.keep:
        print("logs: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
