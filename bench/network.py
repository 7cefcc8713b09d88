#!/usr/bin/env python3
"""Times the programming phase of bmfwu through ser2net on the loopback.

The throttled simulated switch (115200 baud wire time, erase and copy times
spent, no adapter latency) sits behind ser2net in RFC 2217 mode, and bmfwu
updates it through rfc2217://127.0.0.1:PORT. With --delay MS a proxy between
the two holds every piece of data MS milliseconds in each direction, as a
network farther away would. Prints the phase's wall time, its turns per
4096-byte block, the full-duplex bound of its bytes and flash time, their
ratio and bmfwu's CPU time, and checks the ratio against its target: 1.06
on the loopback, 1.40 with 10 ms each way.

Two other modes measure whole runs instead:
  --switches N   N throttled switches behind one ser2net (one connection and TCP port
                 each), updated by one bmfwu --all --yes, beside one switch's --all --yes
                 run behind the same kind of server: wall time to exit, their ratio
                 (target 1.25) and bmfwu's CPU per switch (target 1% of a core);
  --stop-points  the server killed at four points of one switch's --yes run (synchronising,
                 early and halfway through programming, after the 100% line): how long
                 bmfwu takes to say so (target 3 s), then the server started again and
                 the update run again, which must finish (4 of 4).

    python3 bench/network.py               # through ser2net on the loopback
    python3 bench/network.py --delay 10    # with 10 ms added each way
    python3 bench/network.py --switches 16
    python3 bench/network.py --stop-points

Needs ser2net (Debian package ser2net). Exit status: 0 targets met, 1 one missed,
2 a run failed.
"""
import argparse
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from programming import (ROOT, SWITCH, SWITCH_TWO, RunFailed, Simulator, answer_prompts, bmfwu_phase,
                         build_programs, cpu_seconds, derive, drive_bmfwu, read_log, run_to_exit, verdict)

TARGET_RATIO = {0: 1.06, 10: 1.40}
TARGET_SWITCHES_RATIO = 1.25   # the many switches' run against one switch's
TARGET_SWITCH_CPU = 1          # % of one core per switch
TARGET_ERROR_S = 3.0           # from the server's end to bmfwu's error message
# Progress lines carry on a pass; whatever else bmfwu prints after the server's end is its answer to it.
PROGRESS = re.compile(rb"\rUpdating (firmware|DSPs):[^\r\n]*")
STOP_ERROR = re.compile(r"Error \d+: |Lost the connection to the switch")
NEW_FIRMWARE = re.compile(r"^ +version 3\.04,", re.M)   # --info's line of a switch
UPDATED = re.compile(r"^(rfc2217://\S+): updated to ", re.M)
SER2NET = "ser2net"


def free_ports(count):
    """Distinct free TCP ports on the loopback: the probes stay bound until all are chosen."""
    probes = [socket.socket() for _ in range(count)]
    try:
        for probe in probes:
            probe.bind(("127.0.0.1", 0))
        return [probe.getsockname()[1] for probe in probes]
    finally:
        for probe in probes:
            probe.close()


class Ser2net:
    """One ser2net in front of pseudo-terminals, one TCP port and one client at a time each."""

    def __init__(self, work, devices, name="ser2net"):
        self.ports = free_ports(len(devices))
        self.port = self.ports[0]
        self.config = os.path.join(work, name + ".yaml")
        with open(self.config, "w") as out:
            for index, (port, device) in enumerate(zip(self.ports, devices)):
                out.write("connection: &switch%d\n  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,%d\n"
                          "  connector: serialdev,%s,19200n81,local\n  options:\n    max-connections: 1\n"
                          "    chardelay: false\n" % (index, port, device))
        self.start()

    def start(self):
        """Starts the server, again after a stop on the same ports."""
        self.process = subprocess.Popen([SER2NET, "-n", "-d", "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        for port in self.ports:
            await_listening_quietly(port)

    def url(self, index=0):
        return "rfc2217://127.0.0.1:%d" % self.ports[index]

    def stop(self):
        """Kills the server by its pid, as a crash or a power cut would end it."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def await_listening_quietly(port):
    """Waits for the port in /proc/net/tcp, so that no connection disturbs the server."""
    wanted = "0100007F:%04X" % port
    for _ in range(500):
        with open("/proc/net/tcp") as table:
            if any(line.split()[1] == wanted and line.split()[3] == "0A" for line in table.readlines()[1:]):
                return
        time.sleep(0.01)
    raise RunFailed("ser2net did not start")


class DelayProxy:
    """Forwards every connection to `target`, each piece of data held `delay_ms` in each direction."""

    def __init__(self, target, delay_ms):
        self.target, self.delay = target, delay_ms / 1000
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection(("127.0.0.1", self.target))
            for one in (client, server):
                one.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._pipe(client, server)
            self._pipe(server, client)

    def _pipe(self, source, sink):
        held = queue.Queue()

        def receive():
            while True:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                held.put((time.monotonic() + self.delay, data))
                if not data:
                    return

        def send():
            while True:
                due, data = held.get()
                time.sleep(max(0.0, due - time.monotonic()))
                try:
                    if not data:
                        sink.shutdown(socket.SHUT_WR)
                        return
                    sink.sendall(data)
                except OSError:
                    return

        threading.Thread(target=receive, daemon=True).start()
        threading.Thread(target=send, daemon=True).start()


def run(build, work, delay_ms):
    sim = Simulator(build, work, "network", True, list(SWITCH))
    server = Ser2net(work, [sim.slave])
    try:
        port = DelayProxy(server.port, delay_ms).port if delay_ms else server.port
        figures = drive_bmfwu(build, work, ["--yes"], "rfc2217://127.0.0.1:%d" % port)
    finally:
        server.stop()
        figures_sim = sim.stop()
    figures.update(bmfwu_phase(read_log(sim.log)))
    figures["sim_says"] = figures_sim
    return derive(figures, True)


def run_behind_server(build, work, name, count):
    """bmfwu --all --yes over count throttled switches behind one ser2net, from its start to its
    exit; every switch must be updated."""
    sims = []
    try:
        for index in range(count):
            # Image 1's and image 2's switch in turn, as the switches at once of programming.py.
            switch = SWITCH if index % 2 == 0 else SWITCH_TWO
            sims.append(Simulator(build, work, "%s-%d" % (name, index + 1), True, list(switch), log=False))
        server = Ser2net(work, [sim.slave for sim in sims], name)
        try:
            port_dir = os.path.join(work, name)   # no COM ports: only the servers are reached
            os.mkdir(port_dir)
            urls = [server.url(index) for index in range(count)]
            figures = run_to_exit(build, port_dir, ["--all", "--yes"] + urls)
            figures["server_cpu_s"] = cpu_seconds(server.process.pid)
            figures["sim_cpu_s"] = sum(cpu_seconds(sim.process.pid) for sim in sims)
        finally:
            server.stop()
    finally:
        for sim in sims:
            sim.stop()
    summary = figures["output"].rpartition("\nSummary:\n")[2].replace("\r", "")
    updated = set(UPDATED.findall(summary))
    if figures["status"] != 0 or updated != set(urls):
        raise RunFailed("bmfwu --all --yes over %d switches ended with status %d, updated %d; its output "
                        "ended:\n%s" % (count, figures["status"], len(updated), figures["output"][-600:]))
    figures["switches"] = count
    figures["cpu_share"] = 100 * figures["cpu_s"] / figures["wall_s"] / count
    return figures


def run_switches(build, work, count):
    """The reference, one switch's --all --yes run (the same path as the many switches' run, so
    the ratio shows only what the number costs), then count switches."""
    one = run_behind_server(build, work, "one-switch", 1)
    many = run_behind_server(build, work, "%d-switches" % count, count)
    many["ratio"] = many["wall_s"] / one["wall_s"]
    one["ratio"] = 1.0
    return one, many


def report_switches(one, many):
    print("%-34s %10s %13s %10s %15s %12s %15s" % ("whole run, --all --yes", "wall (s)", "/ one switch",
                                                 "CPU (s)", "CPU per switch", "ser2net CPU",
                                                 "simulators CPU"))
    for label, figures in (("one switch behind ser2net", one),
                           ("%d switches behind one ser2net" % many["switches"], many)):
        print("%-34s %10.3f %13.2f %10.3f %14.2f%% %11.3fs %14.3fs"
              % (label, figures["wall_s"], figures["ratio"], figures["cpu_s"], figures["cpu_share"],
                 figures["server_cpu_s"], figures["sim_cpu_s"]))
    checks = (("%d switches: wall <= %.2f x one switch's run" % (many["switches"], TARGET_SWITCHES_RATIO),
               many["ratio"] <= TARGET_SWITCHES_RATIO),
              ("%d switches: bmfwu CPU <= %d%% of a core per switch" % (many["switches"], TARGET_SWITCH_CPU),
               many["cpu_share"] <= TARGET_SWITCH_CPU))
    for label, ok in checks:
        print("target %-52s %s" % (label, verdict(ok)))
    return all(ok for _, ok in checks)


class StopPoint:
    """Where a pass is cut: the first output matching `mark`, and `after` seconds more."""

    def __init__(self, name, where, mark, after=0.0):
        self.name, self.where, self.mark, self.after = name, where, re.compile(mark), after


STOP_POINTS = (
    # The question is answered at once; about 0.6 s later the switch restarts in its bootloader
    # and bmfwu synchronises with it, the "0%" line follows some 0.8 s after that.
    StopPoint("a", "synchronising, before 0%", rb"\(Y,N\) ", 0.9),
    StopPoint("b", "early in programming", rb"Updating firmware: +[3-9]% complete"),
    StopPoint("c", "in the middle of programming", rb"Updating firmware: +5\d% complete"),
    StopPoint("d", "after 100%, DSP update followed", rb"Updating DSPs"),
)


class ServerKiller:
    """Watches bmfwu's output: kills the server once the point is reached, then notes when bmfwu
    answers it (its first text that is not progress). Answers bmfwu's prompts as a user would."""

    def __init__(self, server, point):
        self.server, self.point = server, point
        self.reached = self.killed = self.answer = None
        self.seen, self.at_kill = b"", 0
        self.answered = set()

    def __call__(self, seen, program):
        now = time.monotonic()
        self.seen = seen
        answer_prompts(seen, program, self.answered)
        if self.killed is None:
            if self.reached is None and self.point.mark.search(seen):
                self.reached = now
            if self.reached is not None and now >= self.reached + self.point.after:
                self.at_kill, self.killed = len(seen), time.monotonic()
                self.server.stop()
        elif self.answer is None and self.after_kill():
            self.answer = now

    def after_kill(self):
        """bmfwu's text since the kill, progress lines left out."""
        return PROGRESS.sub(b"", self.seen[self.at_kill:]).decode(errors="replace").strip()


def answering():
    """A watch that only answers bmfwu's prompts, should the run ask anything."""
    answered = set()
    return lambda seen, program: answer_prompts(seen, program, answered)


def switch_mode_at(log, seconds):
    """The simulated switch's state (its last mode note) at `seconds` on its clock."""
    mode = "?"
    with open(log, encoding="latin-1") as lines:
        for line in lines:
            fields = line.split(None, 2)
            if len(fields) == 3 and fields[1] == "----":
                if float(fields[0]) > seconds:
                    break
                if not fields[2].startswith("host"):
                    mode = fields[2].strip()
    return mode


def run_stop_point(build, work, point):
    """One switch's --yes run with the server killed at the point; then the server started again
    on its port, bmfwu --yes again and --info, which must find the new firmware."""
    name = "stop-" + point.name
    port_dir = os.path.join(work, name)
    os.mkdir(port_dir)
    sim_start = time.monotonic()
    sim = Simulator(build, work, name, True, list(SWITCH))
    try:
        server = Ser2net(work, [sim.slave], name)
        try:
            killer = ServerKiller(server, point)
            first = run_to_exit(build, port_dir, ["--yes", server.url()], killer)
            if killer.killed is None:
                raise RunFailed("point %s never reached; bmfwu's output ended:\n%s"
                                % (point.name, first["output"][-600:]))
            server.start()
            again = run_to_exit(build, port_dir, ["--yes", server.url()], answering())
            info = run_to_exit(build, port_dir, ["--info", server.url()], answering())
        finally:
            server.stop()
    finally:
        sim.stop()
    return {"point": point, "status": first["status"], "after_kill": killer.after_kill(),
            "answer_s": killer.answer - killer.killed if killer.answer else None,
            "mode": switch_mode_at(sim.log, killer.killed - sim_start),
            "again_status": again["status"], "again_tail": (again["output"] + info["output"])[-400:],
            "finished": again["status"] == 0 and NEW_FIRMWARE.search(info["output"]) is not None}


def report_stop_points(results):
    print("%-3s %-33s %-30s %10s %7s %8s" % ("", "server killed", "switch then", "answer (s)", "status",
                                           "re-run"))
    for result in results:
        point, answer = result["point"], result["answer_s"]
        print("%-3s %-33s %-30s %10s %7d %8s" % (point.name, point.where, result["mode"],
                                                 "none" if answer is None else "%.3f" % answer, result["status"],
                                                 "%d, %s" % (result["again_status"],
                                                             "done" if result["finished"] else "NOT")))
    for result in results:
        print("%s: %s" % (result["point"].name, " / ".join(result["after_kill"].split("\n\n")) or "(nothing)"))
        if not result["finished"]:
            print("   the re-run and --info ended:\n%s" % result["again_tail"])
    # An answer that is no error (a pass that ends as if nothing happened) does not count.
    errors = sum(1 for r in results if r["answer_s"] is not None and r["answer_s"] <= TARGET_ERROR_S
                 and STOP_ERROR.match(r["after_kill"]))
    finished = sum(1 for r in results if r["finished"])
    checks = (("an error within %.0f s of each stop, %d of %d" % (TARGET_ERROR_S, errors, len(results)),
               errors == len(results)),
              ("re-run finishes at each point, %d of %d" % (finished, len(results)), finished == len(results)))
    for label, ok in checks:
        print("target %-52s %s" % (label, verdict(ok)))
    return all(ok for _, ok in checks)


def report(figures, delay_ms):
    print("programming phase through ser2net, %d ms added each way" % delay_ms)
    for label, key, fmt in (("wall time, 0% to 100% line (s)", "wall_s", "%.3f"),
                            ("turns per 4096-byte block", "turns", "%.1f"),
                            ("bytes host to switch", "to_sim", "%d"), ("bytes switch to host", "to_host", "%d"),
                            ("bound, full duplex (s)", "bound_duplex", "%.3f"),
                            ("ratio wall / full-duplex bound", "ratio_duplex", "%.4f"),
                            ("bmfwu CPU time (s)", "cpu_s", "%.3f")):
        print("%-34s %12s" % (label, fmt % figures[key]))
    print("simulator: %s" % figures["sim_says"])
    target = TARGET_RATIO.get(delay_ms)
    if target is None:
        return True
    met = figures["ratio_duplex"] <= target
    print("target ratio to full duplex <= %.2f %s" % (target, "met" if met else "MISSED"))
    return met


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"),
                        help="build directory (default: build/bench; configured as Release when new)")
    parser.add_argument("--no-build", action="store_true", help="use the programs already built")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--delay", type=int, default=0, help="ms added in each direction (default 0)")
    mode.add_argument("--switches", type=int, metavar="N",
                      help="instead: N switches (2 to 16) behind one ser2net, bmfwu --all --yes")
    mode.add_argument("--stop-points", action="store_true",
                      help="instead: the server killed at four points of a pass, then the update again")
    options = parser.parse_args()
    if options.switches is not None and not 2 <= options.switches <= 16:
        parser.error("--switches: 2 to 16 (bmfwu takes at most 16 ports)")
    if shutil.which(SER2NET) is None:
        print("bench: ser2net is missing (apt-get install ser2net)", file=sys.stderr)
        return 2
    build = os.path.abspath(options.build)
    if not options.no_build:
        build_programs(build)
    work = tempfile.mkdtemp(prefix="bmfwu-bench-net.")
    try:
        if options.stop_points:
            met = report_stop_points([run_stop_point(build, work, point) for point in STOP_POINTS])
        elif options.switches:
            met = report_switches(*run_switches(build, work, options.switches))
        else:
            met = report(run(build, work, options.delay), options.delay)
    except (RunFailed, subprocess.SubprocessError, OSError) as failure:
        print("bench: %s (logs kept in %s)" % (failure, work), file=sys.stderr)
        return 2
    shutil.rmtree(work, ignore_errors=True)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
