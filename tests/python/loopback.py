"""Loopback addresses for simulated cameras, free of other test runs on the same machine.

Every 127.x.y.z reaches `lo`. Each process draws its own random block 127.a.b.1 to 127.a.b.254
(a and b random, a never 0, so the 127.0.0.N addresses people try things on stay clear), hands
its addresses out once each, and skips any on which some socket already holds the GVCP port."""

import random
import socket

GVCP_PORT = 3956
_HOSTS = range(1, 255)


def _random_block():
    rng = random.SystemRandom()
    return rng.randrange(1, 255), rng.randrange(256)


_block = _random_block()
_next_host = iter(_HOSTS)


def _gvcp_port_free(address):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind((address, GVCP_PORT))
        except OSError:
            return False
    return True


def free_ip():
    """A loopback address not handed out before in this process, with UDP port 3956 free."""
    global _block, _next_host
    for _ in range(10_000):
        host = next(_next_host, None)
        if host is None:
            _block, _next_host = _random_block(), iter(_HOSTS)
            continue
        address = f"127.{_block[0]}.{_block[1]}.{host}"
        if _gvcp_port_free(address):
            return address
    raise RuntimeError("no free loopback address found")
