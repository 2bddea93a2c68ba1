#!/usr/bin/python3
"""A local demo FTP server on 127.0.0.1 for the demo profile.

Usage: demo_ftpserver.py HOME PORTFILE
Serves HOME for user "demo" with password "demo" on a free port, which is
written to PORTFILE once the server listens.
"""
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    home, port_file = sys.argv[1], sys.argv[2]
    authorizer = DummyAuthorizer()
    authorizer.add_user("demo", "demo", home, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.use_gmt_times = True
    handler.auth_failed_timeout = 0
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.replace(tmp, port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
