"""The chunk envelope of the switchyard protocol, both directions.

{"type": "chunk", "chunk_id", "chunk_index", "total_chunks", "data", "original_type"}: "data"
holds consecutive slices of the JSON text of one big message.
"""

from __future__ import annotations

import json
import uuid
from collections import OrderedDict
from typing import Callable, Optional

CHUNK_TYPE = "chunk"
CHUNK_SIZE = 65536
MAX_TOTAL_CHUNKS = 1 << 16      # 4 GiB at the server's slice size: far beyond any real message
MAX_PENDING_BUFFERS = 64        # messages being reassembled at once; the oldest is dropped beyond


def _is_int(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


class ChunkAssembler:
    """Puts chunk envelopes back together; ``add`` returns the message its last chunk completes."""

    def __init__(self, log: Callable[[str], None], max_buffers: int = MAX_PENDING_BUFFERS) -> None:
        self._log = log
        self._max_buffers = max_buffers
        # chunk id -> [slots, received count]
        self._buffers: "OrderedDict[object, list]" = OrderedDict()

    def pending(self) -> int:
        return len(self._buffers)

    def add(self, message: dict) -> Optional[dict]:
        chunk_id = message.get("chunk_id")
        index = message.get("chunk_index")
        total = message.get("total_chunks")
        data = message.get("data")
        if chunk_id is None or index is None or total is None:
            self._log("dropping chunk: missing chunk_id, chunk_index or total_chunks")
            return None
        if not isinstance(chunk_id, (str, int)) or isinstance(chunk_id, bool):
            self._log("dropping chunk: chunk_id must be a string")
            return None
        if not _is_int(index) or not _is_int(total):
            self._log("dropping chunk: chunk_index and total_chunks must be integers")
            return None
        if total < 1 or total > MAX_TOTAL_CHUNKS or index < 0 or index >= total:
            self._log(f"dropping chunk: invalid chunk_index {index} for total_chunks {total}")
            return None
        if data is None:
            data = ""
        if not isinstance(data, str):
            self._log(f"dropping chunk {index} of {chunk_id}: data is not a string")
            return None

        entry = self._buffers.get(chunk_id)
        if entry is None:
            while len(self._buffers) >= self._max_buffers:
                stale_id, _ = self._buffers.popitem(last=False)
                self._log(f"dropping incomplete chunked message {stale_id}: too many pending")
            entry = [[None] * total, 0]
            self._buffers[chunk_id] = entry
        slots = entry[0]
        if len(slots) != total:
            self._log(f"dropping chunk {index} of {chunk_id}: total_chunks {total} differs from {len(slots)}")
            return None
        if slots[index] is not None:
            return None  # a repeat: the first copy wins
        slots[index] = data
        entry[1] += 1
        if entry[1] < total:
            return None

        del self._buffers[chunk_id]
        text = "".join(slots)
        try:
            whole = json.loads(text)
        except ValueError as exc:
            self._log(f"dropping chunked message {chunk_id}: reassembled text is not JSON ({exc})")
            return None
        if not isinstance(whole, dict):
            self._log(f"dropping chunked message {chunk_id}: reassembled JSON is not an object")
            return None
        if whole.get("type") == CHUNK_TYPE:
            self._log(f"dropping chunked message {chunk_id}: nested chunk envelope")
            return None
        return whole


def split_into_chunks(text: str, original_type, size: int = CHUNK_SIZE) -> list[str]:
    """The chunk envelopes (as compact JSON texts) that carry ``text``, in index order.

    ``text`` must be ASCII JSON (json.dumps with ensure_ascii), so slicing by characters never
    cuts a character in two; an escape cut in two is joined again before the receiver parses.
    """
    chunk_id = str(uuid.uuid4())
    total = (len(text) + size - 1) // size
    kind = original_type if isinstance(original_type, str) else "unknown"
    return [
        json.dumps({"type": CHUNK_TYPE, "chunk_id": chunk_id, "chunk_index": i, "total_chunks": total,
                    "data": text[i * size:(i + 1) * size], "original_type": kind},
                   separators=(",", ":"))
        for i in range(total)
    ]
