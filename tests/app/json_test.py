#!/usr/bin/env python3
"""--json end to end: bmfwu against simulated switches, its document checked
against the schema in docs/ and its fields, the text for people on standard
error. Usage: json_test.py BUILD_DIR SCHEMA"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import jsonschema

BUILD, SCHEMA = sys.argv[1], json.load(open(sys.argv[2]))
BMFWU = os.path.join(BUILD, "src/app/bmfwu")
SIM = os.path.join(BUILD, "tools/sim/bmfwu-sim")
results = []


def start_switch(ports, number, *options):
    sim = subprocess.Popen([SIM, "--link", f"{ports}/COM{number}", "--table", *options],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    sim.stdout.readline()  # the slave's path: the switch is there
    return sim


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.wait(timeout=10)


def run(ports, *arguments, interrupt_after=None):
    env = dict(os.environ, BMFWU_PORT_DIR=ports)
    program = subprocess.Popen([BMFWU, *arguments], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env)
    if interrupt_after is None:
        out, err = program.communicate(timeout=120)
        return program.returncode, out, err
    err = b""
    while interrupt_after not in err:
        err += os.read(program.stderr.fileno(), 4096)
    program.send_signal(signal.SIGINT)
    out, rest = program.communicate(timeout=60)
    return program.returncode, out, err + rest


def document(out):
    doc = json.loads(out.decode("utf-8"))
    jsonschema.validate(doc, SCHEMA)
    return doc


def check(name, condition, detail=""):
    results.append(condition)
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))


def info_with_a_strange_name():
    with tempfile.TemporaryDirectory() as ports:
        name = b'Son\x01av\x1b\xe9x\x7f"\\'   # stored in the table: any byte may stand there
        sim = start_switch(ports, 3, "--start-in-bootloader", "--name", name)
        os.symlink("/dev/null", f"{ports}/COM4")   # there, but not a serial port
        try:
            status, out, err = run(ports, "--info", "--json")
            plain_status, plain_out, _ = run(ports, "--info")
        finally:
            stop(sim)
    doc = document(out)
    switches = doc["switches"]
    check("info: status and mode", status == 0 and doc["status"] == 0 and doc["mode"] == "info", doc)
    switches = [s for s in switches if s["result"] != "not-found"]   # the ports of the scan that are not there
    check("info: one entry per port tried", [s["port"] for s in switches] == ["COM3", "COM4"], switches)
    shown = bytes(b for b in name if 0x20 <= b < 0x7F).decode("latin-1")   # as the console shows it
    check("info: the switch's name as shown", switches[0]["model"] == shown, switches[0])
    check("info: identity", switches[0]["result"] == "identified" and switches[0]["product_id"] == 0x56 and
          switches[0]["state"] == "bootloader" and switches[0]["installed_version"] == "3.03" and
          switches[0]["image_version"] == "3.04", switches[0])
    check("info: a port that is no serial port", switches[1]["result"] == "not-opened" and
          switches[1]["found"] is False and switches[1]["error"] == "Could not open port.", switches[1])
    check("info: the text for people unchanged, on standard error", err == plain_out and plain_status == 0,
          (err, plain_out))


def update_and_interrupt():
    with tempfile.TemporaryDirectory() as ports:
        sim = start_switch(ports, 2)
        try:
            status, out, err = run(ports, "--yes", "--json", "2", interrupt_after=b"Updating firmware")
            stopped = document(out)
            status2, out2, err2 = run(ports, "--yes", "--json", "2")
        finally:
            stop(sim)
    check("Ctrl-C: the document, the switch interrupted, status 1",
          status == 1 and stopped["switches"][0]["result"] == "interrupted", (status, stopped))
    doc = document(out2)
    entry = doc["switches"][0]
    check("update: a re-run finishes it", status2 == 0 and doc["mode"] == "update" and entry["result"] == "updated",
          (status2, doc))
    check("update: progress on standard error only", b"100% complete" in err2 and b"complete" not in out2, err2)


def all_with_one_failing():
    with tempfile.TemporaryDirectory() as ports:
        good = start_switch(ports, 1)
        bad = start_switch(ports, 5, "--refuse-go")
        try:
            status, out, err = run(ports, "--all", "--yes", "--json", "1", "5")
        finally:
            stop(good)
            stop(bad)
    doc = document(out)
    by_port = {s["port"]: s for s in doc["switches"]}
    check("all: status 1 with one failed", status == 1 and doc["status"] == 1 and doc["mode"] == "all", doc)
    check("all: the updated one", by_port["COM1"]["result"] == "updated" and by_port["COM1"]["error"] is None,
          by_port)
    check("all: the failed one with its last message", by_port["COM5"]["result"] == "failed" and
          (by_port["COM5"]["error"] or "").startswith("Failed to update firmware!"), by_port["COM5"])


def json_alone_is_a_usage_error():
    with tempfile.TemporaryDirectory() as ports:
        status, out, err = run(ports, "--json", "3")
    check("--json alone: usage on standard error, status 1, no document",
          status == 1 and out == b"" and b"Use: BMFWU" in err, (status, out, err))


for case in (json_alone_is_a_usage_error, info_with_a_strange_name, update_and_interrupt, all_with_one_failing):
    case()
print(f"{results.count(True)} passed, {results.count(False)} failed")
sys.exit(0 if all(results) else 1)
