#!/usr/bin/python3
"""Uploads of a fresh tree to a test FTP or SFTP server over a slow and a fast link, against lftp.

    bench/parallel_bench.py --kestrum build/kestrum [--connections 1,4] [--parallel 1,4] [--latency 0,20]
                            [--servers pyftpdlib,vsftpd,vsftpd-tls,sftp] [--relay]
                            [--files 200] [--dirs 10] [--size 2048] [--large 10000] [--no-lftp]

For each server and latency prints the wall time and the FTP commands the server received (and per
file; for SFTP the SSH logins instead) for `kestrum run` with each number of connections and for
`lftp mirror -R` with each --parallel (passive mode for all, the same security, an empty server
home each time). After each run the files on the server are counted and summed up: a run that
left any file out or short stops the benchmark. Servers:
  pyftpdlib   tests/support/ftpserver.py, plain FTP; the latency holds back every reply, or with
              --relay it is the round trip bench/latency_relay.py adds to the control connection;
  vsftpd      vsftpd (as root, anonymous login, upload into /home) behind the relay, plain FTP;
  vsftpd-tls  the same with explicit TLS required on control and data connections (session reuse
              required); Kestrum pins the server's key with `kestrum trust`, lftp skips the check.
  sftp        OpenSSH's sshd (as root, internal-sftp, password login through PAM as the system
              account kestrum-sftp, created when missing) behind the relay; Kestrum with
              FTP_SECURITY=3 and the server's ed25519 host key pinned (SSH_HOST_KEY), lftp over
              ssh with the host key check off. SSH carries everything over one TCP connection per
              session, so the relay delays all of it, as a real link does.
On plain servers lftp does not try AUTH TLS (ftp:ssl-allow no), as Kestrum with FTP_SECURITY=0.
For FTP the relay delays the control connection only; data connections go straight to the server.
At 0 ms nothing stands in front of the server.

After each group a line per Kestrum row gives the floor it is measured against: for FTP two round
trips per file over its connections plus one login, `files * 2 * rtt / connections + login`, where
the login (banner, USER, PASS; with TLS also AUTH TLS, the handshake, PBSZ and PROT) is measured
with Python's ftplib over the same path (best of three); for SFTP one round trip per file,
`files * 1 * rtt / connections + login` (a file's open, write, close and attributes pipelined),
where the login is measured with libssh (the SSH library Kestrum uses, through ctypes: the same
key exchange and password login) over the same path, from connecting to the SSH_FXP_VERSION reply
to SSH_FXP_INIT on a new sftp channel (best of three; at 0 ms most of it is the server's work:
PAM checking the password, forking the session). Then the ratios Kestrum/lftp (lftp with
--parallel equal to the connections, else the largest) and Kestrum/floor (at 0 ms the floor is
the login alone). A table of all groups ends the output. Then one Kestrum upload of --large files
to pyftpdlib at no latency with its peak memory (/usr/bin/time -v).

With BENCH_TRACE=FILE in the environment each Kestrum run writes its protocol trace there (--trace).

All the comparison rows at 20 ms and at 0 ms in one invocation:
    bench/parallel_bench.py --kestrum build/kestrum --servers pyftpdlib,vsftpd,vsftpd-tls \\
                            --connections 4 --parallel 4 --large 0
and over SFTP:
    bench/parallel_bench.py --kestrum build/kestrum --servers sftp --connections 4 --parallel 4 --large 0
"""

import argparse
import ctypes
import fcntl
import ftplib
import grp
import os
import pwd
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "support", "ftpserver.py")
RELAY = os.path.join(HERE, "latency_relay.py")
VSFTPD = "/usr/sbin/vsftpd"
SSHD = "/usr/sbin/sshd"
SERVERS = ("pyftpdlib", "vsftpd", "vsftpd-tls", "sftp")
# The account the SFTP server logs in, as the C++ tests' sshd has it.
SFTP_USER, SFTP_PASSWORD = "kestrum-sftp", "Kestrum-sftp-7"
# lftp's ssh: no agent, no X11, no user configuration, any host key.
LFTP_SSH = "ssh -a -x -F /dev/null -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"


def start(command, what):
    """Starts a helper that prints "PORT <n>" once it listens: the process and the port."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if not line.startswith("PORT "):
        raise SystemExit(what + " did not start")
    return proc, int(line.split()[1])


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def make_key(directory):
    """A self-signed certificate and its key for vsftpd: (cert, key) paths."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=kestrum-bench"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return cert, key


def open_to_all(work):
    """The servers' users must reach work through every parent directory."""
    path = work
    while path not in ("/", "/tmp"):
        os.chmod(path, os.stat(path).st_mode | 0o755)
        path = os.path.dirname(path)


def start_vsftpd(work, key_pair):
    """vsftpd in the foreground on a free loopback port, as the tests run it: anonymous login with a
    password, anon_root work/root (read-only) with a writable "home", every command logged;
    key_pair (cert, key) makes it require explicit TLS on control and data connections (vsftpd
    requires data connections to reuse the control connection's session by default).
    The process (its own group) and the port."""
    open_to_all(work)
    root = os.path.join(work, "root")
    home = os.path.join(root, "home")
    os.makedirs(home)
    ftp = pwd.getpwnam("ftp")
    os.chown(home, ftp.pw_uid, ftp.pw_gid)
    port = unused_port()
    lines = ["listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port, "background=NO",
             "anonymous_enable=YES", "local_enable=NO", "no_anon_password=NO", "anon_root=" + root,
             "write_enable=YES", "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
             "anon_other_write_enable=YES", "anon_world_readable_only=NO", "anon_umask=022",
             "seccomp_sandbox=NO", "isolate_network=NO", "isolate=NO",
             "pasv_enable=YES", "port_enable=YES", "connect_from_port_20=NO",
             "log_ftp_protocol=YES", "xferlog_enable=YES", "syslog_enable=NO",
             "vsftpd_log_file=" + os.path.join(work, "protocol.log")]
    if key_pair:
        lines += ["ssl_enable=YES", "allow_anon_ssl=YES", "rsa_cert_file=" + key_pair[0],
                  "rsa_private_key_file=" + key_pair[1], "force_anon_logins_ssl=YES", "force_anon_data_ssl=YES",
                  "require_ssl_reuse=YES"]
    config = os.path.join(work, "vsftpd.conf")
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    err = open(os.path.join(work, "vsftpd.err"), "wb")
    proc = subprocess.Popen([VSFTPD, config], stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                            start_new_session=True)
    err.close()
    deadline = time.monotonic() + 10
    while not accepts(port):
        if proc.poll() is not None or time.monotonic() > deadline:
            with open(os.path.join(work, "vsftpd.err"), errors="replace") as f:
                raise SystemExit("vsftpd did not start: " + f.read())
        time.sleep(0.05)
    return proc, port


def prepare_sftp_user():
    """The system account the SFTP server logs in, created when missing, its password set."""
    # The C++ tests edit the same account, maybe at the same time.
    with open("/tmp/kestrum-sftp-user.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            pwd.getpwnam(SFTP_USER)
        except KeyError:
            command = ["/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/",
                       "--shell", "/usr/sbin/nologin"]
            try:
                grp.getgrnam(SFTP_USER)
                command += ["--gid", SFTP_USER]
            except KeyError:
                pass
            subprocess.run(command + [SFTP_USER], check=True)
        subprocess.run(["/usr/sbin/chpasswd"], input=("%s:%s\n" % (SFTP_USER, SFTP_PASSWORD)).encode(),
                       check=True)


def start_sshd(work):
    """OpenSSH's sshd in the foreground on a free loopback port with an ed25519 host key of its own,
    only internal-sftp, password logins for SFTP_USER, who owns work/home. The process, the port,
    the host key's SHA256 fingerprint and the log (a line per login)."""
    prepare_sftp_user()
    open_to_all(work)
    home = os.path.join(work, "home")
    os.makedirs(home)
    user = pwd.getpwnam(SFTP_USER)
    os.chown(home, user.pw_uid, user.pw_gid)
    key = os.path.join(work, "host_key")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
    listed = subprocess.run(["ssh-keygen", "-l", "-f", key + ".pub"], check=True,
                            capture_output=True).stdout.split()
    fingerprint = listed[1].decode()
    if not fingerprint.startswith("SHA256:"):
        raise SystemExit("ssh-keygen -l printed no SHA256 fingerprint: %r" % listed)
    # sshd refuses to start without its privilege separation directory.
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
    port = unused_port()
    lines = ["ListenAddress 127.0.0.1", "Port %d" % port, "HostKey " + key,
             "PidFile " + os.path.join(work, "sshd.pid"), "StrictModes no", "UseDNS no", "UsePAM yes",
             "PasswordAuthentication yes", "KbdInteractiveAuthentication yes", "PubkeyAuthentication no",
             "PermitRootLogin no", "AllowUsers " + SFTP_USER, "PrintMotd no",
             # Room for every session of both clients at once.
             "MaxStartups 64", "MaxSessions 64",
             "Subsystem sftp internal-sftp", "ForceCommand internal-sftp"]
    config = os.path.join(work, "sshd_config")
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    log = os.path.join(work, "sshd.log")
    err = open(os.path.join(work, "sshd.err"), "wb")
    proc = subprocess.Popen([SSHD, "-D", "-e", "-f", config, "-E", log], stdin=subprocess.DEVNULL, stdout=err,
                            stderr=err, start_new_session=True)
    err.close()
    deadline = time.monotonic() + 10
    while not accepts(port):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            with open(os.path.join(work, "sshd.err"), errors="replace") as f:
                raise SystemExit("sshd did not start: " + f.read())
        time.sleep(0.05)
    return proc, port, fingerprint, log


def descendants(root):
    """The pids of every process below root."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        # "pid (command) state ppid ...": the command may hold spaces and parentheses.
        children.setdefault(int(stat[stat.rfind(")") + 2:].split()[1]), []).append(int(name))
    found, queue = [], [root]
    while queue:
        for child in children.get(queue.pop(), []):
            found.append(child)
            queue.append(child)
    return found


def kill_tree(proc):
    """Kills proc and the processes below it, which may have left its group (sshd's sessions do):
    proc stopped first and then each new one found, so that none forks another unseen."""
    os.kill(proc.pid, signal.SIGSTOP)
    stopped = set()
    grew = True
    while grew:
        grew = False
        for pid in descendants(proc.pid):
            if pid not in stopped:
                stopped.add(pid)
                grew = True
                try:
                    os.kill(pid, signal.SIGSTOP)
                except ProcessLookupError:
                    pass
    for pid in stopped:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    proc.kill()


class Server:
    """One server of a kind with the latency in front of it: the port to use, the login, the
    server directory to upload into (and where it is here), and the commands (SFTP: logins)
    received so far."""

    def __init__(self, work, kind, latency_ms, relay, key_pair):
        self.kind = kind
        self.tls = kind == "vsftpd-tls"
        self.sftp = kind == "sftp"
        self.proc = None
        self.relay = None
        self.host_key = None
        if kind == "pyftpdlib":
            self.log = os.path.join(work, "server.log")
            self.marker = "] <- "
            self.uploads = os.path.join(work, "server")
            os.makedirs(self.uploads)
            delay = 0 if relay else latency_ms / 1000.0
            self.proc, self.port = start(["/usr/bin/python3", SERVER, "--home", self.uploads, "--log", self.log,
                                          "--latency", str(delay)], "the test FTP server")
            self.user, self.password, self.directory = "user", "secret", "/"
        elif self.sftp:
            self.proc, self.port, self.host_key, self.log = start_sshd(work)
            self.marker = "Accepted "
            self.uploads = os.path.join(work, "home")
            # Not chrooted: the path on the server is the same.
            self.user, self.password, self.directory = SFTP_USER, SFTP_PASSWORD, self.uploads
        else:
            self.log = os.path.join(work, "protocol.log")
            self.marker = "FTP command: "
            self.proc, self.port = start_vsftpd(work, key_pair if self.tls else None)
            self.uploads = os.path.join(work, "root", "home")
            self.user, self.password, self.directory = "anonymous", "secret@example.org", "/home"
        if relay:
            self.relay, self.port = start(["/usr/bin/python3", RELAY, "--target", "127.0.0.1:%d" % self.port,
                                           "--delay", str(latency_ms)], "the latency relay")

    def commands(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if self.marker in line)
        except FileNotFoundError:
            return 0

    def stop(self):
        if self.relay:
            self.relay.kill()
            self.relay.wait()
        if self.kind == "pyftpdlib":
            self.proc.kill()
        elif self.sftp:
            # The clients are gone: give their sessions a moment to end on their own, then kill
            # whatever is left.
            deadline = time.monotonic() + 3
            while descendants(self.proc.pid) and time.monotonic() < deadline:
                time.sleep(0.02)
            kill_tree(self.proc)
        else:
            # vsftpd's session processes are in its group.
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()


def tree_sum(root):
    """The number of files below root and their bytes."""
    files = size = 0
    for directory, _, names in os.walk(root):
        for name in names:
            files += 1
            size += os.path.getsize(os.path.join(directory, name))
    return files, size


def check_upload(what, server, local):
    """Stops the benchmark unless the server holds as many files and bytes as local."""
    want, got = tree_sum(local), tree_sum(server.uploads)
    if got != want:
        raise SystemExit("%s on %s left the server with %d files of %d bytes, not %d of %d" %
                         (what, server.kind, got[0], got[1], want[0], want[1]))


def make_tree(root, files, dirs, size):
    old = time.time() - 86400
    for i in range(files):
        d = os.path.join(root, "d%02d" % (i % dirs))
        os.makedirs(d, exist_ok=True)
        path = os.path.join(d, "f%05d.bin" % i)
        with open(path, "wb") as f:
            f.write((b"%05d" % i) * (size // 5) + b"x" * (size % 5))
        os.utime(path, (old, old))


def kestrum_run(kestrum, env, work, server, local, connections):
    home = tempfile.mkdtemp(dir=work)
    env = dict(env, KESTRUM_HOME=home)
    subprocess.run([kestrum, "profile", "new", "bench"], env=env, check=True)
    values = ["HOST=127.0.0.1:%d" % server.port, "USER=" + server.user, "PSWSVD=1", "PSW=-",
              "REMOTE_DIRECTORY=" + server.directory, "LOCAL_DIRECTORY=" + local,
              "CHECK_UPLOAD=1", "CHECK_DOWNLOAD=0", "CHECK_SUB=1", "FILE_TRANSFER=", "ASCII_TRANSFER="]
    # A Kestrum that knows TLS makes new profiles use it.
    if server.sftp:
        values += ["FTP_SECURITY=3", "SSH_HOST_KEY=" + server.host_key]
    elif b"FTP_SECURITY" in subprocess.run([kestrum, "profile", "show", "bench"], env=env,
                                           capture_output=True).stdout:
        values.append("FTP_SECURITY=%d" % (1 if server.tls else 0))
    if connections is not None:
        values.append("PARALLEL=%d" % connections)
    subprocess.run([kestrum, "profile", "set", "bench"] + values, env=env, input=(server.password + "\n").encode(),
                   check=True)
    if server.tls:
        # The self-signed certificate's key is pinned before the run, as a user does once.
        trust = subprocess.run([kestrum, "trust", "bench", "--yes"], env=env, capture_output=True)
        if trust.returncode != 0:
            raise SystemExit("kestrum trust failed (%d): %s" %
                             (trust.returncode, trust.stderr.decode(errors="replace")))
    before = server.commands()
    start = time.monotonic()
    trace = ["--trace", os.environ["BENCH_TRACE"]] if os.environ.get("BENCH_TRACE") else []
    result = subprocess.run(["/usr/bin/time", "-v", kestrum, "run", "bench", "--no-cache", "--passive"] + trace, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        said = result.stderr.split(b"\tCommand being timed")[0].decode(errors="replace")
        said = " ".join(line for line in said.split("\n") if line and not line.startswith("Command exited"))
        print("  (kestrum exited with status %d: %s)" % (result.returncode, said[-300:]))
    check_upload("kestrum", server, local)
    peak = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    return seconds, server.commands() - before, int(peak.group(1)) / 1024 if peak else -1


def lftp_mirror(server, local, parallel):
    if server.sftp:
        # lftp answers ssh's password prompt itself (the password from open -u).
        settings = "set sftp:connect-program '%s'; " % LFTP_SSH
        url = "sftp://127.0.0.1:%d" % server.port
    else:
        if server.tls:
            settings = "set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
        else:
            settings = "set ftp:ssl-allow no; "
        settings = "set ftp:passive-mode on; " + settings
        url = "ftp://127.0.0.1:%d" % server.port
    script = ("set cmd:fail-exit yes; set net:max-retries 1; %sopen -u %s,%s %s; mirror -R %s %s %s" %
              (settings, server.user, server.password, url, "--parallel=%d" % parallel if parallel > 1 else "",
               local, server.directory))
    before = server.commands()
    start = time.monotonic()
    result = subprocess.run(["lftp", "-c", script], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        print("  (lftp exited with status %d: %s)" %
              (result.returncode, result.stderr.decode(errors="replace").strip()[-300:]))
    check_upload("lftp", server, local)
    return seconds, server.commands() - before


def sftp_login(server):
    """Seconds from connecting to the SFTP server's SSH_FXP_VERSION with libssh, the SSH library
    Kestrum uses (the same key exchange and password login): key exchange, password login,
    session channel, sftp subsystem, SSH_FXP_INIT."""
    lib = ctypes.CDLL("libssh.so.4")
    lib.ssh_new.restype = ctypes.c_void_p
    lib.ssh_options_set.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    lib.ssh_get_error.argtypes = [ctypes.c_void_p]
    lib.ssh_get_error.restype = ctypes.c_char_p
    lib.sftp_new.argtypes = [ctypes.c_void_p]
    lib.sftp_new.restype = ctypes.c_void_p
    for name in ("ssh_connect", "ssh_disconnect", "ssh_free", "sftp_init", "sftp_free"):
        getattr(lib, name).argtypes = [ctypes.c_void_p]
    lib.ssh_userauth_password.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    # enum ssh_options_e: HOST, PORT, USER, PROCESS_CONFIG.
    host, port, user, process_config = 0, 1, 4, 38
    session = lib.ssh_new()
    sftp = None
    try:
        lib.ssh_options_set(session, process_config, ctypes.byref(ctypes.c_bool(False)))
        lib.ssh_options_set(session, host, ctypes.c_char_p(b"127.0.0.1"))
        lib.ssh_options_set(session, port, ctypes.byref(ctypes.c_uint(server.port)))
        lib.ssh_options_set(session, user, ctypes.c_char_p(server.user.encode()))
        start = time.monotonic()
        if (lib.ssh_connect(session) != 0 or
                lib.ssh_userauth_password(session, None, server.password.encode()) != 0):
            raise SystemExit("libssh could not log in to the SFTP server: " +
                             lib.ssh_get_error(session).decode())
        sftp = lib.sftp_new(session)
        if not sftp or lib.sftp_init(sftp) != 0:
            raise SystemExit("libssh could not start SFTP: " + lib.ssh_get_error(session).decode())
        return time.monotonic() - start
    finally:
        if sftp:
            lib.sftp_free(sftp)
        lib.ssh_disconnect(session)
        lib.ssh_free(session)


def ftp_login(server):
    """Seconds from connecting to logged in (with TLS: and the data connections protected) with
    ftplib."""
    start = time.monotonic()
    if server.tls:
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=context)
        ftp.connect("127.0.0.1", server.port)
        ftp.login(server.user, server.password)
        ftp.prot_p()
    else:
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port)
        ftp.login(server.user, server.password)
    seconds = time.monotonic() - start
    ftp.close()
    return seconds


def login_time(server):
    """The best of three logins over the same path (sftp_login or ftp_login), in seconds."""
    return min((sftp_login if server.sftp else ftp_login)(server) for _ in range(3))


def row(what, seconds, commands, files, peak=None, sftp=False):
    if sftp:
        text = "  %-36s %8.2f s %7d logins" % (what, seconds, commands)
    else:
        text = "  %-36s %8.2f s %7d commands %6.2f per file" % (what, seconds, commands, commands / files)
    if peak is not None:
        text += " %8.1f MB peak" % peak
    print(text, flush=True)


def kestrum_name(n):
    return "kestrum, %s" % ("%d connection%s" % (n, "s" if n > 1 else "") if n else "default")


def lftp_name(parallel):
    return "lftp mirror -R" + (" --parallel=%d" % parallel if parallel > 1 else "")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrum", required=True)
    parser.add_argument("--connections", default="1,4", help="comma-separated; 0: the profile's default (no value)")
    parser.add_argument("--parallel", default="1,4", help="comma-separated lftp --parallel values")
    parser.add_argument("--latency", default="0,20", help="comma-separated milliseconds")
    parser.add_argument("--servers", default="pyftpdlib", help="comma-separated: " + ", ".join(SERVERS))
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--dirs", type=int, default=10)
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--large", type=int, default=10000)
    parser.add_argument("--no-lftp", action="store_true")
    parser.add_argument("--relay", action="store_true",
                        help="pyftpdlib: the latency from a relay in front of the server (vsftpd always has it)")
    args = parser.parse_args()
    kestrum = os.path.abspath(args.kestrum)
    counts = [int(c) for c in args.connections.split(",")]
    parallels = [] if args.no_lftp else [int(p) for p in args.parallel.split(",")]
    latencies = [int(x) for x in args.latency.split(",")]
    servers = args.servers.split(",")
    for kind in servers:
        if kind not in SERVERS:
            parser.error("unknown server " + kind)
    env = dict(os.environ)

    with tempfile.TemporaryDirectory() as work:
        key_pair = make_key(work) if "vsftpd-tls" in servers else None

        def one(kind, latency, fn):
            """A fresh server (empty home) for one measurement."""
            base = tempfile.mkdtemp(dir=work)
            relay = latency > 0 and (args.relay or kind != "pyftpdlib")
            server = Server(base, kind, latency, relay, key_pair)
            try:
                return fn(server)
            finally:
                server.stop()
                shutil.rmtree(base, ignore_errors=True)

        local = os.path.join(work, "tree")
        make_tree(local, args.files, args.dirs, args.size)
        table = []
        for kind in servers:
            for latency in latencies:
                relayed = latency > 0 and (args.relay or kind != "pyftpdlib")
                print("%s: %d files of %d bytes in %d directories, %d ms %s:" %
                      (kind, args.files, args.size, args.dirs, latency,
                       "round trip through the relay" if relayed else "per reply" if kind == "pyftpdlib"
                       else "(no relay)"))
                kestrum_seconds = {}
                for n in counts:
                    seconds, commands, _ = one(kind, latency,
                                               lambda s: kestrum_run(kestrum, env, work, s, local, n or None))
                    kestrum_seconds[n] = seconds
                    row(kestrum_name(n), seconds, commands, args.files, sftp=kind == "sftp")
                lftp_seconds = {}
                for parallel in parallels:
                    seconds, commands = one(kind, latency, lambda s: lftp_mirror(s, local, parallel))
                    lftp_seconds[parallel] = seconds
                    row(lftp_name(parallel), seconds, commands, args.files, sftp=kind == "sftp")
                login = one(kind, latency, login_time)
                # SFTP: at best a file's open, write, close and attributes are pipelined into one round trip.
                trips = 1 if kind == "sftp" else 2
                for n in counts:
                    # The profile's default is 4 connections.
                    connections = n or 4
                    floor = args.files * trips * latency / 1000.0 / connections + login
                    parallel = connections if connections in lftp_seconds else max(lftp_seconds, default=None)
                    lftp = lftp_seconds.get(parallel)
                    table.append((kind, latency, n, kestrum_seconds[n], parallel, lftp, login, floor))
                    print("  %s: floor %.2f s (%d files * %d * %d ms / %d + login %.3f s)%s, kestrum/floor %.2f" %
                          (kestrum_name(n), floor, args.files, trips, latency, connections, login,
                           ", kestrum/lftp %.2f" % (kestrum_seconds[n] / lftp) if lftp else "",
                           kestrum_seconds[n] / floor), flush=True)
        print("\n%-11s %6s %-7s %9s %-14s %9s %8s %8s %12s %13s" %
              ("server", "rtt", "kestrum", "seconds", "lftp", "seconds", "login", "floor", "kestrum/lftp",
               "kestrum/floor"))
        for kind, latency, n, seconds, parallel, lftp, login, floor in table:
            print("%-11s %3d ms %-7s %9.2f %-14s %9s %8.3f %8.2f %12s %13.2f" %
                  (kind, latency, "%d conn" % n if n else "default", seconds,
                   "--parallel=%d" % parallel if parallel else "-", "%.2f" % lftp if lftp else "-", login, floor,
                   "%.2f" % (seconds / lftp) if lftp else "-", seconds / floor))
        if args.large > 0:
            large = os.path.join(work, "large")
            make_tree(large, args.large, 100, args.size)
            print("%d files of %d bytes in 100 directories, 0 ms per reply:" % (args.large, args.size))
            for n in counts:
                seconds, commands, peak = one("pyftpdlib", 0,
                                              lambda s: kestrum_run(kestrum, env, work, s, large, n or None))
                row(kestrum_name(n), seconds, commands, args.large, peak)


if __name__ == "__main__":
    sys.exit(main())
