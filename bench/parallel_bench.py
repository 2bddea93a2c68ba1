#!/usr/bin/python3
"""Uploads of a fresh tree to the test FTP server over a slow and a fast link.

    bench/parallel_bench.py --kestrum build/kestrum [--connections 1,4] [--latency 0,20] [--relay]
                            [--files 200] [--dirs 10] [--size 2048] [--large 10000] [--no-lftp]

For each latency (milliseconds every server reply is held back, or with --relay the round
trip that bench/latency_relay.py adds to the control connection in front of the server) prints the
wall time, the FTP commands the server received (and per file) for
`kestrum run` with each number of connections, `lftp mirror -R` and
`lftp mirror -R --parallel=4` (passive mode for all, an empty server home
each time). Then one Kestrum upload of --large files at no latency with its
peak memory (/usr/bin/time -v). Connections other than 1 need a Kestrum that
knows the PARALLEL value.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "support", "ftpserver.py")
RELAY = os.path.join(HERE, "latency_relay.py")


def start(command, what):
    """Starts a helper that prints "PORT <n>" once it listens: the process and the port."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if not line.startswith("PORT "):
        raise SystemExit(what + " did not start")
    return proc, int(line.split()[1])


class Server:
    def __init__(self, work, latency_ms, relay=False):
        self.home = os.path.join(work, "server")
        self.log = os.path.join(work, "server.log")
        os.makedirs(self.home)
        delay = 0 if relay else latency_ms / 1000.0
        self.proc, self.port = start(["/usr/bin/python3", SERVER, "--home", self.home, "--log", self.log,
                                      "--latency", str(delay)], "the test FTP server")
        self.relay = None
        if relay:
            self.relay, self.port = start(["/usr/bin/python3", RELAY, "--target", "127.0.0.1:%d" % self.port,
                                           "--delay", str(latency_ms)], "the latency relay")

    def commands(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return sum(1 for line in f if "] <- " in line)

    def stop(self):
        for proc in filter(None, (self.relay, self.proc)):
            proc.kill()
            proc.wait()


def make_tree(root, files, dirs, size):
    old = time.time() - 86400
    for i in range(files):
        d = os.path.join(root, "d%02d" % (i % dirs))
        os.makedirs(d, exist_ok=True)
        path = os.path.join(d, "f%05d.bin" % i)
        with open(path, "wb") as f:
            f.write((b"%05d" % i) * (size // 5) + b"x" * (size % 5))
        os.utime(path, (old, old))


def kestrum_run(kestrum, work, server, local, connections):
    home = tempfile.mkdtemp(dir=work)
    env = dict(os.environ, KESTRUM_HOME=home)
    subprocess.run([kestrum, "profile", "new", "bench"], env=env, check=True)
    values = ["HOST=127.0.0.1:%d" % server.port, "USER=user", "PSWSVD=1", "PSW=-", "LOCAL_DIRECTORY=" + local,
              "CHECK_UPLOAD=1", "CHECK_DOWNLOAD=0", "CHECK_SUB=1", "FILE_TRANSFER=", "ASCII_TRANSFER="]
    # The test server speaks plain FTP; a Kestrum that knows TLS makes new profiles use it.
    if b"FTP_SECURITY" in subprocess.run([kestrum, "profile", "show", "bench"], env=env, capture_output=True).stdout:
        values.append("FTP_SECURITY=0")
    if connections is not None:
        values.append("PARALLEL=%d" % connections)
    subprocess.run([kestrum, "profile", "set", "bench"] + values, env=env, input=b"secret\n", check=True)
    before = server.commands()
    start = time.monotonic()
    result = subprocess.run(["/usr/bin/time", "-v", kestrum, "run", "bench", "--no-cache", "--passive"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        print("  (kestrum exited with status %d)" % result.returncode)
    peak = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    return seconds, server.commands() - before, int(peak.group(1)) / 1024 if peak else -1


def lftp_mirror(server, local, parallel):
    script = ("set cmd:fail-exit yes; set net:max-retries 1; set ftp:passive-mode on; "
              "open -u user,secret ftp://127.0.0.1:%d; mirror -R %s %s /" %
              (server.port, "--parallel=%d" % parallel if parallel > 1 else "", local))
    before = server.commands()
    start = time.monotonic()
    result = subprocess.run(["lftp", "-c", script], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        print("  (lftp exited with status %d)" % result.returncode)
    return seconds, server.commands() - before


def row(what, seconds, commands, files, peak=None):
    text = "  %-36s %8.2f s %7d commands %6.2f per file" % (what, seconds, commands, commands / files)
    if peak is not None:
        text += " %8.1f MB peak" % peak
    print(text, flush=True)


RELAYED = False


def one(work, latency, fn):
    """A fresh server (empty home) for one measurement."""
    base = tempfile.mkdtemp(dir=work)
    server = Server(base, latency, RELAYED and latency > 0)
    try:
        return fn(server)
    finally:
        server.stop()
        shutil.rmtree(base, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrum", required=True)
    parser.add_argument("--connections", default="1,4", help="comma-separated; 0: the profile's default (no value)")
    parser.add_argument("--latency", default="0,20", help="comma-separated milliseconds")
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--dirs", type=int, default=10)
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--large", type=int, default=10000)
    parser.add_argument("--no-lftp", action="store_true")
    parser.add_argument("--relay", action="store_true", help="the latency from a relay in front of the server")
    args = parser.parse_args()
    global RELAYED
    RELAYED = args.relay
    kestrum = os.path.abspath(args.kestrum)
    counts = [int(c) for c in args.connections.split(",")]

    with tempfile.TemporaryDirectory() as work:
        local = os.path.join(work, "tree")
        make_tree(local, args.files, args.dirs, args.size)
        for latency in [int(x) for x in args.latency.split(",")]:
            print("%d files of %d bytes in %d directories, %d ms %s:" %
                  (args.files, args.size, args.dirs, latency,
                   "round trip through the relay" if args.relay else "per reply"))
            for n in counts:
                seconds, commands, _ = one(work, latency, lambda s: kestrum_run(kestrum, work, s, local, n or None))
                row("kestrum, %s" % ("%d connection%s" % (n, "s" if n > 1 else "") if n else "default"), seconds,
                    commands, args.files)
            if not args.no_lftp:
                for parallel in (1, 4):
                    seconds, commands = one(work, latency, lambda s: lftp_mirror(s, local, parallel))
                    row("lftp mirror -R" + (" --parallel=%d" % parallel if parallel > 1 else ""), seconds, commands,
                        args.files)
        if args.large > 0:
            large = os.path.join(work, "large")
            make_tree(large, args.large, 100, args.size)
            print("%d files of %d bytes in 100 directories, 0 ms per reply:" % (args.large, args.size))
            for n in counts:
                seconds, commands, peak = one(work, 0, lambda s: kestrum_run(kestrum, work, s, large, n or None))
                row("kestrum, %s" % ("%d connection%s" % (n, "s" if n > 1 else "") if n else "default"), seconds,
                    commands, args.large, peak)


if __name__ == "__main__":
    sys.exit(main())
