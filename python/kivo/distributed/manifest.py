"""The manifest of a saved sharded index and the checks of its shard files.

A saved index is a directory holding one ``.kivo`` file per shard and
``manifest.json``, which records the shard count, the routing rule, the index
configuration and, per shard, the file name, its size in bytes, its SHA-256
and its vector count. The manifest is written last and atomically (a
temporary file renamed over the old one), so a reader sees either the previous
save or the new one, never a mixture.
"""
from __future__ import annotations

import hashlib
import json
import os
import re
from typing import Any

from .routing import ROUTING_NAME, ROUTING_RULE

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "kivo-sharded"
FORMAT_VERSION = 1
# Shard files are named per save, so a new save never overwrites a file that
# the current manifest (or a restarting shard) still refers to.
SHARD_FILE = re.compile(r"shard-(\d{5})-([0-9a-f]{16})\.kivo")
_CHUNK = 1 << 20


def shard_file_name(shard: int, save_token: str) -> str:
    return f"shard-{shard:05d}-{save_token}.kivo"


def file_digest(path: str) -> tuple[int, str]:
    """(size in bytes, SHA-256 hex digest) of the file at `path`."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while chunk := f.read(_CHUNK):
            digest.update(chunk)
            size += len(chunk)
    return size, digest.hexdigest()


def fsync_path(path: str) -> None:
    """Flush a file or directory to stable storage."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def check_shard_size(path: str, record: dict[str, Any], shard: int) -> None:
    """Raise OSError naming the shard unless the file exists with the recorded size."""
    name = os.path.basename(path)
    try:
        size = os.stat(path).st_size
    except OSError as e:
        raise OSError(f"shard {shard}: cannot open file '{name}': {e.strerror}") from None
    if size != record["bytes"]:
        raise OSError(f"shard {shard}: file '{name}' has {size} bytes, "
                      f"the manifest records {record['bytes']}")


def verify_shard_file(path: str, record: dict[str, Any], shard: int) -> None:
    """Raise OSError naming the shard unless the file has the recorded size and checksum."""
    check_shard_size(path, record, shard)
    _, sha256 = file_digest(path)
    if sha256 != record["sha256"]:
        raise OSError(f"shard {shard}: file '{os.path.basename(path)}' does not match its "
                      f"checksum (sha256 {sha256}, the manifest records {record['sha256']})")


def write_manifest(directory: str, shards: int, config: dict[str, Any],
                   files: list[dict[str, Any]]) -> None:
    """Write manifest.json atomically: a temporary file, flushed, renamed over the old one."""
    manifest = {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION,
        "shards": shards,
        "routing": {"hash": ROUTING_NAME, "rule": ROUTING_RULE},
        "config": config,
        "files": files,
    }
    final = os.path.join(directory, MANIFEST_NAME)
    temporary = final + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, final)
    fsync_path(directory)


def read_manifest(directory: str) -> dict[str, Any]:
    """Read and check manifest.json; raise OSError naming what is wrong."""
    path = os.path.join(directory, MANIFEST_NAME)
    with open(path, "r", encoding="utf-8") as f:
        try:
            manifest = json.load(f)
        except ValueError as e:
            raise OSError(f"invalid manifest '{path}': {e}") from None

    def fail(what: str) -> OSError:
        return OSError(f"invalid manifest '{path}': {what}")

    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise fail(f"not a {FORMAT_NAME} manifest")
    if manifest.get("version") != FORMAT_VERSION:
        raise fail(f"unsupported version {manifest.get('version')!r}")
    shards = manifest.get("shards")
    if not _is_count(shards) or shards == 0:
        raise fail(f"shard count {shards!r} is not a positive integer")
    routing = manifest.get("routing")
    if not isinstance(routing, dict) or routing.get("hash") != ROUTING_NAME:
        raise fail(f"unknown routing {routing!r}")
    config = manifest.get("config")
    if not isinstance(config, dict) or not _is_count(config.get("dim")) \
            or not isinstance(config.get("kivo_params"), dict):
        raise fail("config must hold dim and kivo_params")
    files = manifest.get("files")
    if not isinstance(files, list) or len(files) != shards:
        raise fail(f"{shards} shards but {len(files) if isinstance(files, list) else 'no'} file records")
    for shard, record in enumerate(files):
        if not isinstance(record, dict) or record.get("shard") != shard:
            raise fail(f"file record {shard} is not the record of shard {shard}")
        name = record.get("file")
        if not _is_count(record.get("bytes")) or not _is_count(record.get("vectors")):
            raise fail(f"shard {shard}: bytes and vectors must be non-negative integers")
        if name is None:
            # An empty IVF-Flat shard (never buildable) is saved without a file.
            if record["vectors"] != 0 or record["bytes"] != 0 or record.get("sha256") is not None:
                raise fail(f"shard {shard}: a shard without a file must be empty")
            continue
        # Only plain file names inside the directory: a manifest must not make
        # a shard read (or a later save delete) a file elsewhere.
        if not isinstance(name, str) or SHARD_FILE.fullmatch(name) is None:
            raise fail(f"shard {shard}: file name {name!r} is not a shard file name")
        sha256 = record.get("sha256")
        if not isinstance(sha256, str) or re.fullmatch(r"[0-9a-f]{64}", sha256) is None:
            raise fail(f"shard {shard}: sha256 must be 64 lower-case hex digits")
    return manifest


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0
