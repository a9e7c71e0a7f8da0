#!/usr/bin/env python3
# A slow or broken network link in user space (this kernel has no traffic shaping): a TCP proxy that
# adds, each way, a one-way delay and a rate cap, and on a script stalls, resets or refuses.
#
# Usage: link_emulator.py ADDRESS PORT TARGET TARGET_PORT CONTROL LOG. CONTROL is read as each
# connection opens; only its lines that start with "link" are ours:
#     link delay 40         milliseconds each way; TCP's handshake costs a round trip before the first byte
#     link rate 20          Mbit/s each way, shared by all connections, as on a player's line
#     link reset 524288     every connection is reset after that many bytes towards the client
#     link stall 40 100000  the first connection since CONTROL changed stops for 40 s after 100000 bytes to the client
#     link refuse           every connection is reset as it is accepted, before any byte
#     link drip 100000 2    the first connection since CONTROL changed sends one byte every 2 s after 100000 bytes
#                           to the client (TLS records then arrive whole only after minutes)
# Every other byte is delivered, in order. LOG gets a line per connection as it ends: its flights in
# turn, "u" towards the target and "d" towards the client with their bytes, e.g. "u517 d2210 u80 d4301".
# bench/link_check.py measures that round trips and rates come out as asked.
import asyncio, fcntl, itertools, os, socket, struct, sys, termios

free = {"u": 0.0, "d": 0.0}  # when each way's cap lets its next byte go
seen = [None, 0]  # the control file's time of change, and connections opened since


def rules(control):
    stamp = os.stat(control).st_mtime_ns if os.path.exists(control) else None
    text = open(control, encoding="utf-8").read() if stamp else ""
    seen[:] = [stamp, seen[1] + 1 if stamp == seen[0] else 1]
    rule = {p[1]: [float(v) for v in p[2:]] for p in map(str.split, text.splitlines()) if p[0:1] == ["link"]}
    return rule, rule.get("delay", [0])[0] / 1000, rule.get("rate", [0])[0] * 1e6 / 8


def reset(writer):
    writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def hang_up(writer, other):
    # The reset goes once the client holds every byte before it.
    while writer.transport.get_write_buffer_size() or struct.unpack(
            "i", fcntl.ioctl(writer.get_extra_info("socket").fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]:
        await asyncio.sleep(0.001)
    reset(writer)
    other.transport.abort()


async def pump(reader, writer, other, way, delay, rate, flights, cut=None):
    # Each read is written on when the link would deliver it; cut: (byte, "reset"), (byte, "stall",
    # seconds) or (byte, "drip", seconds a byte), counted towards the client.
    loop, done, hold, at = asyncio.get_running_loop(), 0, 0, 0.0

    def send(part):
        flights.extend([(way, len(part))] * bool(part))
        # Strictly later than the last, so that the loop keeps the order.
        free[way] = max(loop.time(), free[way] + 1e-6) + (len(part) / rate if rate else 0)
        loop.call_at(free[way] + delay + hold, writer.write, part)

    try:
        while data := await reader.read(65536):
            if cut and cut[1] == "drip" and done + len(data) > cut[0]:
                send(data[:max(cut[0] - done, 0)])
                for byte in (data[i:i + 1] for i in range(max(cut[0] - done, 0), len(data))):
                    at = max(at, free[way], loop.time()) + cut[2]
                    loop.call_at(at + delay, lambda b=byte: writer.is_closing() or writer.write(b))
                done += len(data)
                continue
            if cut and done + len(data) >= cut[0]:
                send(data[:cut[0] - done])
                if cut[1] == "reset":
                    return loop.call_at(free[way] + delay, asyncio.ensure_future, hang_up(writer, other))
                data, hold, cut = data[cut[0] - done:], cut[2], None
            done += len(data)
            send(data)
        loop.call_at(max(free[way] + hold, at) + delay + 1e-6, writer.close)
    except OSError:
        writer.transport.abort(), other.transport.abort()


async def serve(target, control, log, client_r, client_w):
    rule, delay, rate = rules(control)
    if "refuse" in rule:
        return reset(client_w)
    await asyncio.sleep(2 * delay)
    up_r, up_w = await asyncio.open_connection(*target)
    cut = (int(rule["reset"][0]), "reset") if "reset" in rule else None
    cut = (int(rule["stall"][1]), "stall", rule["stall"][0]) if "stall" in rule and seen[1] == 1 else cut
    cut = (int(rule["drip"][0]), "drip", rule["drip"][1]) if "drip" in rule and seen[1] == 1 else cut
    flights = []
    await asyncio.gather(pump(client_r, up_w, client_w, "u", delay, rate, flights),
                         pump(up_r, client_w, up_w, "d", delay, rate, flights, cut))
    with open(log, "a", encoding="utf-8") as f:
        f.write(" ".join(f"{w}{sum(n for _, n in runs)}" for w, runs in itertools.groupby(flights, lambda f: f[0])) + "\n")


async def main(address, port, target, target_port, control, log):
    await (await asyncio.start_server(lambda r, w: serve((target, int(target_port)), control, log, r, w), address,
                                      int(port), reuse_address=True)).serve_forever()


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:7]))
