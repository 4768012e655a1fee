"""An AM as the server meets it: its own UDP socket on loopback, its number,
its identity and its sequence numbers."""
import os
import select
import socket
import time
import uuid

import wire

REPLY_TIMEOUT = 5.0


class NoReply(AssertionError):
    pass


class Peer:
    def __init__(self, server_port, am_number=1, identity=None):
        self.server = ("127.0.0.1", server_port)
        self.am_number = am_number
        self.am_id = str(uuid.uuid4())
        self.identity = identity
        self.sequence = int.from_bytes(os.urandom(4), "little") << 16
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.unclaimed = []

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def next_sequence(self):
        self.sequence += 1
        return self.sequence

    def send(self, datagram):
        self.sock.sendto(datagram, self.server)

    def receive(self, timeout=REPLY_TIMEOUT):
        """The next datagram from the server not yet taken, or None after timeout."""
        if self.unclaimed:
            return self.unclaimed.pop(0)
        return self._read_socket(timeout)

    def _read_socket(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.sock], [], [], remaining)[0]:
                return None
            raw, source = self.sock.recvfrom(4096)
            if source == self.server:
                return wire.parse(raw)

    def expect_reply(self, sequence, packet_type, timeout=REPLY_TIMEOUT):
        """The reply to one request; replies to others that arrive first are kept for later."""
        for reply in self.unclaimed:
            if (reply.sequence, reply.packet_type) == (sequence, packet_type):
                self.unclaimed.remove(reply)
                return reply
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            reply = self._read_socket(remaining) if remaining > 0 else None
            if reply is None:
                raise NoReply(f"AM{self.am_number}: no reply of type {packet_type} to sequence {sequence:#x}")
            if (reply.sequence, reply.packet_type) == (sequence, packet_type):
                return reply
            self.unclaimed.append(reply)

    def expect_silence(self, timeout=0.3):
        reply = self.receive(timeout)
        if reply is not None:
            raise AssertionError(f"AM{self.am_number}: unexpected reply type {reply.packet_type} "
                                 f"sequence {reply.sequence:#x} status {reply.status}")

    def ask(self, datagram, timeout=REPLY_TIMEOUT):
        """Sends a request and returns its reply."""
        self.send(datagram)
        packet_type, sequence = wire.type_and_sequence(datagram)
        return self.expect_reply(sequence, packet_type + 1, timeout)

    # Requests, each with a fresh sequence unless one is given.
    def query_service(self, packet_type=wire.QUERY_SERVICE):
        return wire.server_info(self.ask(wire.datagram(packet_type, self.next_sequence())))

    def discover(self):
        """Learns the server's identity as an AM does before its first instance request."""
        self.identity = self.query_service().identity()
        return self.identity

    def attach(self, pvm, sequence=None, instance_timeout=10000, identity=None):
        return wire.attach(sequence or self.next_sequence(), pvm, self.am_number, identity or self.identity,
                           self.am_id, instance_timeout=instance_timeout)

    def detach(self, pvm, sequence=None):
        return self._am_request(wire.DETACH_INSTANCE, pvm, sequence)

    def keepalive(self, pvm, sequence=None):
        return self._am_request(wire.KEEPALIVE, pvm, sequence)

    def release(self, pvm, sequence=None):
        return self._am_request(wire.RELEASE_QUORUM, pvm, sequence)

    def acquire(self, pvm, health, quorum_timeout=5000, sequence=None):
        return wire.acquire(sequence or self.next_sequence(), pvm, self.am_number, self.identity, self.am_id,
                            quorum_timeout, health)

    def query_instance(self, pvm):
        return wire.query_instance(self.next_sequence(), pvm, self.identity)

    def _am_request(self, packet_type, pvm, sequence):
        return wire.am_request(packet_type, sequence or self.next_sequence(), pvm, self.am_number,
                               self.identity, self.am_id)
