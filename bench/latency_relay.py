#!/usr/bin/python3
"""A TCP relay that holds back every byte it forwards, in both directions, as a slow link would.

    bench/latency_relay.py --target HOST:PORT --delay MS [--port P]

Listens on 127.0.0.1 (port P, or a free one), prints "PORT <n>" once it listens, and forwards each
connection to the target, delivering what either side sends DELAY/2 milliseconds later on each
way (a round trip of DELAY), in order. Put in front of an FTP server's control port it delays the
control connection only: passive data connections go to the address and port the server names.
"""

import argparse
import asyncio
import sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            await queue.put((loop.time() + delay, data or None))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
        writer.close()


async def serve(target_host, target_port, delay, port):
    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(target_host, target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay), pipe(server_reader, client_writer, delay),
                             return_exceptions=True)
        for writer in (client_writer, server_writer):
            writer.close()

    server = await asyncio.start_server(connection, "127.0.0.1", port)
    sys.stdout.write("PORT %d\n" % server.sockets[0].getsockname()[1])
    sys.stdout.flush()
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", required=True, help="HOST:PORT")
    parser.add_argument("--delay", type=float, required=True, help="milliseconds per round trip")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    host, _, port = args.target.rpartition(":")
    asyncio.run(serve(host, int(port), args.delay / 2000.0, args.port))


if __name__ == "__main__":
    main()
