"""quorvel's attached index with diverse neighbour selection, through
quorvel_engine: the approximate search only (every other measurement is the
contender "quorvel", whose engine is the same).

- approximate search: attach_index(HnswConfig(m, ef_construction,
  selection="diverse")) over the stored records, then search through it
  with ef_search, as for "quorvel".
"""

import quorvel_engine

from contenders import quorvel_db

ELSEWHERE = "measured as quorvel (the same engine)"


class Peer(quorvel_db.Peer):
    def info(self):
        info = super().info()
        info["ann"] = ("attach_index(HnswConfig(m, ef_construction, selection=\"diverse\")) (m_max = m, "
                       "m_max0 = 2m, ml = 1 / ln m), ef_search = ef; search through the index, one query at a "
                       "time, cosine")
        for key in ("exact", "fetch", "durable", "bulk"):
            info[key] = ELSEWHERE
        return info

    def create(self, directory, rows):
        raise NotImplementedError(ELSEWHERE)

    def open(self, directory, d):
        raise NotImplementedError(ELSEWHERE)

    def create_empty(self, directory, d):
        raise NotImplementedError(ELSEWHERE)

    def config(self, params):
        return quorvel_engine.HnswConfig(m=params["m"], ef_construction=params["ef_construction"],
                                         selection="diverse")
