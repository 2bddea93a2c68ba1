#!/usr/bin/python3
"""Publishing on save: how soon a saved file is on the server, and what watching costs at rest.
    bench/watch_bench.py --kestrum build/kestrum [--latency 20] [--saves 50] [--files 10000] [--idle 60]
1. Arrival: `kestrum watch` of a small tree against tests/support/ftpserver.py (pyftpdlib) whose
   every reply is held back --latency ms (a round trip of that length per command). --saves saves,
   one every 0.7 s, alternately a new file and a new version of the same page; for each, the time
   from the file's close to its complete copy under its name in the server's directory (polled
   every 2 ms). Prints each kind's and all saves' median, 95th percentile and maximum.
2. At rest: `kestrum watch` of a tree of --files files in 100 directories that the server already
   holds (no latency). Once the watch is ready, the CPU time (user + system, /proc/PID/stat) the
   process uses in --idle seconds without a change, and its resident memory then (VmRSS, and the
   peak VmHWM, which includes the first run).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "support", "ftpserver.py")


def start_server(home, log, latency):
    proc = subprocess.Popen(["/usr/bin/python3", SERVER, "--home", home, "--log", log, "--latency", str(latency)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if not line.startswith("PORT "):
        raise SystemExit("the test FTP server did not start")
    return proc, int(line.split()[1])


def make_profile(kestrum, env, port, local):
    subprocess.run([kestrum, "profile", "new", "bench"], env=env, check=True, stdout=subprocess.DEVNULL)
    values = ["HOST=127.0.0.1:%d" % port, "USER=user", "PSWSVD=1", "PSW=-", "REMOTE_DIRECTORY=/",
              "LOCAL_DIRECTORY=" + local, "CHECK_UPLOAD=1", "CHECK_DOWNLOAD=0", "CHECK_SUB=1", "FTP_SECURITY=0"]
    subprocess.run([kestrum, "profile", "set", "bench"] + values, env=env, input=b"secret\n", check=True,
                   stdout=subprocess.DEVNULL)


def start_watch(kestrum, env, work):
    out = open(os.path.join(work, "watch.out"), "wb")
    proc = subprocess.Popen([kestrum, "watch", "bench", "--passive"], env=env, stdout=out, stderr=subprocess.STDOUT)
    ready = "を監視しています".encode()
    deadline = time.monotonic() + 600
    while ready not in open(out.name, "rb").read():
        if proc.poll() is not None or time.monotonic() > deadline:
            raise SystemExit("kestrum watch did not start watching:\n" + open(out.name, "rb").read().decode()[-2000:])
        time.sleep(0.05)
    return proc


def stop(proc):
    proc.send_signal(2)
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def summary(what, seconds):
    ms = [s * 1000 for s in seconds]
    print("  %-22s %3d saves  median %5.0f ms  95th %5.0f ms  max %5.0f ms" %
          (what, len(ms), statistics.median(ms), percentile(ms, 95), max(ms)))


def arrival(kestrum, work, latency_ms, saves):
    local, server_home = os.path.join(work, "local"), os.path.join(work, "server")
    os.makedirs(local)
    os.makedirs(server_home)
    with open(os.path.join(local, "page.html"), "w") as f:
        f.write("first\n")
    server, port = start_server(server_home, os.path.join(work, "server.log"), latency_ms / 1000.0)
    env = dict(os.environ, KESTRUM_HOME=os.path.join(work, "home"))
    make_profile(kestrum, env, port, local)
    watch = start_watch(kestrum, env, work)
    kinds = {"new file": [], "same page again": []}
    try:
        for i in range(saves):
            time.sleep(0.7)
            kind = "new file" if i % 2 == 0 else "same page again"
            name = "new-%d.html" % i if i % 2 == 0 else "page.html"
            content = ("save %d\n" % i).encode()
            with open(os.path.join(local, name), "wb") as f:
                f.write(content)
            closed = time.monotonic()
            target = os.path.join(server_home, name)
            while True:
                try:
                    with open(target, "rb") as f:
                        if f.read() == content:
                            break
                except FileNotFoundError:
                    pass
                if time.monotonic() - closed > 30:
                    raise SystemExit("save %d (%s) did not arrive within 30 s" % (i, name))
                time.sleep(0.002)
            kinds[kind].append(time.monotonic() - closed)
    finally:
        stop(watch)
        server.kill()
    print("Arrival at %d ms per reply (pyftpdlib), close to complete copy on the server:" % latency_ms)
    for kind, seconds in kinds.items():
        summary(kind, seconds)
    summary("all", kinds["new file"] + kinds["same page again"])


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) / 1024.0
    return values


def at_rest(kestrum, work, files, idle):
    local, server_home = os.path.join(work, "big-local"), os.path.join(work, "big-server")
    stamp = time.time() - 86400
    for d in range(100):
        os.makedirs(os.path.join(local, "dir%03d" % d))
    for i in range(files):
        path = os.path.join(local, "dir%03d" % (i % 100), "file%05d.html" % i)
        with open(path, "w") as f:
            f.write("page %d\n" % i)
        os.utime(path, (stamp, stamp))
    shutil.copytree(local, server_home)
    server, port = start_server(server_home, os.path.join(work, "big-server.log"), 0)
    env = dict(os.environ, KESTRUM_HOME=os.path.join(work, "big-home"))
    make_profile(kestrum, env, port, local)
    watch = start_watch(kestrum, env, work)
    try:
        time.sleep(2)
        before = cpu_seconds(watch.pid)
        time.sleep(idle)
        used = cpu_seconds(watch.pid) - before
        mem = memory(watch.pid)
        if watch.poll() is not None:
            raise SystemExit("kestrum watch ended while idle")
    finally:
        stop(watch)
        server.kill()
    print("At rest on %d files in 100 directories: CPU %.2f s in %d s; memory %.1f MiB resident, %.1f MiB peak"
          % (files, used, idle, mem.get("VmRSS", -1), mem.get("VmHWM", -1)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrum", required=True)
    parser.add_argument("--latency", type=int, default=20, help="milliseconds each reply is held back")
    parser.add_argument("--saves", type=int, default=50)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--idle", type=int, default=60, help="seconds at rest")
    args = parser.parse_args()
    kestrum = os.path.abspath(args.kestrum)
    work = tempfile.mkdtemp(prefix="kestrum-watch-bench-")
    try:
        arrival(kestrum, work, args.latency, args.saves)
        at_rest(kestrum, work, args.files, args.idle)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
