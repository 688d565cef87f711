"""Large firmware archives, cheap to make at any size: xz reads concatenated streams as one, so
the payload is one xz stream of a random block, compressed once and repeated, and the tar
headers and small members lie in streams of their own between them."""

import os
import shutil
import subprocess
import sys
import tarfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/fixtures"))
from archives import FIRMWARE_MEMBER, PAYLOAD_MEMBER, firmware  # noqa: E402


def build_large(destination, payload_mib, payload_first, members=None, cache_dir=None,
                block_mib=8):
    """An archive whose uInitrd member holds payload_mib MiB of incompressible bytes, ahead of or
    behind the other members."""
    members = firmware() if members is None else members
    cache_dir = cache_dir or os.path.dirname(os.path.abspath(destination))
    block = _compressed_random_block(cache_dir, block_mib)
    small = b"".join(_tar_entry(name, content) for name, content in members.items())
    payload_header = _tar_header(PAYLOAD_MEMBER, (payload_mib // block_mib) * (block_mib << 20))
    end_of_archive = bytes(2 * tarfile.BLOCKSIZE)
    directory = _tar_header(FIRMWARE_MEMBER, 0, directory=True)
    head, tail = ((directory + payload_header, small) if payload_first
                  else (directory + small + payload_header, b""))
    with open(destination, "wb") as archive:
        archive.write(_xz(head))
        for _ in range(payload_mib // block_mib):
            with open(block, "rb") as f:
                shutil.copyfileobj(f, archive, 1 << 20)
        archive.write(_xz(tail + end_of_archive))
    return destination


def _compressed_random_block(cache_dir, mib):
    block = os.path.join(cache_dir, f"random-{mib}MiB.xz")
    if not os.path.exists(block):
        with open(block + ".part", "wb") as f:
            subprocess.run(["xz", "-0", "-T2", "-c"], input=os.urandom(mib << 20), stdout=f,
                           check=True)
        os.rename(block + ".part", block)
    return block


def _tar_header(name, size, directory=False):
    info = tarfile.TarInfo(name)
    info.size, info.mtime = size, int(time.time())
    info.type, info.mode = (tarfile.DIRTYPE, 0o755) if directory else (tarfile.REGTYPE, 0o644)
    return info.tobuf(tarfile.USTAR_FORMAT)


def _tar_entry(name, content):
    padding = -len(content) % tarfile.BLOCKSIZE
    return _tar_header(name, len(content)) + content + bytes(padding)


def _xz(data):
    return subprocess.run(["xz", "-0", "-c"], input=data, capture_output=True,
                          check=True).stdout
