#!/usr/bin/env python3
"""Slow clients against a running quobble-catalogue, from outside.

N connections from 127.0.0.1 each send one byte of a request line every 2 s
(never silent long enough to be closed as idle); every 2 s a real search
comes from 127.0.0.2. Prints how many trickling connections the server still
holds and each real search's status and time.

usage: catalogue_trickle.py PORT CONNECTIONS SECONDS
(raise the open-file limit first: ulimit -n 20000)
"""
import socket
import sys
import time

SEARCH = (b"GET /search?key=00000000000000000000000000000000&query=chair&display=10"
          b"&start=1&target=shop&sort=sim HTTP/1.1\r\nHost: x\r\n\r\n")
LINE = b"GET /search?key=" + b"a" * 100


def open_trickling(port, count):
    held = []
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            continue
        held.append(s)
    return held


def still_held(s, byte):
    """Sends one more byte; False once the server has answered or closed."""
    try:
        try:
            s.recv(4096, socket.MSG_DONTWAIT)
            return False  # an answer (408) or the end of the connection
        except BlockingIOError:
            pass
        s.send(byte)
        return True
    except OSError:
        return False


def search(port):
    began = time.time()
    c = socket.socket()
    c.bind(("127.0.0.2", 0))
    c.settimeout(5)
    try:
        c.connect(("127.0.0.1", port))
        c.sendall(SEARCH)
        data = c.recv(200)
        status = data[9:12].decode() if data else "closed"
    except OSError as e:
        status = "error " + str(e)
    finally:
        c.close()
    return status, 1000 * (time.time() - began)


def main():
    port, count, seconds = (int(a) for a in sys.argv[1:4])
    held = open_trickling(port, count)
    time.sleep(0.5)
    start = time.time()
    step = 0
    while time.time() - start < seconds:
        byte = LINE[step % len(LINE):step % len(LINE) + 1]
        kept = []
        for s in held:
            if still_held(s, byte):
                kept.append(s)
            else:
                s.close()
        held = kept
        began = time.time()
        status, ms = search(port)
        print(f"t={began - start:5.1f}s trickling held={len(held):6d} "
              f"search={status} {ms:7.1f} ms", flush=True)
        step += 1
        time.sleep(max(0.0, 2 - (time.time() - began)))


if __name__ == "__main__":
    main()
