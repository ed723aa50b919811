#!/usr/bin/env python3
"""The peer of bench/ws_echo.py: a WebSocket echo at any path on python's
websockets library (its asyncio server), without compression, as the example
server answers /ws.

    bench/servers/ws_peer.py [--port P]
"""

import argparse
import asyncio

from websockets.asyncio.server import serve


async def echo(ws):
    async for message in ws:
        await ws.send(message)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    async with serve(echo, "127.0.0.1", args.port, compression=None, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"listening on http://127.0.0.1:{port}/", flush=True)
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
