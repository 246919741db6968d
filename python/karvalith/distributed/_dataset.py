"""Ray Data in and out of a sharded collection.

write_dataset: a Datasink whose write tasks read their blocks, route each
row by the hash of its id and send every shard its part of a batch straight
from the worker, so no row passes through the driver. Each shard numbers the
rows as they arrive (Shard.insert_columns): with many workers writing at once
only the shard sees the order in which its documents arrive.

to_dataset: one read task per shard, paging through the shard's ids.
"""

from __future__ import annotations

import importlib
import json
import uuid
from collections import deque
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple, Optional, Sequence

from ._client import ShardWriteError, _check_filter
from ._merge import SEQUENCE_FIELD, shard_of_bytes

if TYPE_CHECKING:
    from ._client import ShardedCollection

# Batches a write task keeps in flight: one travels while the shards store
# the previous one.
IN_FLIGHT = 2
DEFAULT = "__default__"  # marks a column name left at its default


class DatasetWriteSummary(NamedTuple):
    """What write_dataset wrote."""

    written: int
    shard_counts: list[int]


class DatasetWriteError(ShardWriteError):
    """Some rows of a dataset were not written (see ShardWriteError).

    written: how many rows the shards acknowledged.
    unsent: how many rows were refused before any shard was sent them (a
        bad value, an id repeated in a batch); row_errors says why (the first
        few messages).
    """

    def __init__(self, message: str, acknowledged: list[str], unknown: list[str], refused: list[str],
                 errors: dict[int, BaseException], written: int, unsent: int, row_errors: list[str]):
        super().__init__(message, acknowledged, unknown, refused, errors)
        self.written = written
        self.unsent = unsent
        self.row_errors = row_errors


# ---- column mapping, checked against the schema before anything is written ----

def _pyarrow() -> Any:
    return importlib.import_module("pyarrow")  # untyped: imported as Any


class Columns(NamedTuple):
    text: str
    embedding: Optional[str]
    id: Optional[str]
    metadata: Optional[str]
    metadata_columns: tuple[str, ...]


def _is_text(pa: Any, kind: Any) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def _is_scalar(pa: Any, kind: Any) -> bool:
    t = pa.types
    return bool(t.is_boolean(kind) or t.is_integer(kind) or t.is_floating(kind) or _is_text(pa, kind)
                or t.is_null(kind))


def _embedding_width(pa: Any, kind: Any) -> Optional[int]:
    """The fixed row width of an embedding column's type, None when rows may
    differ (checked per batch); TypeError for a type that holds no numbers."""
    t = pa.types
    if isinstance(kind, pa.ExtensionType):
        shape = getattr(kind, "shape", None)
        if shape is None:  # a variable-shaped tensor: widths are checked per batch
            return None
        if len(shape) != 1:
            raise TypeError(f"tensor of shape {tuple(shape)}")
        return int(shape[0])
    if t.is_fixed_size_list(kind) or t.is_list(kind) or t.is_large_list(kind):
        value = kind.value_type
        if not (t.is_integer(value) or t.is_floating(value)):
            raise TypeError(f"list of {value}")
        return int(kind.list_size) if t.is_fixed_size_list(kind) else None
    raise TypeError(str(kind))


def resolve_columns(names: Sequence[str], types: Optional[Sequence[Any]], dimension: int, text_column: str,
                    embedding_column: Optional[str], id_column: Optional[str], metadata_column: Optional[str],
                    metadata_columns: Optional[Sequence[str]]) -> Columns:
    """The mapping of a dataset's columns onto documents. Every column must be
    mapped; a named column that is missing, an unmapped one, or a column of
    the wrong type is refused with its name."""
    pa = _pyarrow()

    present = list(names)
    kinds = dict(zip(present, types)) if types is not None else {}

    def optional(name: Optional[str], default: str, what: str) -> Optional[str]:
        if name == DEFAULT:
            return default if default in present else None
        if name is not None and not isinstance(name, str):
            raise TypeError(f"{what} must be a column name or None, got {type(name).__name__}")
        return name

    if not isinstance(text_column, str):
        raise TypeError(f"text_column must be a column name, got {type(text_column).__name__}")
    embedding = optional(embedding_column, "embedding", "embedding_column")
    if embedding_column == DEFAULT and dimension != 0:
        embedding = "embedding"  # required: refused below when missing
    identifier = optional(id_column, "id", "id_column")
    metadata = optional(metadata_column, "metadata", "metadata_column")
    if metadata_columns is None:
        flat: tuple[str, ...] = ()
    elif isinstance(metadata_columns, (list, tuple)) and all(isinstance(c, str) for c in metadata_columns):
        flat = tuple(metadata_columns)
    else:
        raise TypeError("metadata_columns must be a list of column names")
    if dimension != 0 and embedding is None:
        raise ValueError(f"the collection has dimension {dimension}: embedding_column must name a column")
    if dimension == 0 and embedding is not None:
        raise ValueError(f"the collection is keyword-only (dimension 0): column '{embedding}' holds embeddings; "
                         f"drop it from the dataset")
    mapped = [c for c in (text_column, embedding, identifier, metadata, *flat) if c is not None]
    repeated = sorted({c for c in mapped if mapped.count(c) > 1})
    if repeated:
        raise ValueError(f"columns mapped twice: {', '.join(repeated)}")
    if SEQUENCE_FIELD in flat:
        raise ValueError(f"the metadata key '{SEQUENCE_FIELD}' is reserved by sharded collections")
    missing = [c for c in mapped if c not in present]
    if missing:
        raise ValueError(f"the dataset has no column {', '.join(repr(c) for c in missing)} "
                         f"(its columns: {', '.join(present)})")
    unmapped = [c for c in present if c not in mapped]
    if unmapped:
        raise ValueError(f"unmapped dataset columns {', '.join(repr(c) for c in unmapped)}: name them in "
                         f"metadata_columns, or drop them (Dataset.drop_columns)")

    def kind_of(column: str) -> Any:
        kind = kinds.get(column)
        return kind if isinstance(kind, pa.DataType) else None  # pandas schemas: checked per batch

    for column in (text_column, identifier):
        kind = None if column is None else kind_of(column)
        if kind is not None and not _is_text(pa, kind) and not pa.types.is_null(kind):
            raise TypeError(f"column '{column}' must hold strings, not {kind}")
    if embedding is not None and kind_of(embedding) is not None:
        try:
            width = _embedding_width(pa, kind_of(embedding))
        except TypeError as error:
            raise TypeError(f"column '{embedding}' must hold embeddings (lists or tensors of numbers), "
                            f"not {error}") from None
        if width is not None and width != dimension:
            raise ValueError(f"column '{embedding}' holds embeddings of dimension {width}; "
                             f"the collection's is {dimension}")
    for column in flat:
        kind = kind_of(column)
        if kind is not None and not _is_scalar(pa, kind):
            raise TypeError(f"metadata column '{column}' must hold bool, int, float or str values, not {kind}")
    if metadata is not None:
        kind = kind_of(metadata)
        if kind is not None and not (pa.types.is_struct(kind) or pa.types.is_map(kind) or _is_text(pa, kind)
                                     or pa.types.is_null(kind) or isinstance(kind, pa.ExtensionType)):
            raise TypeError(f"column '{metadata}' must hold dicts or JSON objects, not {kind}")
    return Columns(text_column, embedding, identifier, metadata, flat)


# ---- one batch read into the columns a shard takes ----

class Rows(NamedTuple):
    ids: list[str]
    keys: list[bytes]  # the ids' 16 bytes
    texts: list[str]
    embeddings: Any  # float32 array (rows x dimension), or None
    metadata: list[dict[str, Any]]


def _describe(ids: list[str], row: int) -> str:
    return f"row {row} of a batch (id {ids[row]})"


def _embeddings(pa: Any, np: Any, array: Any, dimension: int, ids: list[str], name: str) -> Any:
    """A float32 (rows x dimension) array of an embedding column, without a
    Python loop over values."""
    if array.null_count:
        row = next(i for i, v in enumerate(array.is_null().to_pylist()) if v)
        raise ValueError(f"{_describe(ids, row)} has no embedding (column '{name}' is null)")
    kind = array.type
    if isinstance(kind, pa.ExtensionType):
        values = array.to_numpy()
        if values.dtype == object:  # variable-shaped tensors
            widths = [np.size(v) for v in values]
            bad = next((i for i, w in enumerate(widths) if w != dimension), None)
            if bad is not None:
                raise ValueError(f"{_describe(ids, bad)} has an embedding of {widths[bad]} values; "
                                 f"the collection's dimension is {dimension}")
            values = np.stack([np.ravel(v) for v in values]) if len(values) else np.empty((0, dimension))
    else:
        if pa.types.is_fixed_size_list(kind):
            width = kind.list_size
            if width != dimension:
                raise ValueError(f"column '{name}' holds embeddings of dimension {width}; "
                                 f"the collection's is {dimension}")
        else:
            widths = array.value_lengths().to_numpy(zero_copy_only=False)
            bad = np.flatnonzero(widths != dimension)
            if len(bad):
                raise ValueError(f"{_describe(ids, int(bad[0]))} has an embedding of {int(widths[bad[0]])} values; "
                                 f"the collection's dimension is {dimension}")
        flat = array.flatten()
        if flat.null_count:
            raise ValueError(f"column '{name}' has a null value inside an embedding")
        values = flat.to_numpy(zero_copy_only=False).reshape(len(array), dimension)
    if values.ndim != 2 or values.shape[1:] != (dimension,):
        raise ValueError(f"column '{name}' holds embeddings of shape {values.shape[1:]}; "
                         f"the collection's dimension is {dimension}")
    if values.dtype.kind not in "fiub":
        raise TypeError(f"column '{name}' must hold numbers, not {values.dtype}")
    return np.ascontiguousarray(values, dtype=np.float32)


def _metadata_of(value: Any, ids: list[str], row: int) -> dict[str, Any]:
    if value is None:
        return {}
    if isinstance(value, str):
        try:
            value = json.loads(value)
        except ValueError as error:
            raise ValueError(f"{_describe(ids, row)}: metadata is not JSON ({error})") from None
    elif isinstance(value, list):  # an Arrow map: (key, value) pairs
        value = dict(value)
    if not isinstance(value, dict) and not isinstance(value, Mapping):
        raise TypeError(f"{_describe(ids, row)}: metadata must be a dict, got {type(value).__name__}")
    # A struct column has every key of every row; the absent ones are null,
    # and null is no metadata value, so a null key is an absent one.
    return {key: item for key, item in value.items() if item is not None}


def _check_value(key: Any, value: Any, ids: list[str], row: int) -> None:
    if not isinstance(key, str):
        raise TypeError(f"{_describe(ids, row)}: metadata keys must be str, got {type(key).__name__}")
    if key == SEQUENCE_FIELD:
        raise ValueError(f"{_describe(ids, row)}: the metadata key '{SEQUENCE_FIELD}' is reserved "
                         f"by sharded collections")
    if not isinstance(value, (bool, int, float, str)):
        raise TypeError(f"{_describe(ids, row)}: metadata value of '{key}' must be bool, int, float or str, "
                        f"got {type(value).__name__}")


def read_rows(table: Any, columns: Columns, dimension: int) -> Rows:
    """The batch's documents, checked as one collection checks them, so that
    no shard refuses its part for a bad value. Rows without an id get a
    fresh one. ValueError or TypeError name the row."""
    import numpy as np

    pa = _pyarrow()
    count = table.num_rows
    if columns.id is not None:
        given = table.column(columns.id).to_pylist()
    else:
        given = [None] * count
    ids: list[str] = []
    keys: list[bytes] = []
    for row, value in enumerate(given):
        if value is None:
            parsed = uuid.uuid4()
        elif not isinstance(value, str):
            raise TypeError(f"row {row} of a batch: ids must be str, got {type(value).__name__}")
        else:
            try:
                parsed = uuid.UUID(value)
            except ValueError:
                raise ValueError(f"row {row} of a batch: invalid UUID {value!r}") from None
        ids.append(str(parsed))
        keys.append(parsed.bytes)
    if len(set(keys)) != count:
        seen: set[bytes] = set()
        for row, key in enumerate(keys):
            if key in seen:
                raise ValueError(f"document id {ids[row]} repeats in the batch")
            seen.add(key)
    texts = table.column(columns.text).to_pylist()
    for row, text in enumerate(texts):
        if not isinstance(text, str):
            raise TypeError(f"{_describe(ids, row)}: text must be str, got {type(text).__name__}")
    embeddings = None
    if columns.embedding is not None:
        embeddings = _embeddings(pa, np, table.column(columns.embedding).combine_chunks(), dimension, ids,
                                 columns.embedding)
    if columns.metadata is not None:
        metadata = [_metadata_of(v, ids, row) for row, v in enumerate(table.column(columns.metadata).to_pylist())]
    else:
        metadata = [{} for _ in range(count)]
    for name in columns.metadata_columns:
        for row, value in enumerate(table.column(name).to_pylist()):
            if value is None:
                continue
            if name in metadata[row]:
                raise ValueError(f"{_describe(ids, row)}: metadata key '{name}' is both a column and a key "
                                 f"of column '{columns.metadata}'")
            metadata[row][name] = value
    for row, fields in enumerate(metadata):
        for field, value in fields.items():
            _check_value(field, value, ids, row)
    return Rows(ids, keys, texts, embeddings, metadata)


# ---- the write tasks ----

class TaskReport:
    """What one write task did, sent back to the driver: counts, and the ids
    the shards acknowledged as one bytes string of 16-byte UUIDs (compact:
    they are only listed if the write fails somewhere)."""

    def __init__(self, shard_count: int):
        self.shard_counts = [0] * shard_count
        self.acknowledged: list[bytes] = []
        self.unknown: list[str] = []
        self.refused: list[str] = []
        self.errors: dict[int, BaseException] = {}
        self.row_errors: list[str] = []
        self.refused_rows = 0


class Batch(NamedTuple):
    parts: dict[int, Rows]
    calls: dict[int, Any]


def _split(rows: Rows, shard_count: int) -> dict[int, Rows]:
    import numpy as np

    targets = np.fromiter((shard_of_bytes(key, shard_count) for key in rows.keys), dtype=np.int64,
                          count=len(rows.keys))
    parts = {}
    for shard in np.unique(targets).tolist():
        where = np.flatnonzero(targets == shard).tolist()
        parts[shard] = Rows([rows.ids[i] for i in where], [rows.keys[i] for i in where],
                            [rows.texts[i] for i in where],
                            None if rows.embeddings is None else rows.embeddings[where],
                            [rows.metadata[i] for i in where])
    return parts


class _Writer:
    """The part of the sink a write task runs."""

    def __init__(self, handles: list[Any], dimension: int, columns: Columns, batch_size: int):
        self.handles = handles
        self.dimension = dimension
        self.columns = columns
        self.batch_size = batch_size

    def write(self, blocks: Any) -> TaskReport:
        import ray
        from ray.data.block import BlockAccessor

        report = TaskReport(len(self.handles))
        pending: deque[Batch] = deque()
        for block in blocks:
            table = BlockAccessor.for_block(block).to_arrow()
            for start in range(0, table.num_rows, self.batch_size):
                piece = table.slice(start, self.batch_size)
                try:
                    rows = read_rows(piece, self.columns, self.dimension)
                except (TypeError, ValueError) as error:
                    report.refused_rows += piece.num_rows
                    if len(report.row_errors) < 10:
                        report.row_errors.append(str(error))
                    continue
                parts = _split(rows, len(self.handles))
                calls = {shard: self.handles[shard].insert_columns.remote(part.ids, part.texts, part.embeddings,
                                                                        part.metadata)
                         for shard, part in parts.items()}
                pending.append(Batch(parts, calls))
                if len(pending) > IN_FLIGHT:
                    self._settle(ray, pending.popleft(), report)
        while pending:
            self._settle(ray, pending.popleft(), report)
        return report

    @staticmethod
    def _settle(ray: Any, batch: Batch, report: TaskReport) -> None:
        exceptions = ray.exceptions
        ray.wait(list(batch.calls.values()), num_returns=len(batch.calls), fetch_local=True)
        for shard, call in batch.calls.items():
            part = batch.parts[shard]
            try:
                report.shard_counts[shard] += ray.get(call)
                report.acknowledged.append(b"".join(part.keys))
            except exceptions.RayTaskError as error:
                report.refused += part.ids
                cause = getattr(error, "cause", None)
                report.errors.setdefault(shard, cause if isinstance(cause, BaseException) else error)
            except (exceptions.RayActorError, exceptions.ObjectLostError) as error:
                # The shard died with the call in flight: logged or not.
                report.unknown += part.ids
                report.errors.setdefault(shard, error)


def _sink_type() -> type:
    from ray.data import Datasink

    class KarvalithDatasink(Datasink):  # type: ignore[type-arg]
        """Writes a dataset into a sharded collection from the write tasks."""

        def __init__(self, writer: _Writer):
            self._writer = writer
            self.reports: list[TaskReport] = []

        def write(self, blocks: Any, ctx: Any) -> TaskReport:
            return self._writer.write(blocks)

        def on_write_complete(self, write_result: Any) -> None:
            self.reports = [r for r in write_result.write_returns if r is not None]

        @property
        def min_rows_per_write(self) -> Optional[int]:
            return self._writer.batch_size

        def get_name(self) -> str:
            return "Karvalith"

    return KarvalithDatasink


def _handles(collection: "ShardedCollection", method: str) -> list[Any]:
    from ._backends import RayShards

    collection._require_open()
    shards = collection._shards
    if not isinstance(shards, RayShards):
        raise TypeError(f"{method}() needs shards on Ray actors; this collection runs its shards in process")
    return shards.handles()


def _positive(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, got {value!r}")
    return value


def write_dataset(collection: "ShardedCollection", dataset: Any, *, batch_size: int = 1000,
                  text_column: str = "text", embedding_column: Optional[str] = DEFAULT,
                  id_column: Optional[str] = DEFAULT, metadata_column: Optional[str] = DEFAULT,
                  metadata_columns: Optional[Sequence[str]] = None,
                  concurrency: Optional[int] = None) -> DatasetWriteSummary:
    import ray.data

    if not isinstance(dataset, ray.data.Dataset):
        raise TypeError(f"dataset must be a ray.data.Dataset, got {type(dataset).__name__}")
    batch_size = _positive(batch_size, "batch_size")
    if concurrency is not None:
        concurrency = _positive(concurrency, "concurrency")
    handles = _handles(collection, "write_dataset")
    schema = dataset.schema()
    if schema is None:  # no rows, no columns
        return DatasetWriteSummary(0, [0] * len(handles))
    columns = resolve_columns(schema.names, schema.types, collection.dimension, text_column, embedding_column,
                              id_column, metadata_column, metadata_columns)
    sink = _sink_type()(_Writer(handles, collection.dimension, columns, batch_size))
    try:
        # A write task is never run twice: a second run would send its rows
        # again (and fresh ids for rows without one).
        dataset.write_datasink(sink, ray_remote_args={"max_retries": 0}, concurrency=concurrency)
    except Exception as error:
        error.add_note(f"write_dataset into '{collection.name}' stopped: rows sent before may be written; "
                       "look them up by id")
        raise
    reports = sink.reports
    written = sum(sum(r.shard_counts) for r in reports)
    shard_counts = [sum(r.shard_counts[i] for r in reports) for i in range(len(handles))]
    unknown = [i for r in reports for i in r.unknown]
    refused = [i for r in reports for i in r.refused]
    refused_rows = sum(r.refused_rows for r in reports)
    if not unknown and not refused and not refused_rows:
        return DatasetWriteSummary(written, shard_counts)
    acknowledged = [str(uuid.UUID(bytes=blob[i:i + 16])) for r in reports for blob in r.acknowledged
                    for i in range(0, len(blob), 16)]
    errors: dict[int, BaseException] = {}
    for r in reports:
        for shard, failure in r.errors.items():
            errors.setdefault(shard, failure)
    row_errors = [m for r in reports for m in r.row_errors]
    described = "; ".join(f"shard {shard}: {error}" for shard, error in sorted(errors.items()))
    if row_errors:
        described = "; ".join(x for x in (described, f"{refused_rows} rows refused unsent ({row_errors[0]})") if x)
    raise DatasetWriteError(
        f"write_dataset into '{collection.name}' did not write every row: {described}. {written} documents "
        f"acknowledged, {len(unknown)} of unknown fate, {len(refused)} refused by a shard",
        acknowledged, unknown, refused, errors, written, refused_rows, row_errors[:10],
    )


# ---- reading back ----

def _export_block(documents: list[dict[str, Any]], embeddings: Any, dimension: int) -> Any:
    import numpy as np
    from ray.data.block import BlockAccessor

    batch = {
        "id": np.array([d["id"] for d in documents], dtype=object),
        "text": np.array([d["text"] for d in documents], dtype=object),
        "metadata": np.array([json.dumps(d["metadata"], ensure_ascii=False) for d in documents], dtype=object),
    }
    if embeddings is not None:
        batch["embedding"] = np.frombuffer(embeddings, dtype=np.float32).reshape(len(documents), dimension)
    return BlockAccessor.batch_to_block(batch)


def _read_shard(handle: Any, filter: Optional[Mapping[str, Any]], include_embeddings: bool, dimension: int,
                rows_per_block: int) -> Any:
    """One read task: the shard's ids (oldest first), then a block per page."""
    import ray

    ids = ray.get(handle.list_ids.remote())
    for start in range(0, len(ids), rows_per_block):
        documents, embeddings = ray.get(handle.export_rows.remote(ids[start:start + rows_per_block], filter,
                                                                  include_embeddings))
        if documents:
            yield _export_block(documents, embeddings, dimension)


def _source_type() -> type:
    from ray.data import Datasource
    from ray.data.block import BlockMetadata
    from ray.data.datasource import ReadTask

    class KarvalithDatasource(Datasource):
        """One read task per shard of a sharded collection."""

        def __init__(self, handles: list[Any], filter: Optional[Mapping[str, Any]], include_embeddings: bool,
                     dimension: int, rows_per_block: int):
            super().__init__()  # type: ignore[no-untyped-call]
            self._handles = handles
            self._filter = filter
            self._include_embeddings = include_embeddings
            self._dimension = dimension
            self._rows_per_block = rows_per_block

        def estimate_inmemory_data_size(self) -> Optional[int]:
            return None

        def get_read_tasks(self, parallelism: int, per_task_row_limit: Optional[int] = None,
                           data_context: Any = None) -> list[Any]:
            tasks = []
            for handle in self._handles:
                def read(handle: Any = handle) -> Any:
                    return _read_shard(handle, self._filter, self._include_embeddings, self._dimension,
                                       self._rows_per_block)

                # No row count: documents may come and go before the read runs.
                metadata = BlockMetadata(num_rows=None, size_bytes=None, exec_stats=None, input_files=None)
                tasks.append(ReadTask(read, metadata, per_task_row_limit=per_task_row_limit))
            return tasks

        def get_name(self) -> str:
            return "Karvalith"

    return KarvalithDatasource


def to_dataset(collection: "ShardedCollection", *, include_embeddings: bool = True,
               filter: Optional[Mapping[str, Any]] = None, rows_per_block: int = 4096) -> Any:
    import ray.data

    if not isinstance(include_embeddings, bool):
        raise TypeError(f"include_embeddings must be a bool, got {type(include_embeddings).__name__}")
    rows_per_block = _positive(rows_per_block, "rows_per_block")
    _check_filter(filter)
    handles = _handles(collection, "to_dataset")
    source = _source_type()(handles, filter, include_embeddings and collection.dimension > 0,
                            collection.dimension, rows_per_block)
    dataset = ray.data.read_datasource(source, override_num_blocks=len(handles))
    # Shard by shard, each in sequence order, rather than as blocks finish.
    dataset.context.execution_options.preserve_order = True
    return dataset
