#!/usr/bin/python3
"""A TCP proxy on loopback that holds every byte for a fixed time in each direction, to give
loopback the round-trip time of a real network (these machines have no netem).

Listens on LISTEN_HOST at each port given and forwards every connection to the same port on
TARGET_HOST, so that an FTP server that listens on TARGET_HOST and names LISTEN_HOST in its
passive replies gets both its control port and its whole passive port range delayed alike.

usage: delay_proxy.py LISTEN_HOST TARGET_HOST DELAY_MS PORT[-LAST]...
"""
import asyncio
import sys


async def pump(reader, writer, delay):
    """Copies reader to writer, each chunk written `delay` seconds after it was read, in order;
    reading goes on meanwhile, so the delay adds latency, not a cap on throughput."""
    loop = asyncio.get_running_loop()
    chunks = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await chunks.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    sender = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(65536)
            await chunks.put((loop.time() + delay, data if data else None))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
        writer.close()


async def serve(listen_host, target_host, port, delay):
    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(target_host, port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay),
                             return_exceptions=True)
        for writer in (client_writer, server_writer):
            writer.close()

    return await asyncio.start_server(handle, listen_host, port, reuse_address=True)


async def main():
    listen_host, target_host, delay_ms = sys.argv[1], sys.argv[2], float(sys.argv[3])
    ports = []
    for ports_text in sys.argv[4:]:
        first, _, last = ports_text.partition("-")
        ports.extend(range(int(first), int(last or first) + 1))
    servers = [await serve(listen_host, target_host, port, delay_ms / 1000.0) for port in ports]
    print("ready", flush=True)
    await asyncio.gather(*(server.serve_forever() for server in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
