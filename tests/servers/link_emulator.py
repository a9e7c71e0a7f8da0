#!/usr/bin/env python3
# A slow or broken network link in user space (this kernel has no traffic shaping): a TCP proxy that
# adds, each way, a one-way delay and a rate cap, and on a script stalls, resets or refuses.
#
# Usage: link_emulator.py ADDRESS PORT TARGET TARGET_PORT CONTROL LOG, or link_emulator.py --check (its own rows).
# CONTROL is read as each connection opens; only its lines that start with "link" are ours:
#     link delay 40         milliseconds each way; TCP's handshake costs a round trip before the first byte
#     link rate 20          Mbit/s each way, shared by all connections, as on a player's line
#     link reset 524288     every connection is reset after that many bytes towards the client
#     link stall 40 100000  the first connection since CONTROL changed stops for 40 s after 100000 bytes to the client
#     link refuse           every connection is reset as it is accepted, before any byte
# Every other byte is delivered, in order. LOG gets a line per connection as it ends: its flights in
# turn, "u" towards the target and "d" towards the client with their bytes, e.g. "u517 d2210 u80 d4301".
import asyncio, fcntl, os, socket, struct, sys, termios

free = {"u": 0.0, "d": 0.0}  # when each way's cap lets its next byte go
seen = [None, 0]  # the control file's time of change, and connections opened since


def rules(control):
    try:
        with open(control, encoding="utf-8") as f:
            text, stamp = f.read(), os.stat(control).st_mtime_ns
    except OSError:
        text, stamp = "", None
    seen[:] = [stamp, seen[1] + 1 if stamp == seen[0] else 1]
    return {p[1]: [float(v) for v in p[2:]] for p in map(str.split, text.splitlines()) if p[0:1] == ["link"]}


def reset(writer):
    writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def pump(reader, writer, other, way, rule, flights, cut):
    # cut: (byte, "reset" or "stall", seconds) towards the client
    loop, queue, done = asyncio.get_running_loop(), asyncio.Queue(64), 0
    delay, rate = rule.get("delay", [0])[0] / 1000, rule.get("rate", [0])[0] * 1e6 / 8

    async def deliver():
        try:
            while (item := await queue.get()) is not None:
                if item[0] == "stall":
                    await asyncio.sleep(item[1])
                elif item[0] == "reset":  # once the client holds every byte before the cut
                    sock = writer.get_extra_info("socket")
                    while struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]:
                        await asyncio.sleep(0.001)
                    return reset(writer), other.transport.abort()
                else:
                    await asyncio.sleep(item[0] - loop.time())
                    writer.write(item[1])
                    await writer.drain()
            writer.close()
        except OSError:  # the other end went away: so does this connection
            writer.transport.abort(), other.transport.abort()
            while await queue.get() is not None:
                pass

    async def send(data):
        if flights and flights[-1][0] == way:
            flights[-1][1] += len(data)
        elif data:
            flights.append([way, len(data)])
        free[way] = max(loop.time(), free[way]) + (len(data) / rate if rate else 0)
        await queue.put((free[way] + delay, data))

    task = asyncio.ensure_future(deliver())
    try:
        while data := await reader.read(65536):
            done += len(data)
            if cut and done >= cut[0]:
                await send(data[:len(data) - (done - cut[0])])
                await queue.put(cut[1:])
                data, cut = data[len(data) - (done - cut[0]):], cut if cut[1] == "reset" else None
                if cut:
                    break
            await send(data)
    except OSError:
        pass
    await queue.put(None)
    await asyncio.gather(task, return_exceptions=True)


async def serve(target, control, log, client_r, client_w):
    rule = rules(control)
    if "refuse" in rule:
        return reset(client_w)
    await asyncio.sleep(rule.get("delay", [0])[0] / 500)
    try:
        up_r, up_w = await asyncio.open_connection(*target)
    except OSError:
        return reset(client_w)
    cut = (int(rule["reset"][0]), "reset", 0) if "reset" in rule else None
    if "stall" in rule and seen[1] == 1:
        cut = (int(rule["stall"][1]), "stall", rule["stall"][0])
    flights = []
    await asyncio.gather(pump(client_r, up_w, client_w, "u", rule, flights, None),
                         pump(up_r, client_w, up_w, "d", rule, flights, cut))
    with open(log, "a", encoding="utf-8") as f:
        f.write(" ".join(f"{w}{n}" for w, n in flights) + "\n")


async def main(address, port, target, target_port, control, log):
    server = await asyncio.start_server(lambda r, w: serve((target, int(target_port)), control, log, r, w), address,
                                        int(port), reuse_address=True)
    await server.serve_forever()


async def check():
    # The rows the benchmark relies on: (delay ms, Mbit/s) asked, round trip and rate measured within 10 %.
    async def sink(r, w):  # answers "N\n" with N bytes
        while line := await r.readline():
            w.write(b"x" * int(line))
        w.close()
    target = await asyncio.start_server(sink, "127.0.0.1", 0)
    control, failed = f"/tmp/link-check-{os.getpid()}", False
    link = await asyncio.start_server(lambda r, w: serve(target.sockets[0].getsockname(), control, os.devnull, r, w),
                                      "127.0.0.1", 0)
    for delay, mbits in [(50, 0), (40, 20), (0, 100)]:
        with open(control, "w") as f:
            f.write(f"link delay {delay}\nlink rate {mbits}\n")
        r, w = await asyncio.open_connection(*link.sockets[0].getsockname())
        times, size = [], int(mbits * 1e6 / 8) or 1
        for ask in [1] * 6 + [size]:
            start = asyncio.get_running_loop().time()
            w.write(b"%d\n" % ask)
            await r.readexactly(ask)
            times.append(asyncio.get_running_loop().time() - start)
        trip = sorted(times[1:6])[2]
        rate = size * 8 / (times[6] - trip) / 1e6
        ok = (not delay or abs(trip - delay / 500) <= delay / 5000 and abs(times[0] - delay / 250) <= delay / 2500) and (
            not mbits or abs(rate - mbits) <= mbits / 10)
        print(f"delay {delay} ms, {mbits} Mbit/s: round trip {trip * 1e3:.1f} ms (first {times[0] * 1e3:.1f} ms), "
              f"rate {rate:.1f} Mbit/s: {'ok' if ok else 'OUT OF BOUNDS'}")
        failed |= not ok
        w.close()
    os.remove(control)
    await asyncio.sleep(0.1)  # for the connections to end
    return failed


if __name__ == "__main__":
    sys.exit(asyncio.run(check() if sys.argv[1:] == ["--check"] else main(*sys.argv[1:7])))
