"""The pit end of telemetry, run inside the unit's namespace: collects the frames on UDP port
FRAMES and the JSON status on 10001 for SECONDS, and on until COUNT frames and two JSON statuses
came after the modem's (at most a minute more); sends the modem's status to the unit's port 10002
(at UNIT_ADDRESS, 127.0.0.1 without it) after the first QUIET seconds; prints all as one JSON
object, with the frames of the last half of the quiet time counted apart.

usage: telepit.py FRAMES SECONDS[/COUNT] QUIET [UNIT_ADDRESS]"""
import json
import select
import socket
import sys
import time

frames_port, quiet = int(sys.argv[1]), float(sys.argv[3])
seconds, count = map(float, (sys.argv[2] + "/0").split("/")[:2])
unit = sys.argv[4] if len(sys.argv) > 4 else "127.0.0.1"
modem = b'{ "plmn": "262-01", "rsrp": -95, "ping": 23, "band": 3 }'
socks = {}
for port in (frames_port, 10001):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    socks[s] = port
tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
got = {"frames": [], "json": [], "quiet": 0}
begin = time.monotonic()
end, next_modem = begin + seconds, begin + quiet
after = [0, 0]  # frames and statuses since the modem's first status


def enough():
    now = time.monotonic()
    return now >= end + 60 or now >= end and after[0] >= count and after[1] >= (2 if count else 0)


while not enough():
    if time.monotonic() >= next_modem:
        tx.sendto(modem, (unit, 10002))
        next_modem = time.monotonic() + 0.2
    ready, _, _ = select.select(list(socks), [], [], 0.1)
    for s in ready:
        data = s.recv(2048)
        if socks[s] == frames_port:
            got["frames"].append(data.hex())
            got["quiet"] += quiet / 2 < time.monotonic() - begin < quiet
        else:
            got["json"].append(data.decode())
        after[socks[s] != frames_port] += time.monotonic() - begin > quiet
print(json.dumps(got))
