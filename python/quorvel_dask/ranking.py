"""The order of search results across shards, and their merge.

One engine ranks by score in its metric's direction, a NaN score last
whatever the direction and -0.0 equal to 0.0, and breaks ties by the
records' places in its record list. Shards cannot share places, so a
sharded collection breaks ties by id instead: by the ids' UTF-8 bytes, which
order as their code points do, so Python's str order is that order. A
shard's engine still answers in its own order, so a shard widens its search
until no record tied with its k-th can be left out, then orders its
candidates by this rule; the merge of every shard's k best is then exactly
the k best of the whole collection under it.
"""

import heapq
import itertools
import math

# The metrics whose scores are similarities (larger is closer); the others
# are distances. The names are the engine's.
LARGER_IS_CLOSER = {"cosine": True, "dot": True, "euclidean": False, "manhattan": False}

# The largest k an engine takes.
K_MAX = 2**64 - 1


def rank(score, larger_is_closer):
    """A sort key of `score`, smaller for closer: NaN after every number,
    -0.0 equal to 0.0, as the engine ranks them."""
    if math.isnan(score):
        return (1, 0.0)
    return (0, -score if larger_is_closer else score)


def candidate_key(larger_is_closer):
    """The sort key of an (id, score, metadata) candidate: rank, then id."""
    return lambda candidate: (rank(candidate[1], larger_is_closer), candidate[0])


def best_of(search, k, larger_is_closer):
    """The k best (id, score, metadata) candidates of one engine, in this
    module's order. `search(n)` returns the engine's n best hits in its own
    order; when the hit after the k-th ties with it, records tied with the
    k-th may lie beyond, so the search is asked again for twice as many
    until the last hit ranks below the k-th or the engine runs out."""
    if k == 0:
        return []
    wanted = min(k + 1, K_MAX)
    hits = search(wanted)
    while (len(hits) == wanted and wanted < K_MAX
           and rank(hits[-1].score, larger_is_closer) == rank(hits[k - 1].score, larger_is_closer)):
        wanted = min(wanted * 2, K_MAX)
        hits = search(wanted)
    candidates = [(hit.id, hit.score, hit.metadata) for hit in hits]
    candidates.sort(key=candidate_key(larger_is_closer))
    return candidates[:k]


def merge(candidate_lists, k, larger_is_closer):
    """The k best of several lists of candidates, each already in order."""
    merged = heapq.merge(*candidate_lists, key=candidate_key(larger_is_closer))
    return list(itertools.islice(merged, k))
