#!/usr/bin/env python3
"""An HTTP proxy for one download at a time that cuts the connection once the file offset of the
body it forwards passes each of the given offsets, each cut once, as a venue's router drops
connections under load. The offset of a body is where its request's Range starts (0 without
one). Counts the body bytes of each answer it forwards for path, one line per answer, in the
stats file.
    cutting_proxy.py --listen PORT --upstream PORT --path /P --cuts N,N,... --stats FILE
"""

import argparse
import re
import socket
import threading

PIECE = 1 << 20


def one_request_only(request):
    """The request with its Connection header replaced by close: the server then ends each answer
    with the connection, which is where this proxy ends its forwarding."""
    lines = [line for line in request.split(b"\r\n")[:-2]
             if not line.lower().startswith(b"connection:")]
    return b"\r\n".join(lines + [b"Connection: close", b"", b""])


def head_of(connection):
    """The bytes up to and including the blank line that ends a head, and what came after."""
    data = b""
    while b"\r\n\r\n" not in data:
        received = connection.recv(65536)
        if not received:
            return None, b""
        data += received
    end = data.index(b"\r\n\r\n") + 4
    return data[:end], data[end:]


class Proxy:
    def __init__(self, arguments):
        self.arguments = arguments
        self.cuts = sorted(int(cut) for cut in arguments.cuts.split(",") if cut)
        self.lock = threading.Lock()

    def serve(self):
        listener = socket.create_server(("127.0.0.1", self.arguments.listen))
        while True:
            client, _ = listener.accept()
            threading.Thread(target=self.forward, args=(client,), daemon=True).start()

    def take_cut(self, start, end):
        """The first cut not yet made in (start, end], made now; None when there is none."""
        with self.lock:
            cut = next((cut for cut in self.cuts if start < cut <= end), None)
            if cut is not None:
                self.cuts.remove(cut)
            return cut

    def forward(self, client):
        upstream = socket.create_connection(("127.0.0.1", self.arguments.upstream))
        with client, upstream:
            request, rest = head_of(client)
            if request is None:
                return
            upstream.sendall(one_request_only(request) + rest)
            counted = request.split(b" ")[1].decode() == self.arguments.path
            asked = re.search(rb"\r\nRange: bytes=(\d+)-", request)
            offset = int(asked[1]) if asked else 0
            answer, body = head_of(upstream)
            if answer is None:
                return
            client.sendall(answer)
            sent = 0
            while body:
                cut = self.take_cut(offset, offset + len(body)) if counted else None
                piece = body if cut is None else body[:cut - offset]
                client.sendall(piece)
                sent += len(piece)
                offset += len(piece)
                if cut is not None:
                    break
                body = upstream.recv(PIECE)
            if counted:
                with self.lock, open(self.arguments.stats, "a") as stats:
                    stats.write(f"{sent}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split(". Counts")[0])
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--path", required=True)
    parser.add_argument("--cuts", default="")
    parser.add_argument("--stats", required=True)
    try:
        Proxy(parser.parse_args()).serve()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
