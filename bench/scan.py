#!/usr/bin/env python3
"""Times bmfwu's port scan on a PC with many serial ports that are present but silent.

Two runs over COM1 to COM16 (BMFWU_PORT_DIR), each port either a silent one (a
pseudo-terminal that this script holds open and never answers on) or a simulated switch:
  announce  15 silent ports and a switch on COM16 (image 1's switch, running its
            application); bmfwu without a port argument, from the start of the process
            to the line that announces the switch; its question is then answered N;
  info      bmfwu --info over 13 silent ports and three switches (image 1's switch
            running, image 1's switch in its bootloader, image 2's switch), from the
            start of the process to its exit.
Also printed: how long one silent port takes to be given up, from the line before its
"COMn: No Brenmoor devices detected." to that line (median, least and most of a run).

--quick runs the announce run only (for CI). The exit status is 0 when every measured
target is met, 1 when one is missed, 2 when a run failed.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tty

PORTS = 16
IMAGE_ONE = ["--table", "--product-id", "0x56", "--pcb-revision", "3", "--version", "3.03",
             "--name", "Sonavex F"]
IMAGE_TWO = ["--table", "--product-id", "0x64", "--pcb-revision", "1", "--version", "3.03",
             "--name", "Sonavex F-II", "--flash-config", "0x44"]
ANNOUNCE_SWITCHES = {16: IMAGE_ONE}
INFO_SWITCHES = {5: IMAGE_ONE, 10: IMAGE_ONE + ["--start-in-bootloader"], 16: IMAGE_TWO}
ANNOUNCED = re.compile(rb"\nCOM16\b[^\n]*: An [^\n]* was found with firmware version")
INFO_LINE = re.compile(rb"\nCOM(\d+)\b[^\n]*: [^\n]*, product id ")
PORT_NAMED = re.compile(rb"\nCOM(\d+)\b[^\n]*?: ")
GIVEN_UP = b"No Brenmoor devices detected."
QUESTION = b"(Y,N) "
EXIT_PROMPT = b"Press any key to exit..."
RUN_LIMIT_S = 120
END_GRACE_S = 10

# (run, target s, figure of the scan that probes one port after the other, s)
TARGETS = {"announce": (3.0, 32.8), "info": (4.0, 29.0)}


class RunFailed(Exception):
    pass


class Ports:
    """A port folder whose COMn links lead to silent pseudo-terminals or simulated switches."""

    def __init__(self, build, work, name, switches):
        self.dir = os.path.join(work, name)
        os.mkdir(self.dir)
        self.masters, self.slaves, self.sims = [], [], []
        try:
            for port in range(1, PORTS + 1):
                link = os.path.join(self.dir, "COM%d" % port)
                if port in switches:
                    self._start_switch(build, link, switches[port])
                else:
                    # The slave stays open here too, so the master never reads as hung up
                    # between the program's open and close.
                    master, slave = pty.openpty()
                    os.set_blocking(master, False)
                    self.masters.append(master)
                    self.slaves.append(slave)
                    os.symlink(os.ttyname(slave), link)
        except BaseException:
            self.close()
            raise

    def _start_switch(self, build, link, arguments):
        command = [os.path.join(build, "tools/sim/bmfwu-sim"), "--link", link] + arguments
        self.sims.append(subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 10
        while not os.path.islink(link):
            if time.monotonic() > deadline or self.sims[-1].poll() is not None:
                raise RunFailed("bmfwu-sim made no link " + link)
            time.sleep(0.02)

    def drain(self, ready):
        """Reads and drops what the program sent to the silent ports, so its writes never block."""
        for master in ready:
            try:
                os.read(master, 65536)
            except (BlockingIOError, OSError):
                pass

    def close(self):
        for sim in self.sims:
            stop(sim, signal.SIGTERM)
        for fd in self.masters + self.slaves:
            os.close(fd)
        self.masters, self.slaves, self.sims = [], [], []


def stop(process, sig=signal.SIGKILL):
    """Ends one process that this script started, by its pid."""
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def run_bmfwu(build, ports, arguments, done):
    """Runs bmfwu over the port folder with its output on a terminal, as for a user. Returns
    the seconds from its start to the moment done(output) holds, the output and the time each
    part of it arrived. The question and the exit prompt are answered once done."""
    env = dict(os.environ, BMFWU_PORT_DIR=ports.dir)
    console, terminal = pty.openpty()
    tty.setraw(terminal)
    start = time.monotonic()
    program = subprocess.Popen([os.path.join(build, "src/app/bmfwu")] + arguments, env=env,
                               stdin=subprocess.PIPE, stdout=terminal, stderr=terminal)
    os.close(terminal)
    seen, arrivals, elapsed, answered = b"", [], None, set()
    try:
        while True:
            now = time.monotonic()
            if now - start > RUN_LIMIT_S or (elapsed is not None and now - start > elapsed + END_GRACE_S):
                break
            ready, _, _ = select.select([console] + ports.masters, [], [], 0.2)
            ports.drain([fd for fd in ready if fd != console])
            if console not in ready:
                continue
            try:
                chunk = os.read(console, 65536)
            except OSError:   # the terminal's last holder has gone
                chunk = b""
            if not chunk:
                if elapsed is None and done(seen, True):
                    elapsed = time.monotonic() - start
                break
            seen += chunk
            arrivals.append((time.monotonic() - start, len(seen)))
            if elapsed is None and done(seen, False):
                elapsed = arrivals[-1][0]
            for prompt, key in ((QUESTION, b"n"), (EXIT_PROMPT, b"x")):
                if elapsed is not None and prompt not in answered and prompt in seen:
                    answered.add(prompt)
                    try:
                        program.stdin.write(key)
                        program.stdin.flush()
                    except BrokenPipeError:   # it has ended meanwhile
                        pass
    finally:
        stop(program)
        try:
            program.stdin.close()
        except BrokenPipeError:
            pass
        os.close(console)
    if elapsed is None:
        tail = seen.decode(errors="replace")[-600:]
        raise RunFailed("bmfwu %s ended, or ran over %d s, without the awaited output; its output ended:\n%s"
                        % (" ".join(arguments) or "(scan)", RUN_LIMIT_S, tail))
    return elapsed, seen, arrivals


def give_up_times(seen, arrivals):
    """Seconds from the line before each "COMn: No Brenmoor devices detected." to that line
    (the program writes a port's name and its result as one line)."""
    def arrival(offset):
        return next(t for t, length in arrivals if length > offset)
    times = []
    for named in PORT_NAMED.finditer(seen):
        if named.start() > 0 and seen.startswith(GIVEN_UP, named.end()):
            times.append(arrival(named.end() + len(GIVEN_UP) - 1) - arrival(named.start() - 1))
    return times


def measure(build, work, name, switches, arguments, done):
    ports = Ports(build, work, name, switches)
    try:
        elapsed, seen, arrivals = run_bmfwu(build, ports, arguments, done)
    finally:
        ports.close()
    return elapsed, give_up_times(seen, arrivals)


def info_done(seen, exited):
    """Done when the program has exited having listed every switch."""
    listed = {int(match.group(1)) for match in INFO_LINE.finditer(seen)}
    if exited and listed != set(INFO_SWITCHES):
        raise RunFailed("bmfwu --info listed COM%s, not COM%s; its output ended:\n%s"
                        % (sorted(listed), sorted(INFO_SWITCHES), seen.decode(errors="replace")[-600:]))
    return exited


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", "--build", dest="build", default=os.path.join(ROOT, "build", "normal"),
                        help="build directory holding src/app/bmfwu and tools/sim/bmfwu-sim (default: build/normal)")
    parser.add_argument("--quick", action="store_true", help="the announce run only (CI smoke test)")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    for program in ("src/app/bmfwu", "tools/sim/bmfwu-sim"):
        if not os.access(os.path.join(build, program), os.X_OK):
            print("bench: %s is not built (cmake --build %s --target bmfwu bmfwu-sim)"
                  % (os.path.join(build, program), build), file=sys.stderr)
            return 2
    work = tempfile.mkdtemp(prefix="bmfwu-scan.")
    results = []
    try:
        results.append(("announce", "COM16 announced, 15 silent ports") +
                       measure(build, work, "announce", ANNOUNCE_SWITCHES, [],
                               lambda seen, exited: ANNOUNCED.search(seen) is not None))
        if not options.quick:
            results.append(("info", "--info to exit, 13 silent, 3 switches") +
                           measure(build, work, "info", INFO_SWITCHES, ["--info"], info_done))
    except (RunFailed, subprocess.SubprocessError, OSError) as failure:
        print("bench: %s" % failure, file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("%-44s %10s %14s %10s" % ("port scan, 16 ports", "now (s)", "one by one (s)", "target (s)"))
    met = True
    for run, label, elapsed, give_ups in results:
        target, before = TARGETS[run]
        met &= elapsed <= target
        print("%-44s %10.3f %14.1f %10.1f  %s" % ("%s: %s" % (run, label), elapsed, before, target,
                                                  "met" if elapsed <= target else "MISSED"))
    for run, _, _, give_ups in results:
        if give_ups:
            print("%s: a silent port given up after (s): median %.3f, %.3f to %.3f over %d ports"
                  % (run, statistics.median(give_ups), min(give_ups), max(give_ups), len(give_ups)))
    return 0 if met else 1


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

if __name__ == "__main__":
    sys.exit(main())
