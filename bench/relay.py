#!/usr/bin/env python3
"""make bench's distance: a TCP relay on 127.0.0.1 that puts a round trip
between its clients and a server, as a far-away server has.

    relay.py PORT_FILE RTT_SECONDS TARGET_PORT...

For each target port it listens on a port of its own and writes them, then
a control port, to PORT_FILE ("P1 P2 ... CONTROL"). Every chunk is held for
half the round trip in each direction, and a new connection's first bytes
for one more round trip (its TCP handshake); bytes are never reordered.
GET /stats on the control port gives {"connections": N}, the connections
relayed since the start or the last GET /stats/reset.
"""

import asyncio
import json
import os
import sys

COUNTS = {"connections": 0}
CHUNK = 65536


async def carry(reader, writer, delay, extra):
    """Copies reader to writer, each chunk `delay` s late (the first `extra`
    s more), in order: one task reads into a queue, this one writes."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read():
        first = True
        while True:
            data = await reader.read(CHUNK)
            await queue.put((loop.time() + delay + (extra if first else 0.0), data))
            first = False
            if not data:
                return
    reading = asyncio.ensure_future(read())
    try:
        while True:
            due, data = await queue.get()
            await asyncio.sleep(max(0.0, due - loop.time()))
            if not data:
                writer.write_eof()
                return
            writer.write(data)
            await writer.drain()
    except (OSError, RuntimeError):
        pass  # the other side went away
    finally:
        reading.cancel()


async def serve(target, rtt, reader, writer):
    COUNTS["connections"] += 1
    try:
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", target)
    except OSError:
        writer.close()
        return
    await asyncio.gather(carry(reader, up_writer, rtt / 2, rtt),
                         carry(up_reader, writer, rtt / 2, 0.0))
    for w in (writer, up_writer):
        w.close()


async def control(reader, writer):
    line = (await reader.readline()).decode("latin-1")
    if "/stats/reset" in line:
        COUNTS["connections"] = 0
    body = json.dumps(COUNTS).encode()
    writer.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
    await writer.drain()
    writer.close()


async def main(port_file, rtt, targets):
    servers = [await asyncio.start_server(
        lambda r, w, t=t: serve(t, rtt, r, w), "127.0.0.1", 0) for t in targets]
    servers.append(await asyncio.start_server(control, "127.0.0.1", 0))
    ports = [s.sockets[0].getsockname()[1] for s in servers]
    with open(port_file + ".tmp", "w") as f:
        f.write(" ".join(map(str, ports)))
    os.replace(port_file + ".tmp", port_file)
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], float(sys.argv[2]), [int(p) for p in sys.argv[3:]]))
