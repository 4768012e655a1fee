#!/usr/bin/env python3
"""Writes the seed corpus of the datagram harness into fuzz/corpus/datagram/.

Each file is a sequence of datagrams as the harness reads them: a flags byte
(bits 0-1 the sending peer: 0 AM1, 1 AM2, 2 a stranger; bit 6 the instance
retain time passes first; bit 7 fix length and checksum), a little-endian 16-bit size, the datagram. The PVMs and the server
identity are those the harness seeds its server with (fuzz/seed_requests.cpp).
"""
import os
import struct
import sys

HOST_NAME = b"DVFUZZ"
SERVER_ID = b"0d1e2f30-4152-4637-8899-aabbccddeeff"
AM_IDS = {1: b"a1a1a1a1-0000-4000-8000-000000000001", 2: b"a2a2a2a2-0000-4000-8000-000000000002"}
AGE = 0x40
SEAL = 0x80

(QUERY_SERVICE, ATTACH, DETACH, QUERY_INSTANCE, KEEPALIVE, ACQUIRE, RELEASE,
 SCAN_SERVICE) = 1, 3, 5, 7, 9, 11, 13, 15


def checksum(data):
    total = 0x12669999
    padded = data + b"\0" * (-len(data) % 4)
    for (word,) in struct.iter_unpack("<I", padded):
        total = (total + word) & 0xFFFFFFFF
    return (-total) & 0xFFFFFFFF


def target():
    return HOST_NAME.ljust(68, b"\0") + SERVER_ID.ljust(40, b"\0")


def datagram(ptype, body, sequence, major=5, minor=0, src=86, dst=88):
    length = 56 + len(body)
    header = struct.pack("<IIIII HH 8s Q 16s", (major << 16) | minor, length, 0x51535043, 0,
                         ptype, src, dst, b"", sequence, b"")
    data = header + body
    return data[:12] + struct.pack("<I", checksum(data)) + data[16:]


def pvm(n):
    return bytes([n]) * 16


def am_body(p, am):
    return pvm(p) + struct.pack("<I", am) + target() + AM_IDS.get(am, b"x").ljust(37, b"\0")


def attach(p, am, seq, keepalive=1000, timeout=600000):
    return datagram(ATTACH, pvm(p) + struct.pack("<III", am, keepalive, timeout) + target()
                    + AM_IDS.get(am, b"x").ljust(37, b"\0"), seq)


def acquire(p, am, seq, health, timeout=600000):
    return datagram(ACQUIRE, pvm(p) + struct.pack("<IIQ", am, timeout, health) + target()
                    + AM_IDS.get(am, b"x").ljust(37, b"\0"), seq)


def simple(ptype, p, am, seq):
    return datagram(ptype, am_body(p, am), seq)


def query_instance(p, seq):
    return datagram(QUERY_INSTANCE, pvm(p) + target(), seq)


def record(peer, data, flags=0):
    return bytes([flags | peer]) + struct.pack("<H", len(data)) + data


SEEDS = {
    "query_service": [record(2, datagram(QUERY_SERVICE, b"", 1))],
    "scan_service": [record(0, datagram(SCAN_SERVICE, b"", 2))],
    "attach_new_pvm": [record(0, attach(0x55, 1, 10)), record(1, attach(0x55, 2, 11))],
    "keepalives": [record(0, simple(KEEPALIVE, 0x11, 1, 20)), record(1, simple(KEEPALIVE, 0x22, 2, 21))],
    "query_instances": [record(2, query_instance(p, 30 + p)) for p in (0x11, 0x22, 0x33, 0x44, 0x66)],
    "contest_decided": [record(0, acquire(0x33, 1, 40, 8))],
    "acquire_denied_and_resent": [record(1, acquire(0x22, 2, 41, 99)), record(1, acquire(0x22, 2, 41, 99))],
    "acquire_release_acquire": [record(0, acquire(0x11, 1, 50, 4, timeout=0)),
                                record(0, simple(RELEASE, 0x22, 1, 51)),
                                record(1, acquire(0x22, 2, 52, 1))],
    "release_not_holding": [record(1, simple(RELEASE, 0x22, 2, 60))],
    "detach_voter_and_holder": [record(1, simple(DETACH, 0x33, 2, 70)), record(0, simple(DETACH, 0x22, 1, 71))],
    "reattach_offline_holder": [record(0, simple(DETACH, 0x22, 1, 80)), record(1, acquire(0x22, 2, 81, 2)),
                                record(0, attach(0x22, 1, 82)), record(0, acquire(0x22, 1, 83, 2))],
    "partner_attaches": [record(0, attach(0x44, 1, 84)), record(0, acquire(0x44, 1, 85, 1)),
                         record(1, acquire(0x44, 2, 86, 1))],
    "invalid_am_number": [record(0, simple(KEEPALIVE, 0x11, 3, 90)), record(0, acquire(0x11, 0, 91, 1))],
    "wrong_server": [record(0, datagram(KEEPALIVE, pvm(0x11) + struct.pack("<I", 1)
                                        + b"OTHER".ljust(108, b"\0") + AM_IDS[1].ljust(37, b"\0"), 100))],
    "header_faults": [record(0, simple(KEEPALIVE, 0x11, 1, 110)[:-1]),
                      record(0, datagram(KEEPALIVE, am_body(0x11, 1), 111, major=4)),
                      record(0, datagram(KEEPALIVE, am_body(0x11, 1), 112, minor=1)),
                      record(0, datagram(KEEPALIVE, am_body(0x11, 1), 113, src=88, dst=86)),
                      record(0, datagram(2, b"", 114)),
                      record(0, b"\0" * 7)],
    "detach_both_and_age": [record(0, simple(DETACH, 0x11, 1, 130)), record(1, simple(DETACH, 0x11, 2, 131)),
                            record(2, query_instance(0x11, 132), AGE), record(0, attach(0x11, 1, 133), AGE)],
    "sealed_short_bodies": [record(0, simple(ACQUIRE, 0x33, 1, 120)[:80], SEAL),
                            record(1, simple(ATTACH, 0x66, 2, 121)[:60], SEAL),
                            record(2, datagram(QUERY_INSTANCE, pvm(0x22), 122), SEAL)],
}


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "datagram")
    os.makedirs(folder, exist_ok=True)
    for name, records in SEEDS.items():
        with open(os.path.join(folder, name + ".bin"), "wb") as f:
            f.write(b"".join(records))


if __name__ == "__main__":
    main()
