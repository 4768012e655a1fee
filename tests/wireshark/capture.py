#!/usr/bin/env python3
"""Builds Dorvane datagrams byte by byte and writes them into a pcap file.

Usage: capture.py OUTPUT.pcap

The capture holds every packet type, requests and replies, a retransmission,
a datagram with a bad checksum, a short one, a truncated body and an exchange
on a port other than 4557. FRAMES lists them in order with what a dissector
should show for each; the dissector test reads it.
"""
import struct
import sys

SIGNATURE = 0x51535043
REVISION = 0x00050000
CHECKSUM_SEED = 0x12669999
COMPONENT_AM = 86
COMPONENT_QS = 88
SERVER_PORT = 4557
OTHER_PORT = 14557

SERVER = "127.0.0.1"
AM1 = ("127.0.0.2", 50001)
AM2 = ("127.0.0.3", 50002)
HOST_NAME = "QUORUM-HOST"
SERVER_ID = "6f1c2a94-3b7d-4e25-9a10-c4d8e2f7b361"
AM1_ID = "0b9d6e8a-1f23-4c56-8d7e-9fa0b1c2d3e4"
AM2_ID = "7a8b9c0d-1e2f-4a3b-8c4d-5e6f7a8b9c0d"
PVM_ID = bytes(range(16))
PVM_TEXT = "00010203-0405-0607-0809-0a0b0c0d0e0f"


def checksum(data):
    total = CHECKSUM_SEED
    padded = data + bytes(-len(data) % 4)
    for (group,) in struct.iter_unpack("<I", padded):
        total += group
    return (0 - total) % 2**32


def text(value, size):
    raw = value.encode("ascii")
    assert len(raw) < size
    return raw + bytes(size - len(raw))


def ipv4(address):
    return bytes(int(part) for part in address.split("."))


def datagram(packet_type, sequence, body=b"", reply=False, revision=REVISION):
    """A whole datagram: the header with its length and checksum, then the body."""
    src, dst = (COMPONENT_QS, COMPONENT_AM) if reply else (COMPONENT_AM, COMPONENT_QS)
    length = 56 + len(body)
    header = struct.pack("<IIIIIHH8sQ16s", revision, length, SIGNATURE, 0, packet_type,
                         src, dst, bytes(8), sequence, bytes(16))
    packet = bytearray(header + body)
    struct.pack_into("<I", packet, 12, checksum(bytes(packet)))
    return bytes(packet)


def target_server():
    return text(HOST_NAME, 68) + text(SERVER_ID, 40)


def server_info(active_instances):
    component = (struct.pack("<IB", 4, COMPONENT_QS) + "ZelQSS".encode("utf-16-le").ljust(64, b"\0")
                 + struct.pack("<4H", 7, 1, 0, 0) + b"  QZ")
    assert len(component) == 81
    body = (ipv4(SERVER) + struct.pack("<HHHI", SERVER_PORT, 0, 5, active_instances)
            + text(HOST_NAME, 68) + text(SERVER_ID, 40) + component)
    assert len(body) == 203
    return body


def attach_request(am_number, am_id):
    return PVM_ID + struct.pack("<III", am_number, 1000, 5000) + target_server() + text(am_id, 37)


def am_request(am_number, am_id):
    return PVM_ID + struct.pack("<I", am_number) + target_server() + text(am_id, 37)


def acquire_request(am_number, am_id, health):
    return PVM_ID + struct.pack("<IIQ", am_number, 3000, health) + target_server() + text(am_id, 37)


def status(value):
    return struct.pack("<I", value)


def query_instance_reply():
    return (status(0) + PVM_ID
            + ipv4(AM1[0]) + struct.pack("<HBB", AM1[1], 1, 1)
            + ipv4(AM2[0]) + struct.pack("<HBB", AM2[1], 0, 0)
            + bytes([1]))


def request(am, payload, port=SERVER_PORT):
    return (am, (SERVER, port), payload)


def reply(am, payload, port=SERVER_PORT):
    return ((SERVER, port), am, payload)


HEALTH = 2**40 + 7
LONG_SEQUENCE = 0x1122334455667788

def calculated_checksum(packet):
    """The checksum a datagram should carry, whatever its checksum field holds."""
    return checksum(packet[:12] + bytes(4) + packet[16:])


def with_signature(packet, signature):
    packet = bytearray(packet)
    struct.pack_into("<I", packet, 8, signature)
    struct.pack_into("<I", packet, 12, calculated_checksum(bytes(packet)))
    return bytes(packet)


bad_keepalive = bytearray(datagram(9, 9, am_request(2, AM2_ID)))
bad_keepalive[100] ^= 0x01
bad_keepalive = bytes(bad_keepalive)
good_header_short_body = datagram(3, 10, attach_request(1, AM1_ID)[:40])

# (source, destination, datagram, fields a dissector should show: name -> text).
FRAMES = [
    (*request(AM1, datagram(1, 1)), {
        "dorvane.type": "1", "dorvane.sequence": "1", "dorvane.length": "56",
        "dorvane.checksum": "0x9be91594", "dorvane.checksum.status": "1",
        "dorvane.revision.major": "5", "dorvane.revision.minor": "0",
        "dorvane.src_component": "86", "dorvane.dst_component": "88",
        "dorvane.response_in": "2"}),
    (*reply(AM1, datagram(2, 1, server_info(1), reply=True)), {
        "dorvane.type": "2", "dorvane.length": "259", "dorvane.request_in": "1",
        "dorvane.server.address": SERVER, "dorvane.server.port": "4557",
        "dorvane.server.protocol_minor": "0", "dorvane.server.protocol_major": "5",
        "dorvane.server.active_instances": "1", "dorvane.server.host_name": HOST_NAME,
        "dorvane.server.server_id": SERVER_ID, "dorvane.component.format": "4",
        "dorvane.component.id": "88", "dorvane.component.name": "ZelQSS",
        "dorvane.component.version": "7.1.0.0", "dorvane.component.tag": "2020515a",
        "dorvane.checksum.status": "1"}),
    (*request(AM2, datagram(15, 2)), {"dorvane.type": "15", "dorvane.response_in": "4"}),
    (*reply(AM2, datagram(16, 2, server_info(0), reply=True)), {
        "dorvane.type": "16", "dorvane.request_in": "3", "dorvane.server.active_instances": "0"}),
    (*request(AM1, datagram(3, 3, attach_request(1, AM1_ID))), {
        "dorvane.type": "3", "dorvane.length": "229", "dorvane.pvm_id": PVM_TEXT,
        "dorvane.am_number": "1", "dorvane.keepalive_interval": "1000",
        "dorvane.instance_timeout": "5000", "dorvane.target.host_name": HOST_NAME,
        "dorvane.target.server_id": SERVER_ID, "dorvane.am_id": AM1_ID,
        "dorvane.response_in": "6"}),
    (*reply(AM1, datagram(4, 3, status(0), reply=True)), {
        "dorvane.type": "4", "dorvane.status": "0", "dorvane.length": "60",
        "dorvane.request_in": "5"}),
    (*request(AM2, datagram(9, LONG_SEQUENCE, am_request(2, AM2_ID))), {
        "dorvane.type": "9", "dorvane.sequence": str(LONG_SEQUENCE), "dorvane.am_number": "2",
        "dorvane.am_id": AM2_ID, "dorvane.pvm_id": PVM_TEXT, "dorvane.response_in": "8"}),
    (*reply(AM2, datagram(10, LONG_SEQUENCE, status(0) + struct.pack("<II", 1200, 0xFFFFFFFF),
                          reply=True)), {
        "dorvane.type": "10", "dorvane.sequence": str(LONG_SEQUENCE), "dorvane.status": "0",
        "dorvane.since_keepalive_am1": "1200", "dorvane.since_keepalive_am2": "4294967295",
        "dorvane.request_in": "7"}),
    (*request(AM2, datagram(7, 5, PVM_ID + target_server())), {
        "dorvane.type": "7", "dorvane.length": "180", "dorvane.pvm_id": PVM_TEXT,
        "dorvane.target.host_name": HOST_NAME, "dorvane.response_in": "10"}),
    (*reply(AM2, datagram(8, 5, query_instance_reply(), reply=True)), {
        "dorvane.type": "8", "dorvane.length": "93", "dorvane.status": "0",
        "dorvane.pvm_id": PVM_TEXT, "dorvane.am1.address": AM1[0], "dorvane.am1.port": str(AM1[1]),
        "dorvane.am1.online": "1", "dorvane.am1.hold": "1", "dorvane.am2.address": AM2[0],
        "dorvane.am2.port": str(AM2[1]), "dorvane.am2.online": "0", "dorvane.am2.hold": "0",
        "dorvane.instance_known": "1", "dorvane.request_in": "9"}),
    (*request(AM1, datagram(11, 6, acquire_request(1, AM1_ID, HEALTH))), {
        "dorvane.type": "11", "dorvane.length": "233", "dorvane.am_number": "1",
        "dorvane.quorum_timeout": "3000", "dorvane.health": str(HEALTH),
        "dorvane.target.server_id": SERVER_ID, "dorvane.am_id": AM1_ID,
        "dorvane.response_in": "13"}),
    # The same request again: a retransmission of frame 11, answered by the same reply.
    (*request(AM1, datagram(11, 6, acquire_request(1, AM1_ID, HEALTH))), {
        "dorvane.type": "11", "dorvane.retransmission": "11", "dorvane.response_in": "13"}),
    (*reply(AM1, datagram(12, 6, status(0), reply=True)), {
        "dorvane.type": "12", "dorvane.status": "0", "dorvane.request_in": "11"}),
    (*request(AM1, datagram(13, 7, am_request(1, AM1_ID))), {
        "dorvane.type": "13", "dorvane.length": "221", "dorvane.response_in": "15"}),
    (*reply(AM1, datagram(14, 7, status(7), reply=True)), {
        "dorvane.type": "14", "dorvane.status": "7", "dorvane.request_in": "14",
        "_ws.col.Info": "RELEASE_QUORUM_ACK seq=7 NOT_HOLDING"}),
    (*request(AM1, datagram(5, 8, am_request(1, AM1_ID))), {
        "dorvane.type": "5", "dorvane.am_number": "1", "dorvane.response_in": "17"}),
    (*reply(AM1, datagram(6, 8, status(0xFFFE), reply=True)), {
        "dorvane.type": "6", "dorvane.status": "65534", "dorvane.request_in": "16",
        "_ws.col.Info": "DETACH_INSTANCE_ACK seq=8 INTERNAL_ERROR"}),
    # One bit flipped inside the body: the checksum no longer sums to zero.
    (*request(AM2, bad_keepalive), {
        "dorvane.type": "9", "dorvane.checksum.status": "0", "dorvane.checksum.bad": "1",
        "dorvane.checksum": "0x%08x" % struct.unpack_from("<I", bad_keepalive, 12),
        "dorvane.checksum.calculated": "0x%08x" % calculated_checksum(bad_keepalive),
        "dorvane.am_id": AM2_ID}),
    # Shorter than the header: the fields that fit, then the malformed mark.
    (*request(AM1, datagram(1, 11)[:20]), {
        "dorvane.type": "1", "dorvane.length": "56", "dorvane.short": "1",
        "dorvane.sequence": ""}),
    # A header whose body stops inside the server identity.
    (*request(AM1, good_header_short_body), {
        "dorvane.type": "3", "dorvane.am_number": "1", "dorvane.short": "1",
        "dorvane.am_id": "", "dorvane.checksum.status": "1"}),
    # A type the server does not recognize: its body is shown as bytes.
    (*request(AM1, datagram(17, 12, b"\x01\x02\x03")), {
        "dorvane.type": "17", "dorvane.body": "010203", "dorvane.checksum.status": "1"}),
    # A server on another port, decoded by "Decode As".
    (*request(AM1, datagram(1, 13), OTHER_PORT), {"dorvane.type": "1", "dorvane.response_in": "23"}),
    (*reply(AM1, datagram(2, 13, server_info(2), reply=True), OTHER_PORT), {
        "dorvane.type": "2", "dorvane.request_in": "22", "dorvane.server.active_instances": "2"}),
    # Too short for even the first fields.
    (*request(AM1, b"\x00\x00\x05"), {"dorvane.short": "1", "dorvane.revision": ""}),
    # UDP hands an empty datagram to no protocol.
    (*request(AM1, b""), {"dorvane.revision": ""}),
    # A foreign datagram on the port: intact by its checksum, but not ours by its signature.
    (*request(AM1, with_signature(datagram(1, 14), 0x12345678)), {
        "dorvane.signature": "0x12345678", "dorvane.signature.bad": "1",
        "dorvane.checksum.status": "1"}),
    # An identity that fills its field without a NUL, at the very end of the datagram.
    (*request(AM1, datagram(9, 15, am_request(1, AM1_ID)[:-37] + b"A" * 37)), {
        "dorvane.am_id": "A" * 37, "dorvane.response_in": "28"}),
    # A status value that has no name.
    (*reply(AM1, datagram(10, 15, status(4) + struct.pack("<II", 0, 0), reply=True)), {
        "dorvane.status": "4", "_ws.col.Info": "KEEPALIVE_ACK seq=15 status 4"}),
]


def ipv4_checksum(header):
    total = sum(struct.unpack("!10H", header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ethernet_frame(source, destination, payload):
    """An Ethernet II frame carrying one IPv4/UDP datagram (UDP checksum left out, as allowed)."""
    udp = struct.pack("!HHHH", source[1], destination[1], 8 + len(payload), 0) + payload
    ip = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0,
                               ipv4(source[0]), ipv4(destination[0])))
    struct.pack_into("!H", ip, 10, ipv4_checksum(bytes(ip)))
    return bytes(12) + b"\x08\x00" + bytes(ip) + udp


def prefixes():
    """Every proper prefix of every datagram above, each as a frame of its own."""
    return [(source, destination, payload[:size])
            for source, destination, payload, _ in FRAMES for size in range(1, len(payload))]


def write_pcap(path, frames=None):
    frames = frames if frames is not None else [frame[:3] for frame in FRAMES]
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for number, (source, destination, payload) in enumerate(frames, start=1):
            frame = ethernet_frame(source, destination, payload)
            # Replies follow their requests by a few milliseconds.
            seconds, microseconds = divmod(number * 2000, 1000000)
            out.write(struct.pack("<IIII", 1700000000 + seconds, microseconds, len(frame), len(frame)))
            out.write(frame)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: capture.py OUTPUT.pcap")
    write_pcap(sys.argv[1])
