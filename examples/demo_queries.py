"""The fixed query sentences of the demo.

make_demo_data.py stores an embedding for each of them next to the corpus, so
demo.py can run its vector and hybrid searches without the embedding model.
"""

# Natural-language questions for plain vector search.
VECTOR_QUERIES = (
    "a small animal that people keep as a pet",
    "something sweet to eat after dinner",
    "a tool for cutting wood",
    "to move quickly on foot",
)

# Keyword queries for BM25 alone.
KEYWORD_QUERIES = (
    "bread flour",
    "river water",
)

# (sentence for the embedding, keywords for BM25) pairs for hybrid search.
HYBRID_QUERIES = (
    ("water falling from the sky", "rain"),
    ("a hot drink made from leaves", "tea"),
)

# Sentences for the filtered vector searches.
FILTERED_QUERIES = (
    "something you eat or drink",
    "going from one place to another",
    "a part of the human body",
)

ALL_QUERIES = tuple(
    dict.fromkeys(
        VECTOR_QUERIES
        + tuple(sentence for sentence, _ in HYBRID_QUERIES)
        + FILTERED_QUERIES
    )
)
