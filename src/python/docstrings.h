// The public documentation of the module's classes and methods. Each method
// docstring starts with its text signature line and "--", which the
// interpreter turns into __text_signature__.
#pragma once

#include "core/search/request.h"

namespace karvalith::py::doc {

// The defaults the texts below spell out (k=10, alpha=0.7) are the core's.
static_assert(DEFAULT_K == 10 && DEFAULT_ALPHA == 0.7f, "update the docstrings with the defaults");

inline constexpr const char KARVALITH[] =
    "Karvalith(data_dir=None, encryption_key=None, auto_checkpoint_bytes=None, "
    "auto_checkpoint_records=None, progress=None)\n--\n\n"
    "In-process vector database with HNSW and BM25 indexing.\n"
    "\n"
    "Create ephemeral or persistent databases:\n"
    "\n"
    "    db = Karvalith()                    # ephemeral (in-memory only)\n"
    "    db = Karvalith(data_dir=\"./data\")   # with WAL persistence and crash recovery\n"
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
    "Opens, recoveries, checkpoints and problems are logged to the \"karvalith\"\n"
    "logger of the logging module.";

inline constexpr const char CREATE_COLLECTION[] =
    "create_collection($self, name, dimension, m=None, ef_construction=None, ef_search=None, "
    "distance_metric=None, store_raw_vectors=None, exist_ok=False, walk_bits=None)\n--\n\n"
    "Create a new collection.\n"
    "\n"
    "Args:\n"
    "    name: Collection name.\n"
    "    dimension: Embedding vector dimension.\n"
    "    m: HNSW M parameter (default 16).\n"
    "    ef_construction: HNSW ef_construction (default 200).\n"
    "    ef_search: HNSW ef_search (default 50).\n"
    "    distance_metric: \"cosine\", \"euclidean\", or \"dot_product\" (default \"cosine\").\n"
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
    "        are mapped from the file on open.";

inline constexpr const char DELETE_COLLECTION[] =
    "delete_collection($self, name)\n--\n\n"
    "Delete a collection by name. Returns True if it existed.";

inline constexpr const char LIST_COLLECTIONS[] =
    "list_collections($self)\n--\n\n"
    "List all collection names.";

inline constexpr const char COLLECTION_INFO[] =
    "collection_info($self, name)\n--\n\n"
    "Get information about a collection.";

inline constexpr const char INSERT[] =
    "insert($self, collection, text, embedding=None, metadata=None, id=None)\n--\n\n"
    "Insert a single document. Returns the document UUID as a string.\n"
    "\n"
    "Args:\n"
    "    collection: Collection name.\n"
    "    text: Document text content.\n"
    "    embedding: Embedding vector as a list of floats; omitted (or []) for a keyword-only\n"
    "        collection (dimension 0), required for any other.\n"
    "    metadata: Optional metadata dict.\n"
    "    id: Optional UUID string. Auto-generated if omitted.";

inline constexpr const char BATCH_INSERT[] =
    "batch_insert($self, collection, documents, num_threads=0, progress=None)\n--\n\n"
    "Insert multiple documents. Returns a list of UUID strings.\n"
    "\n"
    "Each document dict should have keys: \"text\", \"embedding\" (left out for a keyword-only\n"
    "collection, dimension 0), and optionally \"metadata\", \"id\"; any other key is refused\n"
    "(ValueError), so a misspelt one is never dropped silently.\n"
    "num_threads: threads that link a large batch into the graph (0 = one per core, 1 = this thread).\n"
    "progress: True draws a bar on stderr (when it is a terminal); a callable is called with\n"
    "(done, total) documents linked; None or False shows nothing.\n"
    "\n"
    "A batch is all or nothing, also after a crash. Ctrl-C (KeyboardInterrupt) or an exception\n"
    "from the progress callable stops it: before it is logged, nothing is inserted; while it\n"
    "links, it is rolled back (its removal logged as one record), so none of it is kept. The\n"
    "exception is raised with a note saying so. The rolled-back documents' graph slots count\n"
    "as deleted slots until a rebuild.";

inline constexpr const char UPSERT[] =
    "upsert($self, collection, id, text, embedding=None, metadata=None)\n--\n\n"
    "Insert a document, or replace the document that has this id. Returns the id.\n"
    "\n"
    "Args:\n"
    "    collection: Collection name.\n"
    "    id: UUID string of the document.\n"
    "    text: Document text content.\n"
    "    embedding: Embedding vector as a list of floats; omitted (or []) for a keyword-only\n"
    "        collection (dimension 0), required for any other.\n"
    "    metadata: Optional metadata dict.";

inline constexpr const char UPDATE_METADATA[] =
    "update_metadata($self, collection, id, metadata)\n--\n\n"
    "Replace the metadata of a document; its text and embedding stay as they are.";

inline constexpr const char GET[] =
    "get($self, collection, ids=None, filter=None, limit=None, offset=0, id=None)\n--\n\n"
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
    "makes one from any name).";

inline constexpr const char DELETE[] =
    "delete($self, collection, ids=None, id=None)\n--\n\n"
    "Delete documents by id.\n"
    "\n"
    "One id (a str): returns True if the document was stored. A list (or tuple) of ids:\n"
    "returns how many of them were stored and are now deleted, all in one WAL record\n"
    "(all of them or, after a crash, none). id is the older name of ids (give one or\n"
    "the other).";

inline constexpr const char DELETE_WHERE[] =
    "delete_where($self, collection, filter)\n--\n\n"
    "Delete every document passing the filter (grammar as for search(); {} passes\n"
    "every document). Returns how many were deleted. The documents are found and\n"
    "deleted while other changes to the collection wait, and logged by id in one WAL\n"
    "record: all of them are deleted or, after a crash, none.";

inline constexpr const char COUNT[] =
    "count($self, collection, filter=None)\n--\n\n"
    "The number of documents, or of those passing the filter (grammar as for search()),\n"
    "counted by the metadata index without reading any document.";

inline constexpr const char SEARCH[] =
    "search($self, collection, query_embedding=None, query_text=None, k=10, min_similarity=None, "
    "alpha=0.7, fusion_method=\"rrf\", filter=None, ef=None, bm25_statistics=None, "
    "exact_threshold=None)\n--\n\n"
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
    "    fusion_method: \"rrf\" or \"linear\" (default \"rrf\").\n"
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
    "    {\"year\": 2024}                          equal ($eq)\n"
    "    {\"year\": {\"$gte\": 2020, \"$lt\": 2025}}   each operator must hold\n"
    "    $eq, $ne           equal / not equal to a bool, int, float or str\n"
    "    $gt, $gte, $lt, $lte  ordered comparison with a number (ints and floats compare\n"
    "                       as numbers; bools and strs are refused)\n"
    "    $in, $nin          equal to one of / none of a list of values\n"
    "    {\"field\": {\"$not\": {...}}}  the field's conditions do not all hold\n"
    "    {\"$and\": [filter, ...]}, {\"$or\": [filter, ...]}, {\"$not\": filter}\n"
    "A document without the field fails every condition on it, $ne and $nin included;\n"
    "$not (of a field or a filter) passes exactly the documents its operand does not, so\n"
    "also those without the field. Numbers are equal within 2**-52. Nesting is limited to\n"
    "64 levels.\n"
    "\n"
    "List form, recognised by a top-level key \"must\" or \"must_not\" (a metadata key\n"
    "named so is tested inside $and in the operator form):\n"
    "    {\"must\": [{\"field\": \"year\", \"op\": \"gte\", \"value\": 2020}],\n"
    "     \"must_not\": [{\"field\": \"tag\", \"op\": \"in\", \"values\": [\"a\", \"b\"]}]}\n"
    "with op one of eq, ne, gt, gte, lt, lte, in; any other key in a condition, or a missing\n"
    "operand, is refused (ValueError). {} passes every document.";

inline constexpr const char KEYWORD_STATISTICS[] =
    "keyword_statistics($self, collection, query_text)\n--\n\n"
    "The collection's BM25 figures for the terms of query_text.\n"
    "\n"
    "Returns {\"document_count\": int, \"total_length\": int, \"document_frequencies\": {term: int}}\n"
    "with the query tokenized as keyword search tokenizes it. Summed over collections that\n"
    "split one document set and passed to search(bm25_statistics=...), they give every\n"
    "part the scores one collection holding all the documents would give.";

inline constexpr const char FUSE[] =
    "fuse(vector_hits, keyword_hits, k=10, fusion_method=\"rrf\", alpha=0.7)\n--\n\n"
    "Fuse two rankings as hybrid search does.\n"
    "\n"
    "Each ranking is a sequence of (id, score) pairs, best first; ids are integers from 0 to\n"
    "2^32 - 1. Returns at most k (id, score) pairs by descending fused score; among equal\n"
    "scores larger ids come first. fusion_method and alpha are as for search.";

inline constexpr const char SAVE[] =
    "save($self, collection, path=None, encryption_key=None, progress=None)\n--\n\n"
    "Save a collection snapshot to disk.\n"
    "\n"
    "Uses the data_dir passed at construction, or a custom path.\n"
    "If encryption_key is provided (64-char hex), the snapshot is encrypted with AES-256-GCM.\n"
    "When WAL persistence is active, the WAL is truncated after a successful save.\n"
    "progress: True (a bar on stderr), a callable given (done, total) bytes written, or None.\n"
    "Ctrl-C before the snapshot replaces the old file leaves everything as it was.";

inline constexpr const char LOAD[] =
    "load($self, name, path=None, encryption_key=None, progress=None)\n--\n\n"
    "Load a collection snapshot from disk.\n"
    "\n"
    "Uses the data_dir passed at construction, or a custom path.\n"
    "If encryption_key is provided (64-char hex), encrypted snapshots are decrypted;\n"
    "without it, the key the handle was opened with is used, as save seals with it.\n"
    "progress: True (a bar on stderr), a callable given (done, total) steps (read, check,\n"
    "decode, validate, build, and staging on a persistent database), or None.\n"
    "Ctrl-C before the load is logged leaves everything as it was.";

inline constexpr const char COMPACT[] =
    "compact($self, progress=None)\n--\n\n"
    "Save all collections to disk and truncate the WAL.\n"
    "\n"
    "This is the recommended way to create a consistent checkpoint. After compact,\n"
    "the WAL is empty and all data is in snapshots. Requires data_dir to be set.\n"
    "progress: True (a bar on stderr), a callable given (done, total) collections written,\n"
    "or None. Ctrl-C keeps the WAL: nothing is lost, as after a crash during a checkpoint.";

inline constexpr const char STATUS[] =
    "status($self)\n--\n\n"
    "Report what the open of the data directory found and the WAL's state.\n"
    "\n"
    "Returns a dict: 'read_only' (why changes are refused, or None), 'issues' (a list\n"
    "of dicts with 'file', 'offset', 'reason', 'collection' and 'data_missing': files\n"
    "and log records that could not be read, torn tails cut off), 'log_bytes',\n"
    "'log_records', 'checkpoint_error' (why the last automatic checkpoint\n"
    "failed, or None), 'directory' (the data directory, or None), 'collections'\n"
    "(per name: 'documents', 'deleted_slots', and 'log_records' not yet in a\n"
    "snapshot) and 'version' (the library's).";

inline constexpr const char SALVAGE_LOG[] =
    "salvage_log($self)\n--\n\n"
    "Make a database whose WAL holds an unreadable record writable again.\n"
    "\n"
    "Keeps the records read at open in a new WAL and the whole damaged file beside\n"
    "it; returns the damaged file's path. Records behind the damage stay only in that\n"
    "file. Raises ValueError when the WAL has nothing unreadable.";

inline constexpr const char CLOSE[] =
    "close($self)\n--\n\n"
    "Close the database: wait for calls in flight, release the WAL and the data\n"
    "directory's lock. Every later call raises ValueError. Closing twice is allowed.";

inline constexpr const char ENTER[] = "__enter__($self)\n--\n\nReturn the database itself.";

inline constexpr const char EXIT[] =
    "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the database.";

inline constexpr const char REBUILD[] =
    "rebuild($self, collection, num_threads=0, progress=None)\n--\n\n"
    "Rebuild HNSW and BM25 indices for a collection, reclaiming deleted space.\n"
    "Returns the number of live documents in the rebuilt index.\n"
    "num_threads: threads that build the new graph (0 = one per core, 1 = this thread).\n"
    "progress: True (a bar on stderr), a callable given (done, total) documents linked, or None.\n"
    "Ctrl-C stops the rebuild and the collection keeps its previous indexes.";

inline constexpr const char BATCH_SEARCH[] =
    "batch_search($self, collection, query_embeddings=None, k=10, min_similarity=None, filter=None, "
    "ef=None, num_threads=0, query_texts=None, alpha=0.7, fusion_method=\"rrf\", exact_threshold=None)\n--\n\n"
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
    "        query_embeddings (one text per embedding).";

inline constexpr const char TOTAL_MEMORY_BYTES[] =
    "total_memory_bytes($self)\n--\n\n"
    "Estimate total memory usage across all collections (bytes).";

inline constexpr const char LIST_IDS[] =
    "list_ids($self, collection)\n--\n\n"
    "List the UUIDs of a collection's documents, oldest placement first.";

inline constexpr const char GET_EMBEDDING[] =
    "get_embedding($self, collection, id)\n--\n\n"
    "Get a document's embedding as a list of floats.\n"
    "\n"
    "Collections created with store_raw_vectors=True return the inserted values;\n"
    "others return the stored 8-bit codes decoded, within half a quantization step\n"
    "of each inserted value.";

inline constexpr const char FILTER_FIELDS[] =
    "filter_fields(filter)\n--\n\n"
    "The metadata keys a filter tests, sorted, after checking the filter as search()\n"
    "does (the same exceptions for a malformed one).";

inline constexpr const char INSPECT_DIRECTORY[] =
    "inspect_directory(path, encryption_key=None, replay=True)\n--\n\n"
    "Inspect a data directory without changing it or taking its lock.\n"
    "\n"
    "Reads and checks every snapshot and every log record and returns a dict with\n"
    "'path', 'replayed', 'snapshots', 'log', 'collections' and 'problems'. With\n"
    "replay=True the log is replayed in memory, so 'collections' shows what an open\n"
    "would hold; otherwise it shows the snapshots alone. Each problem has 'file',\n"
    "'offset', 'kind', 'message' and 'fatal' (False for warnings).";

}  // namespace karvalith::py::doc
