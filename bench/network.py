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

    python3 bench/network.py               # through ser2net on the loopback
    python3 bench/network.py --delay 10    # with 10 ms added each way

Needs ser2net (Debian package ser2net). Exit status: 0 target met, 1 missed,
2 a run failed.
"""
import argparse
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from programming import (ROOT, SWITCH, RunFailed, Simulator, bmfwu_phase, build_programs, derive,
                         drive_bmfwu, read_log)

TARGET_RATIO = {0: 1.06, 10: 1.40}
SER2NET = "ser2net"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Ser2net:
    """ser2net in front of one pseudo-terminal, one client at a time."""

    def __init__(self, work, device):
        self.port = free_port()
        config = os.path.join(work, "ser2net.yaml")
        with open(config, "w") as out:
            out.write("connection: &switch\n  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,%d\n"
                      "  connector: serialdev,%s,19200n81,local\n  options:\n    max-connections: 1\n    chardelay: false\n"
                      % (self.port, device))
        self.process = subprocess.Popen([SER2NET, "-n", "-d", "-c", config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        await_listening_quietly(self.port)

    def stop(self):
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
    server = Ser2net(work, sim.slave)
    try:
        port = DelayProxy(server.port, delay_ms).port if delay_ms else server.port
        figures = drive_bmfwu(build, work, ["--yes"], "rfc2217://127.0.0.1:%d" % port)
    finally:
        server.stop()
        figures_sim = sim.stop()
    figures.update(bmfwu_phase(read_log(sim.log)))
    figures["sim_says"] = figures_sim
    return derive(figures, True)


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
    parser.add_argument("--delay", type=int, default=0, help="ms added in each direction (default 0)")
    options = parser.parse_args()
    if shutil.which(SER2NET) is None:
        print("bench: ser2net is missing (apt-get install ser2net)", file=sys.stderr)
        return 2
    build = os.path.abspath(options.build)
    if not options.no_build:
        build_programs(build)
    work = tempfile.mkdtemp(prefix="bmfwu-bench-net.")
    try:
        figures = run(build, work, options.delay)
    except (RunFailed, subprocess.SubprocessError, OSError) as failure:
        print("bench: %s (logs kept in %s)" % (failure, work), file=sys.stderr)
        return 2
    met = report(figures, options.delay)
    shutil.rmtree(work, ignore_errors=True)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
