#!/usr/bin/env python3
"""A host's client of tavrel-helper, in Python's standard library alone (see ../protocol.md).

Says hello, saves a screenshot, taps a point, records the live stream for a while and, from a
helper that keeps a replay, saves its last seconds with a render job beside them:

    python3 tavrel_client.py --socket /tmp/tavrel.sock --screenshot shot.jpg \
        --tap 196 426 --stream live.h264 --seconds 2 --replay replay.tvrf

Prints one JSON line per step. Exit status 0 when done, 1 when the helper refuses or fails
(its message and status go to standard error) or cannot be reached.
"""
import argparse
import json
import socket
import struct
import sys
import time

REQUEST, REPLY, FAILURE, CHUNK = 1, 2, 3, 4
HEADER = struct.Struct(">IBII")  # length after this field, kind, request id, JSON length


class HelperFailure(Exception):
    def __init__(self, message, status):
        super().__init__(f"{message} (status {status})")
        self.message, self.status = message, status


class Client:
    """One connection. Requests are asked one at a time here; a host that keeps several in
    flight sorts the frames by id instead."""

    def __init__(self, path, timeout=30):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.last_id = 0

    def close(self):
        self.sock.close()  # the helper ends this connection's streams

    def send(self, document):
        self.last_id += 1
        body = json.dumps(document, separators=(",", ":")).encode()
        self.sock.sendall(HEADER.pack(9 + len(body), REQUEST, self.last_id, len(body)) + body)
        return self.last_id

    def frame(self):
        length, kind, frame_id, json_length = HEADER.unpack(self._exactly(HEADER.size))
        rest = self._exactly(length - 9)
        return kind, frame_id, rest[:json_length], rest[json_length:]

    def frames(self, request_id):
        """Yields the chunks answering a request, then its reply as (document, binary part);
        raises HelperFailure for a failure frame."""
        while True:
            kind, frame_id, text, blob = self.frame()
            if frame_id != request_id:
                continue
            if kind == CHUNK:
                yield blob
                continue
            document = json.loads(text)
            if kind == FAILURE:
                raise HelperFailure(document["message"], document["status"])
            yield document, blob
            return

    def ask(self, document):
        *_, final = self.frames(self.send(document))
        return final

    def _exactly(self, count):
        data = bytearray()
        while len(data) < count:
            piece = self.sock.recv(count - len(data))
            if not piece:
                raise ConnectionError("the helper closed the connection")
            data += piece
        return bytes(data)


def touch(phase, x, y):
    return {"kind": "touch", "phase": phase, "x": x, "y": y}


def record(path, file, seconds):
    """Writes the stream's access units to `file` for `seconds`, then leaves, which ends the
    stream. Each chunk is one whole access unit; key frames begin with the parameter sets."""
    client = Client(path)
    settings = {"op": "stream", "fps": 30, "scale": 0.5, "key_frame_s": 1, "bitrate": 2000000}
    units = key_frames = size = 0
    end = time.monotonic() + seconds
    with open(file, "wb") as out:
        for chunk in client.frames(client.send(settings)):
            if not isinstance(chunk, bytes):
                break  # the stream ended of itself
            out.write(chunk)
            units, size = units + 1, size + len(chunk)
            key_frames += (chunk[4] & 0x1F) == 7  # a sequence parameter set first
            if time.monotonic() >= end:
                break
    client.close()
    return {"file": file, "access_units": units, "key_frames": key_frames, "bytes": size}


def save_replay(client, file):
    """Writes the replay's frame file to `file` and a render job for it to `file`.json, with the
    touches of the replay drawn on a movie `file`.mp4 (tavrel-helper render --job ...)."""
    deadline = time.monotonic() + 10
    while True:
        try:
            document, frames = client.ask({"op": "replay"})
            break
        except HelperFailure as failure:
            # A helper just started may not have its first picture yet.
            if failure.message != "the replay holds no pictures yet" or time.monotonic() > deadline:
                raise
            time.sleep(0.2)
    with open(file, "wb") as out:
        out.write(frames)
    job = {"input": file, "input_kind": "frames", "touches": document["touches"],
           "mp4": file + ".mp4", "codec": "h264", "speed": 1, "gif_fps": 10, "gif_width": 320}
    with open(file + ".json", "w") as out:
        json.dump(job, out)
    return {"file": file, "job": file + ".json", "bytes": len(frames),
            "touches": len(document["touches"])}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--socket", required=True)
    parser.add_argument("--screenshot", metavar="FILE")
    parser.add_argument("--tap", nargs=2, type=float, metavar=("X", "Y"))
    parser.add_argument("--stream", metavar="FILE")
    parser.add_argument("--seconds", type=float, default=2)
    parser.add_argument("--replay", metavar="FILE")
    options = parser.parse_args()
    try:
        client = Client(options.socket)
        hello, _ = client.ask({"op": "hello"})
        print(json.dumps({"hello": hello}))
        if options.screenshot:
            size, jpeg = client.ask({"op": "screenshot", "quality": 80})
            with open(options.screenshot, "wb") as out:
                out.write(jpeg)
            print(json.dumps({"screenshot": dict(size, file=options.screenshot, bytes=len(jpeg))}))
        if options.tap:
            x, y = options.tap
            client.ask({"op": "hid", "events": [touch("down", x, y), touch("up", x, y)]})
            print(json.dumps({"tap": {"x": x, "y": y}}))
        if options.replay:
            if "replay_seconds" not in hello:
                raise HelperFailure("the helper keeps no replay: start it with --replay-seconds N",
                                    409)
            print(json.dumps({"replay": save_replay(client, options.replay)}))
        client.close()
        if options.stream:
            print(json.dumps({"stream": record(options.socket, options.stream, options.seconds)}))
    except (HelperFailure, OSError) as error:
        print(f"tavrel_client.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
