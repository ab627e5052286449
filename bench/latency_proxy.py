#!/usr/bin/env python3
"""An FTP proxy on 127.0.0.1 that puts a wide-area round trip between a client and a server.

Every byte waits half the round trip in each direction, in order, with one queue per direction so
one direction never holds up the other. A new connection reaches the server one and a half round
trips after the client opens it, when TCP's handshake would have delivered it, so a client's
first bytes and the server's first reply arrive when they would over a real link. Passive-mode
replies on the control connection (227 and 229) are rewritten to name a port of the proxy, which
relays that data connection the same way: a client's listings and files go through the delay too.

Alone:  python3 bench/latency_proxy.py --server 127.0.0.1:2121 --listen 3131 --rtt-ms 40
"""
import argparse
import asyncio
import re
import socket
import threading
import time

CHUNK = 1 << 16
LISTENER_LIFETIME = 120  # seconds a data port waits for the client it was announced to
PASV_FIELDS = re.compile(rb"\d+,\d+,\d+,\d+,(\d+),(\d+)")
EPSV_FIELDS = re.compile(rb"\(([!-~])\1\1(\d+)\1\)")
END_OF_STREAM = None


class Stats:
    """What went through the proxy; read by the bench between runs."""

    def __init__(self):
        self.control = 0        # control connections accepted
        self.control_open = 0
        self.control_peak = 0   # most control connections open at once since the last reset
        self.passive = 0        # passive replies rewritten to a port of the proxy
        self.data = 0           # data connections accepted on those ports
        self.relays_open = 0    # connections of either kind not yet closed at both ends

    def snapshot(self):
        return dict(control=self.control, passive=self.passive, data=self.data,
                    control_peak=self.control_peak)

    def reset_peak(self):
        self.control_peak = self.control_open


class LineBuffer:
    """Holds back the part of a control stream after its last line end."""

    def __init__(self):
        self.pending = b""

    def complete_lines(self, data):
        self.pending += data
        end = self.pending.rfind(b"\n") + 1
        lines, self.pending = self.pending[:end], self.pending[end:]
        return lines


class LatencyProxy:
    def __init__(self, server_host, server_port, rtt_ms, listen_port=0):
        self.server_host, self.server_port = server_host, server_port
        self.rtt_ms = rtt_ms
        self.one_way = rtt_ms / 2000.0
        self.listen_port = listen_port
        self.stats = Stats()

    async def start(self):
        server = await asyncio.start_server(self._on_control, "127.0.0.1", self.listen_port)
        self.listen_port = server.sockets[0].getsockname()[1]
        return server

    async def _on_control(self, reader, writer):
        stats = self.stats
        stats.control += 1
        stats.control_open += 1
        stats.control_peak = max(stats.control_peak, stats.control_open)
        try:
            await self._relay(reader, writer, self.server_port, LineBuffer())
        finally:
            stats.control_open -= 1

    def wait_idle(self, seconds=5):
        """Waits (from another thread) until every relayed connection has closed."""
        deadline = time.monotonic() + seconds
        while self.stats.relays_open and time.monotonic() < deadline:
            time.sleep(0.01)

    async def _relay(self, client_reader, client_writer, server_port, control_lines=None):
        self.stats.relays_open += 1
        try:
            await self._relay_open(client_reader, client_writer, server_port, control_lines)
        finally:
            self.stats.relays_open -= 1

    async def _relay_open(self, client_reader, client_writer, server_port, control_lines):
        to_server, to_client = asyncio.Queue(), asyncio.Queue()
        loop = asyncio.get_running_loop()
        from_client = loop.create_task(self._read(client_reader, to_server))
        await asyncio.sleep(3 * self.one_way)  # SYN, SYN-ACK, ACK
        try:
            server_reader, server_writer = await asyncio.open_connection(self.server_host,
                                                                         server_port)
        except OSError:
            from_client.cancel()
            client_writer.close()
            return
        writers = (client_writer, server_writer)
        await asyncio.gather(
            from_client,
            self._write(to_server, server_writer, writers),
            self._read(server_reader, to_client, control_lines),
            self._write(to_client, client_writer, writers),
            return_exceptions=True)
        for w in writers:
            w.close()

    async def _read(self, reader, queue, control_lines=None):
        """Stamps every chunk with the time it is due at the other end."""
        loop = asyncio.get_running_loop()
        try:
            while True:
                data = await reader.read(CHUNK)
                due = loop.time() + self.one_way
                if not data:
                    break
                if control_lines is not None:
                    data = await self._rewrite_passive(control_lines.complete_lines(data))
                if data:
                    queue.put_nowait((due, data))
            if control_lines is not None and control_lines.pending:
                queue.put_nowait((due, control_lines.pending))
        except (OSError, asyncio.CancelledError):
            due = loop.time() + self.one_way
        finally:
            queue.put_nowait((due, END_OF_STREAM))

    async def _write(self, queue, writer, writers):
        loop = asyncio.get_running_loop()
        try:
            while True:
                due, data = await queue.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is END_OF_STREAM:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
        except OSError:
            for w in writers:  # one side is gone: end the other too
                w.transport.abort()

    async def _rewrite_passive(self, lines):
        out = []
        for line in lines.splitlines(keepends=True):
            if line.startswith(b"227"):
                line = await self._rewrite_pasv(line)
            elif line.startswith(b"229"):
                line = await self._rewrite_epsv(line)
            out.append(line)
        return b"".join(out)

    async def _rewrite_pasv(self, line):
        match = PASV_FIELDS.search(line)
        if not match:
            return line
        port = await self._data_port(int(match.group(1)) * 256 + int(match.group(2)))
        fields = b"127,0,0,1,%d,%d" % (port >> 8, port & 0xFF)
        return line[:match.start()] + fields + line[match.end():]

    async def _rewrite_epsv(self, line):
        match = EPSV_FIELDS.search(line)
        if not match:
            return line
        port = await self._data_port(int(match.group(2)))
        d = match.group(1)
        return line[:match.start()] + b"(%s%s%s%d%s)" % (d, d, d, port, d) + line[match.end():]

    async def _data_port(self, server_port):
        """A one-connection listener that relays to the server's data port; returns its port."""
        listener = None

        async def on_data(reader, writer):
            listener.close()
            self.stats.data += 1
            await self._relay(reader, writer, server_port)

        listener = await asyncio.start_server(on_data, "127.0.0.1", 0, backlog=1)
        asyncio.get_running_loop().call_later(LISTENER_LIFETIME, listener.close)
        self.stats.passive += 1
        return listener.sockets[0].getsockname()[1]


def start_in_thread(server_host, server_port, rtt_ms):
    """Runs a proxy on its own event loop in a daemon thread; returns it once it listens."""
    proxy = LatencyProxy(server_host, server_port, rtt_ms)
    loop = asyncio.new_event_loop()
    ready = threading.Event()

    def run():
        asyncio.set_event_loop(loop)
        loop.run_until_complete(proxy.start())
        ready.set()
        loop.run_forever()

    threading.Thread(target=run, daemon=True, name="latency-proxy").start()
    ready.wait()
    return proxy


def measure_round_trip(port):
    """Seconds from connecting to the greeting, and from a NOOP to its reply."""
    with socket.create_connection(("127.0.0.1", port)) as s:
        reader = s.makefile("rb")
        start = time.perf_counter()
        reader.readline()
        greeting = time.perf_counter() - start
        start = time.perf_counter()
        s.sendall(b"NOOP\r\n")
        reader.readline()
        noop = time.perf_counter() - start
        s.sendall(b"QUIT\r\n")
        return greeting, noop


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True, help="host:port of the FTP server")
    parser.add_argument("--listen", type=int, default=0, help="control port on 127.0.0.1")
    parser.add_argument("--rtt-ms", type=float, default=40)
    args = parser.parse_args()
    host, port = args.server.rsplit(":", 1)
    proxy = LatencyProxy(host, int(port), args.rtt_ms, args.listen)

    async def serve():
        server = await proxy.start()
        print("127.0.0.1:%d -> %s, round trip %g ms" % (proxy.listen_port, args.server,
                                                         args.rtt_ms), flush=True)
        await server.serve_forever()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
