"""REPORT_DIR/cache: what a run has finished, so that a second run computes
only what is new and a stopped one goes on where it stopped.

- ``index.jsonl``: one JSON line per finished piece of work (a cover's
  features and pool size, a stego image's features and statistics, a
  detector's errors), under a key that is the hash of everything the work
  depends on. Only the run's own process writes it.
- ``features/NAME/``: the feature vectors of a run as matrices, in the layout
  that ``velmora features`` writes (``features.npy``, float32, one row per
  cover or stego image; ``index.json`` naming each row and the submodels of
  the columns), so that a detector reads one matrix and indexes its rows.
  A matrix's name is the hash of the keys of its rows; rows are written as
  their images finish, by this process only, and a finished matrix is
  ``velmora.features.load``-able as it stands.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from .. import features as fs
from .._featurebatch import PartialMatrix, _write_json


def key(**fields: Any) -> str:
    """The cache key of a piece of work: the hash of all it depends on."""
    text = json.dumps(fields, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:40]


class FeatureTable:
    """One matrix of the cache: a slot per row, filled in any order."""

    def __init__(self, folder: str, kind: str, rows: list[str], gray: bool) -> None:
        self.folder = folder
        self.kind = kind
        self.rows = rows
        self.path = os.path.join(folder, fs.MATRIX_NAME)
        parts = fs.submodels(kind)
        self.dimension = sum(d for _n, d in parts)
        self.index = {
            "format": fs.FORMAT,
            "version": fs.FORMAT_VERSION,
            "status": "incomplete",
            "kind": kind,
            "dimension": self.dimension,
            "extractor": fs.EXTRACTOR,
            "gray": gray,
            "dtype": "float32",
            "submodels": [[n, d] for n, d in parts],
            "paths": rows,
        }
        exists = os.path.exists(self.path)
        os.makedirs(folder, exist_ok=True)
        self._matrix = PartialMatrix(self.path, len(rows), self.dimension, create=not exists)
        if not exists:
            _write_json(os.path.join(folder, fs.INDEX_NAME), self.index)

    def write(self, slot: int, row: npt.NDArray[np.float32]) -> None:
        self._matrix.write(slot, row)

    def complete(self) -> None:
        """Marks the matrix as complete: every row is written."""
        if self.index["status"] != "complete":
            self.index["status"] = "complete"
            _write_json(os.path.join(self.folder, fs.INDEX_NAME), self.index)

    def close(self) -> None:
        self._matrix.close()


class Cache:
    """The index of finished work and the feature matrices of a report folder."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.index_path = os.path.join(folder, "index.jsonl")
        os.makedirs(os.path.join(folder, "features"), exist_ok=True)
        self.records: dict[str, dict[str, Any]] = {}
        if os.path.exists(self.index_path):
            with open(self.index_path, encoding="utf-8") as f:
                for line in f:
                    try:
                        record = json.loads(line)
                        self.records[record["key"]] = record
                    except (ValueError, KeyError, TypeError):
                        continue  # a line cut short when a run was killed
        self._index: IO[str] = open(self.index_path, "a", encoding="utf-8")
        self._tables: dict[str, FeatureTable] = {}
        self.reused = 0

    def table(self, role: str, kind: str, rows: list[str], gray: bool) -> FeatureTable:
        """The matrix (of covers or of stego images: ``role``) of ``kind``
        features whose rows are the work of the keys ``rows``, in order."""
        name = key(role=role, kind=kind, rows=rows)
        if name not in self._tables:
            self._tables[name] = FeatureTable(os.path.join(self.folder, "features", name), kind, rows, gray)
        return self._tables[name]

    def row(self, item: str) -> npt.NDArray[np.float32] | None:
        """The feature vector that the record ``item`` stored, or None when
        it has none (or its matrix is gone)."""
        record = self.records.get(item)
        if record is None or "table" not in record:
            return None
        path = os.path.join(self.folder, "features", record["table"], fs.MATRIX_NAME)
        try:
            matrix = np.load(path, mmap_mode="r", allow_pickle=False)
            return np.array(matrix[record["slot"]], dtype=np.float32)
        except (OSError, ValueError, IndexError):
            return None

    def get(self, item: str) -> dict[str, Any] | None:
        record = self.records.get(item)
        if record is not None:
            self.reused += 1
        return record

    def put(self, item: str, record: dict[str, Any]) -> dict[str, Any]:
        record = {"key": item, **record}
        self._index.write(json.dumps(record, sort_keys=True) + "\n")
        self._index.flush()
        self.records[item] = record
        return record

    def put_row(self, item: str, table: FeatureTable, slot: int, row: npt.NDArray[np.float32],
                record: dict[str, Any]) -> dict[str, Any]:
        """Writes ``row`` into its slot, then the record that says where it is."""
        table.write(slot, row)
        return self.put(item, {**record, "table": os.path.basename(table.folder), "slot": slot})

    def close(self) -> None:
        for t in self._tables.values():
            t.close()
        self._index.close()
