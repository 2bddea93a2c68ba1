#!/usr/bin/python3
"""A pyftpdlib server for the tests.

Binds 127.0.0.1 on a free port, serves one user from a home directory and
prints "PORT <n>" on standard output once it accepts connections. Every
command received is logged (DEBUG) to the log file, which lets a test count
commands and connections.
"""

import argparse
import collections
import io
import logging
import os
import re
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


class ShiftedStat:
    """A stat result whose modification time reads `shift` seconds later."""

    def __init__(self, st, shift):
        self._st = st
        self._shift = shift

    def __getattr__(self, name):
        value = getattr(self._st, name)
        if name == "st_mtime":
            return value + self._shift
        return value


def make_filesystem(shift):
    if shift == 0:
        return AbstractedFS

    class ShiftedFS(AbstractedFS):
        """Reports every modification time as a server whose clock runs `shift` seconds ahead."""

        def stat(self, path):
            return ShiftedStat(super().stat(path), shift)

        def lstat(self, path):
            return ShiftedStat(super().lstat(path), shift)

        def getmtime(self, path):
            return super().getmtime(path) + shift

        def utime(self, path, timeval):
            return super().utime(path, timeval - shift)

    return ShiftedFS


def with_listed_time(fs_class, name, modify):
    """MLSD and MLST lines of files called `name` carry the modify fact `modify`."""

    class ListedTimeFS(fs_class):
        def format_mlsx(self, *args, **kwargs):
            suffix = ("; " + name).encode()
            for line in super().format_mlsx(*args, **kwargs):
                raw = line if isinstance(line, bytes) else line.encode()
                if raw.rstrip(b"\r\n").endswith(suffix):
                    raw = re.sub(rb"modify=[0-9.]+", b"modify=" + modify, raw)
                yield raw if isinstance(line, bytes) else raw.decode()

    return ListedTimeFS


def with_unix_mode(fs_class):
    """MLSD and MLST lines carry the permission bits as many servers send them
    unasked ("UNIX.mode=0644"; pyftpdlib's own form would be "0o644")."""

    class UnixModeFS(fs_class):
        def format_mlsx(self, basedir, listing, perms, facts, *args, **kwargs):
            facts = list(facts) + ([] if "unix.mode" in facts else ["unix.mode"])
            for line in super().format_mlsx(basedir, listing, perms, facts, *args, **kwargs):
                raw = line if isinstance(line, bytes) else line.encode()
                raw = re.sub(rb"unix\.mode=0o([0-7]+);", rb"UNIX.mode=0\1;", raw)
                yield raw if isinstance(line, bytes) else raw.decode()

    return UnixModeFS


def with_list_lines(fs_class, lines):
    """LIST shows the entry called NAME as the given line instead of its own, for each NAME=LINE."""
    replacements = []
    for spec in lines:
        name, line = spec.split("=", 1)
        replacements.append(((" " + name).encode("utf8", "surrogateescape"), line.encode("utf8", "surrogateescape")))

    class ListLinesFS(fs_class):
        def format_list(self, *args, **kwargs):
            for line in super().format_list(*args, **kwargs):
                for suffix, replacement in replacements:
                    if line.rstrip(b"\r\n").endswith(suffix):
                        line = replacement + b"\r\n"
                        break
                yield line

    return ListLinesFS


def with_half_sent(fs_class, name):
    """Downloads of files called `name` send the first half and end as if complete."""

    class HalfSentFS(fs_class):
        def open(self, filename, mode):
            file = super().open(filename, mode)
            if "r" not in mode or os.path.basename(filename) != name:
                return file
            with file:
                data = file.read()
            half = io.BytesIO(data[: len(data) // 2])
            half.name = filename
            return half

    return HalfSentFS


def with_store_faults(fs_class, keep, cut):
    """Uploads keep only their first `keep` bytes and are confirmed as complete
    (keep >= 0), or the session is closed once `cut` bytes have arrived (cut > 0)."""

    class StoreFaultsFS(fs_class):
        def open(self, filename, mode):
            file = super().open(filename, mode)
            if "w" not in mode and "a" not in mode:
                return file
            fs = self

            class Faulty:
                def __init__(self):
                    self.seen = 0

                def write(self, data):
                    start = self.seen
                    self.seen += len(data)
                    if keep >= 0:
                        data = data[: max(0, keep - start)]
                    if data:
                        file.write(data)
                    if 0 < cut <= self.seen:
                        file.flush()
                        fs.cmd_channel.close()
                    return len(data)

                def __getattr__(self, name):
                    return getattr(file, name)

            return Faulty()

    return StoreFaultsFS


def with_mdtm_shift(fs_class, shift):
    """MDTM reports times `shift` seconds later than the listings, as a server whose
    LIST shows local time and whose MDTM shows UTC."""

    class MdtmShiftedFS(fs_class):
        def getmtime(self, path):
            return super().getmtime(path) + shift

    return MdtmShiftedFS


def make_handler(args):
    class Handler(FTPHandler):
        pass

    Handler.authorizer = DummyAuthorizer()
    Handler.authorizer.add_user(args.user, args.password, args.home, perm="elradfmwMT")
    Handler.auth_failed_timeout = 0
    Handler.use_gmt_times = True
    Handler.banner = "test server ready."
    if args.idle_timeout > 0:
        # A session idle this long gets 421 and is closed.
        Handler.timeout = args.idle_timeout
    Handler.abstracted_fs = with_unix_mode(make_filesystem(args.clock_shift))
    if args.garbled_time:
        # An impossible time: the thirteenth month.
        Handler.abstracted_fs = with_listed_time(Handler.abstracted_fs, args.garbled_time, b"20231301250000")
    if args.far_future:
        Handler.abstracted_fs = with_listed_time(Handler.abstracted_fs, args.far_future, b"99991231235959")
    if args.list_line:
        Handler.abstracted_fs = with_list_lines(Handler.abstracted_fs, args.list_line)
    if args.mdtm_shift:
        Handler.abstracted_fs = with_mdtm_shift(Handler.abstracted_fs, args.mdtm_shift)
    if args.send_half:
        Handler.abstracted_fs = with_half_sent(Handler.abstracted_fs, args.send_half)
        Handler.use_sendfile = False
    if args.store_keep >= 0 or args.store_cut > 0:
        Handler.abstracted_fs = with_store_faults(Handler.abstracted_fs, args.store_keep, args.store_cut)
    if args.refuse_rename_over:
        # A server that renames a file only to a name not yet taken.
        def ftp_RNTO(self, path):
            if os.path.exists(path):
                self._rnfr = None
                self.respond("550 Target exists.")
                return
            return FTPHandler.ftp_RNTO(self, path)

        Handler.ftp_RNTO = ftp_RNTO
    if args.extra_clock_shift:
        # A server farm: every session after the first reaches a back end
        # whose clock is off by this much.
        logins = []

        def on_login(self, username):
            logins.append(self)
            if len(logins) > 1:
                self.fs = make_filesystem(args.clock_shift + args.extra_clock_shift)(self.fs.root, self)

        Handler.on_login = on_login
    if args.rate > 0:
        class Throttled(ThrottledDTPHandler):
            pass

        Throttled.read_limit = args.rate
        Throttled.write_limit = args.rate
        Handler.dtp_handler = Throttled
    if not args.mlsd:
        Handler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in ("MLSD", "MLST")}
    if args.login_delay > 0:
        delay = args.login_delay

        def ftp_PASS(self, line):
            # Answer later without blocking the I/O loop for other connections.
            self.del_channel()

            def answer():
                self.add_channel()
                FTPHandler.ftp_PASS(self, line)

            self.ioloop.call_later(delay, answer, _errback=self.handle_error)

        Handler.ftp_PASS = ftp_PASS
    if args.unlistable:
        # A directory the server lists in its parent but refuses to list,
        # worded as if it did not exist.
        def refusing(command):
            def handler(self, path):
                if os.path.basename(path.rstrip("/")) == args.unlistable:
                    self.respond("550 No such file or directory.")
                    return
                return command(self, path)
            return handler

        Handler.ftp_LIST = refusing(FTPHandler.ftp_LIST)
        Handler.ftp_NLST = refusing(FTPHandler.ftp_NLST)
        Handler.ftp_MLSD = refusing(FTPHandler.ftp_MLSD)
    if args.announce_short:
        # A server that announces (in SIZE and in the transfer's opening
        # reply) fewer bytes than it then sends.
        def ftp_SIZE(self, path):
            if os.path.basename(path) == args.announce_short:
                self.respond("213 %d" % (os.path.getsize(path) - 5))
                return
            return FTPHandler.ftp_SIZE(self, path)

        def ftp_RETR(self, file):
            if os.path.basename(file) == args.announce_short:
                self.short_size = os.path.getsize(file) - 5
            return FTPHandler.ftp_RETR(self, file)

        def respond(self, resp, *rest, **named):
            short = getattr(self, "short_size", None)
            if short is not None and resp[:3] in ("125", "150"):
                self.short_size = None
                resp = "%s Opening BINARY mode data connection (%d bytes)." % (resp[:3], short)
            return FTPHandler.respond(self, resp, *rest, **named)

        Handler.ftp_SIZE = ftp_SIZE
        Handler.ftp_RETR = ftp_RETR
        Handler.respond = respond
    if args.latency > 0:
        delay = args.latency

        # Every reply leaves the server `delay` seconds late, as over a slow
        # link; replies keep their order, and a close waits for those queued.
        def late(self):
            if not hasattr(self, "_late"):
                self._late = collections.deque()
            return self._late

        def send_oldest(self):
            item = self._late.popleft()
            if self._closed:
                return
            if item is None:
                FTPHandler.close_when_done(self)
            else:
                FTPHandler.push(self, item)

        def push(self, data):
            late(self).append(data)
            self.ioloop.call_later(delay, send_oldest, self, _errback=self.handle_error)

        def close_when_done(self):
            if not late(self):
                return FTPHandler.close_when_done(self)
            push(self, None)

        Handler.push = push
        Handler.close_when_done = close_when_done
    if args.max_logins > 0:
        # A server that refuses a login beyond so many sessions at once.
        sessions = set()

        def ftp_PASS(self, line):
            if len(sessions) >= args.max_logins:
                if args.silent_beyond:
                    self.del_channel()  # never answered: a login that hangs
                    return
                self.respond("530 Sorry, too many users are logged in.")
                return
            FTPHandler.ftp_PASS(self, line)
            if self.authenticated:
                sessions.add(self)

        def close(self):
            sessions.discard(self)
            FTPHandler.close(self)

        Handler.ftp_PASS = ftp_PASS
        Handler.close = close
    if args.break_off:
        # A file whose download breaks off: its data connection is closed
        # before a byte is sent, and the transfer reported as aborted.
        def ftp_RETR(self, file):
            if os.path.basename(file) != args.break_off:
                return FTPHandler.ftp_RETR(self, file)
            if self.data_channel is None:
                self.respond("425 Can't open data connection.")
                return
            self.respond("125 Data connection already open. Transfer starting.")
            self.data_channel._resp = ("426 Connection closed; transfer aborted.", logging.debug)
            self.data_channel.close()

        Handler.ftp_RETR = ftp_RETR
    for verb in filter(None, args.refuse.split(",")):
        # A server that refuses the command whatever its argument.
        setattr(Handler, "ftp_" + verb, lambda self, *args, **kwargs: self.respond("550 Not allowed by this server."))
    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--no-mlsd", dest="mlsd", action="store_false")
    parser.add_argument("--clock-shift", type=int, default=0)
    parser.add_argument("--login-delay", type=float, default=0.0)
    parser.add_argument("--idle-timeout", type=float, default=0.0)
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--refuse", default="", help="comma-separated commands answered with 550")
    parser.add_argument("--unlistable", default="", help="a directory name whose listing is refused")
    parser.add_argument("--garbled-time", default="", help="a file name listed with an impossible time")
    parser.add_argument("--announce-short", default="", help="a file name announced 5 bytes shorter than it is")
    parser.add_argument("--list-line", action="append", default=[], help="NAME=LINE: LIST shows NAME as LINE")
    parser.add_argument("--mdtm-shift", type=int, default=0, help="MDTM times shifted against the listings")
    parser.add_argument("--latency", type=float, default=0.0, help="seconds every reply is held back")
    parser.add_argument("--max-logins", type=int, default=0, help="sessions logged in at once; more get 530")
    parser.add_argument("--silent-beyond", action="store_true", help="logins beyond --max-logins get no reply")
    parser.add_argument("--break-off", default="", help="a file name whose download breaks off")
    parser.add_argument("--send-half", default="", help="a file name whose download sends half and reports success")
    parser.add_argument("--store-keep", type=int, default=-1, help="uploads keep this many bytes, reported complete")
    parser.add_argument("--store-cut", type=int, default=0, help="the session closes after this many bytes of an upload")
    parser.add_argument("--refuse-rename-over", action="store_true", help="RNTO over an existing file is refused")
    parser.add_argument("--extra-clock-shift", type=int, default=0, help="sessions after the first see this clock")
    parser.add_argument("--port", type=int, default=0, help="the port to listen on (0: a free one)")
    parser.add_argument("--far-future", default="", help="a file name listed with a time in the year 9999")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG, format="%(message)s", encoding="utf-8")
    server = FTPServer(("127.0.0.1", args.port), make_handler(args))
    server.max_cons = 64
    port = server.socket.getsockname()[1]

    # Ends with the test process even when it dies without killing the server.
    parent = os.getppid()

    def check_parent():
        if os.getppid() != parent:
            os._exit(0)

    server.ioloop.call_every(1.0, check_parent)
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    time.tzset()
    main()
