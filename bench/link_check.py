#!/usr/bin/env python3
# The link emulator's own rows, as far as bench/network.sh relies on them: for each (one-way delay,
# cap) asked, the round trip, the first exchange of a connection (TCP's handshake costs one more round
# trip) and the rate measured through it must be within 10 % of it. Exit status 1 when one is not.
import asyncio, os, sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "servers"))
from link_emulator import serve  # noqa: E402


async def check():
    async def sink(r, w):  # answers "N\n" with N bytes
        while line := await r.readline():
            w.write(b"x" * int(line))
        w.close()
    target = await asyncio.start_server(sink, "127.0.0.1", 0)
    control, failed, loop = f"/tmp/link-check-{os.getpid()}", False, asyncio.get_running_loop()
    link = await asyncio.start_server(lambda r, w: serve(target.sockets[0].getsockname(), control, os.devnull, r, w),
                                      "127.0.0.1", 0)
    for delay, mbits in [(50, 0), (40, 20), (10, 100)]:
        with open(control, "w") as f:
            f.write(f"link delay {delay}\nlink rate {mbits}\n")
        r, w = await asyncio.open_connection(*link.sockets[0].getsockname())
        times, size = [], int(mbits * 1e6 / 8) or 1  # a second's worth at the cap
        for ask in [1] * 6 + [size]:
            start = loop.time()
            w.write(b"%d\n" % ask)
            await r.readexactly(ask)
            times.append(loop.time() - start)
        trip, first = sorted(times[1:6])[2], times[0]
        rate = size * 8 / (times[6] - trip) / 1e6
        ok = abs(trip * 500 - delay) <= delay / 10 and abs(first * 250 - delay) <= delay / 10 and (
            not mbits or abs(rate - mbits) <= mbits / 10)
        print(f"link check: delay {delay} ms, cap {mbits or 'none'}: round trip {trip * 1e3:.1f} ms, first exchange "
              f"{first * 1e3:.1f} ms, rate {rate:.1f} Mbit/s: {'ok' if ok else 'OFF BY MORE THAN 10 %'}")
        failed |= not ok
        w.close()
    os.remove(control)
    await asyncio.sleep(0.1)  # for the connections to end
    return failed


sys.exit(asyncio.run(check()))
