"""The extension module itself: registration, classes, docstrings, signatures, reprs."""

import ast
import importlib
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import karvalith
from karvalith import CollectionInfo, Karvalith, SearchResult
from karvalith import _karvalith

KARVALITH_DOC = (
    "In-process vector database with HNSW and BM25 indexing.\n"
    "\n"
    "Create ephemeral or persistent databases:\n"
    "\n"
    "    db = Karvalith()                    # ephemeral (in-memory only)\n"
    '    db = Karvalith(data_dir="./data")   # with WAL persistence and crash recovery\n'
    "\n"
    "A persistent database checkpoints by itself (as compact() does) once its WAL\n"
    "reaches auto_checkpoint_bytes (default 64 MiB) or auto_checkpoint_records\n"
    "logged documents with embeddings (default 10000), which bounds the time a reopen\n"
    "after a crash spends replaying; 0 turns a threshold off. Use it as a context\n"
    "manager, or call close(), to release the data directory. An open that could not\n"
    "read everything warns (RuntimeWarning); status() lists what it found.\n"
    "\n"
    "progress: True draws a bar on stderr (when it is a terminal) while the open\n"
    "replays the log; a callable is called with (done, total) logged documents;\n"
    "None or False shows nothing. Ctrl-C (or an exception from the callable) stops\n"
    "the open: nothing in the directory is lost, and the next open replays again.\n"
    'Opens, recoveries, checkpoints and problems are logged to the "karvalith"\n'
    "logger of the logging module."
)

# (name, signature as inspect prints it, docstring prose)
METHODS = [
    (
        "create_collection",
        "(name, dimension, m=None, ef_construction=None, ef_search=None, "
        "distance_metric=None, store_raw_vectors=None, exist_ok=False, walk_bits=None)",
        "Create a new collection.\n"
        "\n"
        "Args:\n"
        "    name: Collection name.\n"
        "    dimension: Embedding vector dimension.\n"
        "    m: HNSW M parameter (default 16).\n"
        "    ef_construction: HNSW ef_construction (default 200).\n"
        "    ef_search: HNSW ef_search (default 50).\n"
        '    distance_metric: "cosine", "euclidean", or "dot_product" (default "cosine").\n'
        "    store_raw_vectors: If True, stores raw f32 vectors for exact reranking\n"
        "        (+0.7% recall, +59% RAM). Default False (compact mode).\n"
        "    exist_ok: If True, a collection of this name that already exists is kept and no\n"
        "        error is raised, provided it has this dimension and distance_metric (cosine when\n"
        "        not given) and every other option given here; otherwise ValueError names what\n"
        "        differs. Default False: an existing name raises ValueError.\n"
        "    walk_bits: Bits per component of the codes searches walk the graph on: 8\n"
        "        (default), or 2 or 1 for sentence embeddings and the like: each node then\n"
        "        also keeps a 2- or 1-bit code of its offset from the collection's mean, the\n"
        "        walk reads those, and every candidate is re-scored on the 8-bit codes. On\n"
        "        384-d embeddings 2 bits answer about 1.2x faster at the same recall; data\n"
        "        without a common direction (isotropic noise) needs much wider beams.\n"
        "        Snapshots of such a collection are written in format 4, whose 8-bit rows\n"
        "        are mapped from the file on open.",
    ),
    ("delete_collection", "(name)", "Delete a collection by name. Returns True if it existed."),
    ("list_collections", "()", "List all collection names."),
    ("collection_info", "(name)", "Get information about a collection."),
    (
        "insert",
        "(collection, text, embedding=None, metadata=None, id=None)",
        "Insert a single document. Returns the document UUID as a string.\n"
        "\n"
        "Args:\n"
        "    collection: Collection name.\n"
        "    text: Document text content.\n"
        "    embedding: Embedding vector as a list of floats; omitted (or []) for a keyword-only\n"
        "        collection (dimension 0), required for any other.\n"
        "    metadata: Optional metadata dict.\n"
        "    id: Optional UUID string. Auto-generated if omitted.",
    ),
    (
        "batch_insert",
        "(collection, documents, num_threads=0, progress=None)",
        "Insert multiple documents. Returns a list of UUID strings.\n"
        "\n"
        'Each document dict should have keys: "text", "embedding" (left out for a keyword-only\n'
        'collection, dimension 0), and optionally "metadata", "id"; any other key is refused\n'
        "(ValueError), so a misspelt one is never dropped silently.\n"
        "num_threads: threads that link a large batch into the graph (0 = one per core, 1 = this thread).\n"
        "progress: True draws a bar on stderr (when it is a terminal); a callable is called with\n"
        "(done, total) documents linked; None or False shows nothing.\n"
        "\n"
        "A batch is all or nothing, also after a crash. Ctrl-C (KeyboardInterrupt) or an exception\n"
        "from the progress callable stops it: before it is logged, nothing is inserted; while it\n"
        "links, it is rolled back (its removal logged as one record), so none of it is kept. The\n"
        "exception is raised with a note saying so. The rolled-back documents' graph slots count\n"
        "as deleted slots until a rebuild.",
    ),
    (
        "get",
        "(collection, ids=None, filter=None, limit=None, offset=0, id=None)",
        "Get documents by id and/or metadata filter. Each document is a dict with 'id',\n"
        "'text' and 'metadata'.\n"
        "\n"
        "ids: one id (a str): returns that document's dict, or raises KeyError when it is\n"
        "    not stored. A list (or tuple) of ids: returns a list of the stored ones in the\n"
        "    order given; ids not stored are skipped, a repeated id is returned once.\n"
        "    None: every document, in the order list_ids() gives (oldest placement first).\n"
        "filter: only documents passing it (grammar as for search()).\n"
        "offset, limit: of the documents selected, skip offset, then return at most limit.\n"
        "filter, limit and offset need ids to be None or a list. id is the older name of\n"
        "ids (give one or the other). Ids are UUID strings (str(uuid.uuid5(uuid.NAMESPACE_URL, name))\n"
        "makes one from any name).",
    ),
    (
        "delete",
        "(collection, ids=None, id=None)",
        "Delete documents by id.\n"
        "\n"
        "One id (a str): returns True if the document was stored. A list (or tuple) of ids:\n"
        "returns how many of them were stored and are now deleted, all in one WAL record\n"
        "(all of them or, after a crash, none). id is the older name of ids (give one or\n"
        "the other).",
    ),
    (
        "delete_where",
        "(collection, filter)",
        "Delete every document passing the filter (grammar as for search(); {} passes\n"
        "every document). Returns how many were deleted. The documents are found and\n"
        "deleted while other changes to the collection wait, and logged by id in one WAL\n"
        "record: all of them are deleted or, after a crash, none.",
    ),
    (
        "count",
        "(collection, filter=None)",
        "The number of documents, or of those passing the filter (grammar as for search()),\n"
        "counted by the metadata index without reading any document.",
    ),
    (
        "search",
        '(collection, query_embedding=None, query_text=None, k=10, min_similarity=None, '
        'alpha=0.7, fusion_method="rrf", filter=None, ef=None, bm25_statistics=None, exact_threshold=None)',
        "Search a collection.\n"
        "\n"
        "Supports vector search, keyword search, and hybrid search.\n"
        "If both query_embedding and query_text are given, hybrid search is used.\n"
        "\n"
        "Args:\n"
        "    collection: Collection name.\n"
        "    query_embedding: Optional embedding vector for vector/hybrid search.\n"
        "    query_text: Optional text for keyword/hybrid search.\n"
        "    k: Number of results (default 10).\n"
        "    min_similarity: Optional minimum score threshold.\n"
        "    alpha: Hybrid search weight: 1.0 = all vector, 0.0 = all keyword (default 0.7).\n"
        '    fusion_method: "rrf" or "linear" (default "rrf").\n'
        "    filter: Optional metadata filter (see Filters below).\n"
        "    ef: Optional search breadth for this query (default: the collection's ef_search);\n"
        "        the breadth used is max(ef, k).\n"
        "    bm25_statistics: Optional keyword figures of a larger document set this collection\n"
        "        is part of (keyword_statistics summed over its parts); BM25 scores use them.\n"
        "    exact_threshold: With a filter, when fewer documents than this pass it, all of them\n"
        "        are scored instead of walking the graph (default 40 * sqrt(documents); 0 always walks).\n"
        "        A filtered walk scales its breadth to the share of documents passing, keeping at\n"
        "        least min(ef, 2 * k).\n"
        "\n"
        "Filters (also for batch_search, get, count and delete_where) come in two forms.\n"
        "\n"
        "Operator form, a dict of conditions that must all hold:\n"
        '    {"year": 2024}                          equal ($eq)\n'
        '    {"year": {"$gte": 2020, "$lt": 2025}}   each operator must hold\n'
        "    $eq, $ne           equal / not equal to a bool, int, float or str\n"
        "    $gt, $gte, $lt, $lte  ordered comparison with a number (ints and floats compare\n"
        "                       as numbers; bools and strs are refused)\n"
        "    $in, $nin          equal to one of / none of a list of values\n"
        '    {"field": {"$not": {...}}}  the field\'s conditions do not all hold\n'
        '    {"$and": [filter, ...]}, {"$or": [filter, ...]}, {"$not": filter}\n'
        "A document without the field fails every condition on it, $ne and $nin included;\n"
        "$not (of a field or a filter) passes exactly the documents its operand does not, so\n"
        "also those without the field. Numbers are equal within 2**-52. Nesting is limited to\n"
        "64 levels.\n"
        "\n"
        'List form, recognised by a top-level key "must" or "must_not" (a metadata key\n'
        "named so is tested inside $and in the operator form):\n"
        '    {"must": [{"field": "year", "op": "gte", "value": 2020}],\n'
        '     "must_not": [{"field": "tag", "op": "in", "values": ["a", "b"]}]}\n'
        "with op one of eq, ne, gt, gte, lt, lte, in; any other key in a condition, or a missing\n"
        "operand, is refused (ValueError). {} passes every document.",
    ),
    (
        "rebuild",
        "(collection, num_threads=0, progress=None)",
        "Rebuild HNSW and BM25 indices for a collection, reclaiming deleted space.\n"
        "Returns the number of live documents in the rebuilt index.\n"
        "num_threads: threads that build the new graph (0 = one per core, 1 = this thread).\n"
        "progress: True (a bar on stderr), a callable given (done, total) documents linked, or None.\n"
        "Ctrl-C stops the rebuild and the collection keeps its previous indexes.",
    ),
    (
        "save",
        "(collection, path=None, encryption_key=None, progress=None)",
        "Save a collection snapshot to disk.\n\n"
        "Uses the data_dir passed at construction, or a custom path.\n"
        "If encryption_key is provided (64-char hex), the snapshot is encrypted with AES-256-GCM.\n"
        "When WAL persistence is active, the WAL is truncated after a successful save.\n"
        "progress: True (a bar on stderr), a callable given (done, total) bytes written, or None.\n"
        "Ctrl-C before the snapshot replaces the old file leaves everything as it was.",
    ),
    (
        "load",
        "(name, path=None, encryption_key=None, progress=None)",
        "Load a collection snapshot from disk.\n\n"
        "Uses the data_dir passed at construction, or a custom path.\n"
        "If encryption_key is provided (64-char hex), encrypted snapshots are decrypted;\n"
        "without it, the key the handle was opened with is used, as save seals with it.\n"
        "progress: True (a bar on stderr), a callable given (done, total) steps (read, check,\n"
        "decode, validate, build, and staging on a persistent database), or None.\n"
        "Ctrl-C before the load is logged leaves everything as it was.",
    ),
    (
        "compact",
        "(progress=None)",
        "Save all collections to disk and truncate the WAL.\n\n"
        "This is the recommended way to create a consistent checkpoint. After compact,\n"
        "the WAL is empty and all data is in snapshots. Requires data_dir to be set.\n"
        "progress: True (a bar on stderr), a callable given (done, total) collections written,\n"
        "or None. Ctrl-C keeps the WAL: nothing is lost, as after a crash during a checkpoint.",
    ),
    (
        "total_memory_bytes",
        "()",
        "Estimate total memory usage across all collections (bytes).",
    ),
    (
        "upsert",
        "(collection, id, text, embedding=None, metadata=None)",
        "Insert a document, or replace the document that has this id. Returns the id.\n"
        "\n"
        "Args:\n"
        "    collection: Collection name.\n"
        "    id: UUID string of the document.\n"
        "    text: Document text content.\n"
        "    embedding: Embedding vector as a list of floats; omitted (or []) for a keyword-only\n"
        "        collection (dimension 0), required for any other.\n"
        "    metadata: Optional metadata dict.",
    ),
    (
        "update_metadata",
        "(collection, id, metadata)",
        "Replace the metadata of a document; its text and embedding stay as they are.",
    ),
    (
        "keyword_statistics",
        "(collection, query_text)",
        "The collection's BM25 figures for the terms of query_text.\n"
        "\n"
        'Returns {"document_count": int, "total_length": int, "document_frequencies": {term: int}}\n'
        "with the query tokenized as keyword search tokenizes it. Summed over collections that\n"
        "split one document set and passed to search(bm25_statistics=...), they give every\n"
        "part the scores one collection holding all the documents would give.",
    ),
    (
        "list_ids",
        "(collection)",
        "List the UUIDs of a collection's documents, oldest placement first.",
    ),
    (
        "get_embedding",
        "(collection, id)",
        "Get a document's embedding as a list of floats.\n"
        "\n"
        "Collections created with store_raw_vectors=True return the inserted values;\n"
        "others return the stored 8-bit codes decoded, within half a quantization step\n"
        "of each inserted value.",
    ),
    (
        "status",
        "()",
        "Report what the open of the data directory found and the WAL's state.\n"
        "\n"
        "Returns a dict: 'read_only' (why changes are refused, or None), 'issues' (a list\n"
        "of dicts with 'file', 'offset', 'reason', 'collection' and 'data_missing': files\n"
        "and log records that could not be read, torn tails cut off), 'log_bytes',\n"
        "'log_records', 'checkpoint_error' (why the last automatic checkpoint\n"
        "failed, or None), 'directory' (the data directory, or None), 'collections'\n"
        "(per name: 'documents', 'deleted_slots', and 'log_records' not yet in a\n"
        "snapshot) and 'version' (the library's).",
    ),
    (
        "salvage_log",
        "()",
        "Make a database whose WAL holds an unreadable record writable again.\n"
        "\n"
        "Keeps the records read at open in a new WAL and the whole damaged file beside\n"
        "it; returns the damaged file's path. Records behind the damage stay only in that\n"
        "file. Raises ValueError when the WAL has nothing unreadable.",
    ),
    (
        "close",
        "()",
        "Close the database: wait for calls in flight, release the WAL and the data\n"
        "directory's lock. Every later call raises ValueError. Closing twice is allowed.",
    ),
]

FUSE_DOC = (
    "Fuse two rankings as hybrid search does.\n"
    "\n"
    "Each ranking is a sequence of (id, score) pairs, best first; ids are integers from 0 to\n"
    "2^32 - 1. Returns at most k (id, score) pairs by descending fused score; among equal\n"
    "scores larger ids come first. fusion_method and alpha are as for search."
)

METHODS.append(
    (
        "batch_search",
        '(collection, query_embeddings=None, k=10, min_similarity=None, filter=None, ef=None, '
        'num_threads=0, query_texts=None, alpha=0.7, fusion_method="rrf", exact_threshold=None)',
        "Search a collection with many queries at once. Returns one list of results per query, in order.\n"
        "\n"
        "Each query is answered exactly as search() answers it, from num_threads threads (0 = one per\n"
        "core, 1 = this thread). Every query is checked before any is answered.\n"
        "\n"
        "Args:\n"
        "    collection: Collection name.\n"
        "    query_embeddings: A 2-D float32/float64 array (read in place) or a sequence of vectors.\n"
        "    k, min_similarity, filter, ef, alpha, fusion_method, exact_threshold: as for search().\n"
        "    num_threads: Threads that answer the queries (default 0: one per core).\n"
        "    query_texts: Optional list of texts: keyword search alone, or hybrid search with\n"
        "        query_embeddings (one text per embedding).",
    )
)

METHOD_ORDER = [
    "create_collection", "delete_collection", "list_collections", "collection_info", "insert",
    "batch_insert", "get", "delete", "delete_where", "count", "search", "save", "load", "compact", "rebuild",
    "total_memory_bytes", "upsert", "update_metadata", "keyword_statistics", "list_ids", "get_embedding",
    "status", "salvage_log", "close", "batch_search",
]


class TestModule:
    def test_package_reexports_the_extension_classes(self):
        assert karvalith.Karvalith is _karvalith.Karvalith
        assert karvalith.SearchResult is _karvalith.SearchResult
        assert karvalith.CollectionInfo is _karvalith.CollectionInfo

    def test_module_has_empty_docstring_three_functions_and_the_three_classes_in_order(self):
        assert _karvalith.__doc__ == ""
        public = [name for name in vars(_karvalith) if not name.startswith("_")]
        assert public == ["fuse", "filter_fields", "inspect_directory", "Karvalith", "SearchResult", "CollectionInfo"]
        assert str(inspect.signature(_karvalith.filter_fields)) == "(filter)"
        assert str(inspect.signature(_karvalith.inspect_directory)) == (
            "(path, encryption_key=None, replay=True)"
        )

    def test_fuse_docstring_and_signature(self):
        assert _karvalith.fuse.__doc__ == FUSE_DOC
        assert str(inspect.signature(_karvalith.fuse)) == (
            "(vector_hits, keyword_hits, k=10, fusion_method='rrf', alpha=0.7)"
        )

    def test_reinitialisation_returns_the_cached_module(self):
        name = _karvalith.__name__
        first = sys.modules.pop(name)
        try:
            second = importlib.import_module(name)
            assert second is first
        finally:
            sys.modules[name] = first

    def test_import_from_a_subinterpreter_fails_with_import_error(self):
        subinterpreters = pytest.importorskip("_xxsubinterpreters")
        del subinterpreters
        script = textwrap.dedent(
            """
            import _xxsubinterpreters as si
            import karvalith
            interp = si.create()
            try:
                si.run_string(interp, "import karvalith._karvalith")
            except Exception as error:
                print(type(error).__name__, error)
            else:
                print("imported")
            """
        )
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, check=True
        ).stdout
        assert "ImportError" in out, out


class TestClasses:
    def test_class_docstrings(self):
        assert Karvalith.__doc__ == KARVALITH_DOC
        assert SearchResult.__doc__ == (
            "A single search result with document ID, text, score, and metadata."
        )
        assert CollectionInfo.__doc__ == "Information about a collection."

    def test_constructor_signature(self):
        assert str(inspect.signature(Karvalith)) == (
            "(data_dir=None, encryption_key=None, auto_checkpoint_bytes=None, auto_checkpoint_records=None, "
            "progress=None)"
        )

    @pytest.mark.parametrize("cls", [SearchResult, CollectionInfo])
    def test_record_classes_cannot_be_constructed(self, cls):
        with pytest.raises(TypeError):
            cls()

    def test_methods_are_registered_in_order(self):
        registered = [name for name in vars(Karvalith) if not name.startswith("_")]
        # Methods of later releases slot into this order as they arrive.
        assert registered == [name for name in METHOD_ORDER if name in registered]
        assert set(registered) >= set(METHOD_ORDER) - {"search", "save", "load", "compact"}

    @pytest.mark.parametrize("name,signature,prose", METHODS, ids=[m[0] for m in METHODS])
    def test_method_docstring_and_signature(self, name, signature, prose):
        method = getattr(Karvalith, name, None)
        if method is None:
            pytest.skip(f"{name} is not implemented yet")
        assert method.__doc__ == prose
        text_signature = "($self)" if signature == "()" else "($self, " + signature[1:]
        assert method.__text_signature__ == text_signature
        # inspect prints string defaults with single quotes.
        bound = getattr(Karvalith(), name)
        assert str(inspect.signature(bound)) == signature.replace('"', "'")

    def test_collection_info_getters_are_read_only(self, db4):
        info = db4.collection_info("c")
        for field in ("name", "dimension", "document_count", "estimated_memory_bytes",
                      "distance_metric", "deleted_slots", "walk_bits"):
            with pytest.raises(AttributeError):
                setattr(info, field, 1)


class TestTypeStub:
    def test_stub_matches_the_runtime_classes(self):
        stub = pathlib.Path(karvalith.__file__).with_name("_karvalith.pyi")
        if not stub.exists():
            pytest.skip("type stub not installed next to the package")
        body = ast.parse(stub.read_text()).body
        functions = [n for n in body if isinstance(n, ast.FunctionDef)]
        assert [f.name for f in functions] == ["fuse", "filter_fields", "inspect_directory"]
        for function in functions:
            runtime = inspect.signature(getattr(_karvalith, function.name)).parameters
            assert [a.arg for a in function.args.args] == list(runtime), function.name
        # TypedDicts describe returned dicts; they are not classes of the module.
        classes = [n for n in body if isinstance(n, ast.ClassDef)
                   and not any(isinstance(b, ast.Name) and b.id == "TypedDict" for b in n.bases)]
        assert [c.name for c in classes] == ["Karvalith", "SearchResult", "CollectionInfo"]
        for node in classes:
            runtime = getattr(_karvalith, node.name)
            functions = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
            public = [n for n in vars(runtime) if not n.startswith("_")]
            assert [n for n in functions if not n.startswith("_")] == public, node.name
            for name in public:
                if isinstance(vars(runtime)[name], property) or not callable(getattr(runtime, name)):
                    continue
                stub_params = [a.arg for a in functions[name].args.args]
                runtime_params = list(inspect.signature(getattr(runtime, name)).parameters)
                assert stub_params == runtime_params, name


class TestConstructor:
    def test_ephemeral_handle_repr_counts_collections(self, db):
        assert repr(db) == "Karvalith(collections=0)"
        db.create_collection("a", 2)
        db.create_collection("b", 2)
        assert repr(db) == "Karvalith(collections=2)"

    def test_none_arguments_mean_absent(self):
        assert repr(Karvalith(None, None)) == "Karvalith(collections=0)"
        assert repr(Karvalith(data_dir=None, encryption_key=None)) == "Karvalith(collections=0)"

    def test_handles_have_separate_registries(self):
        first, second = Karvalith(), Karvalith()
        first.create_collection("a", 2)
        assert second.list_collections() == []

    @pytest.mark.parametrize(
        "kwargs,parameter",
        [({"data_dir": 1}, "data_dir"), ({"encryption_key": b"00"}, "encryption_key")],
    )
    def test_wrong_argument_types_name_the_parameter(self, kwargs, parameter):
        with pytest.raises(TypeError, match=f"argument '{parameter}'"):
            Karvalith(**kwargs)

    def test_argument_matching_errors(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'path'"):
            Karvalith(path="x")
        with pytest.raises(TypeError, match="multiple values for argument 'data_dir'"):
            Karvalith(None, data_dir=None)
        with pytest.raises(TypeError):
            Karvalith(None, None, None, None, None, None)

    def test_bad_key_is_refused_before_the_directory_is_touched(self, tmp_path):
        target = tmp_path / "data"
        with pytest.raises(ValueError, match="encryption key must be 64 hex characters"):
            Karvalith(data_dir=str(target), encryption_key="00" * 31)
        assert not target.exists()
        assert repr(Karvalith(encryption_key="00" * 32)) == "Karvalith(collections=0)"
