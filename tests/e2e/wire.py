"""The server's datagrams as an AM sees them: building requests, reading replies.

Little-endian, packed records; a 56-byte header in front of every body.
"""
import struct
from dataclasses import dataclass

HEADER = struct.Struct("<IIIII HH 8s Q 16s")
HEADER_SIZE = HEADER.size
PROTOCOL_REVISION = 0x00050000
SIGNATURE = 0x51535043
CHECKSUM_SEED = 0x12669999
COMPONENT_AM = 86
COMPONENT_QS = 88
MAX_PACKET = 259

QUERY_SERVICE = 1
ATTACH_INSTANCE = 3
DETACH_INSTANCE = 5
QUERY_INSTANCE = 7
KEEPALIVE = 9
ACQUIRE_QUORUM = 11
RELEASE_QUORUM = 13
SCAN_SERVICE = 15

SUCCESS = 0
INVALID_AM_NUMBER = 1
NOT_ATTACHED = 2
VOTING = 3
QUORUM_DENIED = 5
ALREADY_HOLDING = 6
NOT_HOLDING = 7
WRONG_SERVER = 11

NO_FIGURE = 0xFFFFFFFF


def checksum(data):
    padded = data + b"\0" * (-len(data) % 4)
    total = CHECKSUM_SEED + sum(struct.unpack(f"<{len(padded) // 4}I", padded))
    return -total & 0xFFFFFFFF


def datagram(packet_type, sequence, body=b"", revision=PROTOCOL_REVISION):
    length = HEADER_SIZE + len(body)
    header = HEADER.pack(revision, length, SIGNATURE, 0, packet_type, COMPONENT_AM, COMPONENT_QS,
                         b"", sequence, b"")
    packet = bytearray(header + body)
    struct.pack_into("<I", packet, 12, checksum(bytes(packet)))
    return bytes(packet)


def type_and_sequence(packet):
    fields = HEADER.unpack_from(packet)
    return fields[4], fields[8]


def text_field(text, size):
    raw = text.encode() if isinstance(text, str) else text
    return raw[:size - 1].ljust(size, b"\0")


@dataclass
class ServerIdentity:
    host_name: bytes
    server_id: bytes

    def pack(self):
        return text_field(self.host_name, 68) + text_field(self.server_id, 40)


def attach(sequence, pvm, am_number, identity, am_id, keepalive_interval=1000, instance_timeout=10000,
           revision=PROTOCOL_REVISION):
    body = (pvm + struct.pack("<III", am_number, keepalive_interval, instance_timeout) + identity.pack()
            + text_field(am_id, 37))
    return datagram(ATTACH_INSTANCE, sequence, body, revision)


def am_request(packet_type, sequence, pvm, am_number, identity, am_id):
    body = pvm + struct.pack("<I", am_number) + identity.pack() + text_field(am_id, 37)
    return datagram(packet_type, sequence, body)


def query_instance(sequence, pvm, identity):
    return datagram(QUERY_INSTANCE, sequence, pvm + identity.pack())


def acquire(sequence, pvm, am_number, identity, am_id, quorum_timeout, health):
    body = (pvm + struct.pack("<IIQ", am_number, quorum_timeout, health) + identity.pack()
            + text_field(am_id, 37))
    return datagram(ACQUIRE_QUORUM, sequence, body)


@dataclass
class Reply:
    raw: bytes
    revision: int
    length: int
    signature: int
    packet_type: int
    src: int
    dst: int
    sequence: int

    @property
    def status(self):
        return struct.unpack_from("<I", self.raw, 56)[0]


class BadReply(Exception):
    pass


def parse(raw):
    """A reply's header after the checks every reply must pass."""
    if len(raw) < HEADER_SIZE:
        raise BadReply(f"{len(raw)}-byte datagram")
    revision, length, signature, _, packet_type, src, dst, reserved1, sequence, reserved2 = HEADER.unpack_from(raw)
    problems = []
    if length != len(raw):
        problems.append(f"length field {length} but {len(raw)} bytes")
    if signature != SIGNATURE:
        problems.append(f"signature {signature:#x}")
    if checksum(raw) != 0:
        problems.append("checksum does not verify")
    if (src, dst) != (COMPONENT_QS, COMPONENT_AM):
        problems.append(f"components {src}->{dst}")
    if reserved1.strip(b"\0") or reserved2.strip(b"\0"):
        problems.append("reserved bytes not zero")
    if problems:
        raise BadReply("; ".join(problems))
    return Reply(raw, revision, length, signature, packet_type, src, dst, sequence)


@dataclass
class ServerInfo:
    address: str
    port: int
    minor: int
    major: int
    active_instances: int
    host_name: bytes
    server_id: bytes
    component: bytes

    def identity(self):
        return ServerIdentity(self.host_name, self.server_id)


def server_info(reply):
    address, port, minor, major, active, host, server_id, component = struct.unpack_from(
        "<4sHHHI68s40s81s", reply.raw, 56)
    return ServerInfo(".".join(str(b) for b in address), port, minor, major, active,
                      host.split(b"\0")[0], server_id.split(b"\0")[0], component)


# The constant component record: 4, the server's id, "ZelQSS" in UTF-16, version 7.1.0.0, "  QZ".
COMPONENT_INFO = (struct.pack("<IB", 4, COMPONENT_QS) + "ZelQSS".encode("utf-16-le").ljust(64, b"\0")
                  + struct.pack("<4H", 7, 1, 0, 0) + b"  QZ")


def keepalive_figures(reply):
    return struct.unpack_from("<II", reply.raw, 60)


@dataclass
class InstanceState:
    pvm: bytes
    am1: tuple
    am2: tuple
    known: int


def instance_state(reply):
    """(address, port, online, hold) for each AM, and whether the instance is known."""
    pvm = reply.raw[60:76]
    a1, p1, o1, h1, a2, p2, o2, h2, known = struct.unpack_from("<4sHBB4sHBBB", reply.raw, 76)
    dotted = lambda a: ".".join(str(b) for b in a)
    return InstanceState(pvm, (dotted(a1), p1, o1, h1), (dotted(a2), p2, o2, h2), known)
