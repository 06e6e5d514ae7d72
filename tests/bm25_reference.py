"""A straightforward pure-Python BM25 encoder with the native encoder's
formulas, operation for operation, so both give the same weights."""

import math

EMPTY_TRAINING = "trainning tokens_vec should not be empty"
NOT_INITIALIZED = "BM25 has not been initialized"


def _key(token):
    # Integer tokens are counted under their decimal text.
    return token if isinstance(token, str) else str(token)


def _count(tokens):
    counts = {}
    for token in tokens:
        counts[token] = counts.get(token, 0) + 1
    return counts


class PyBM25:
    def __init__(self, b=0.75, k1=1.2):
        self.b = float(b)
        self.k1 = float(k1)
        self.doc_count = 0
        self.doc_length_total = 0
        self.doc_length_average = 0.0
        self.token_frequency = {}

    def train(self, tokens):
        if len(tokens) == 0:
            raise RuntimeError(EMPTY_TRAINING)
        table = self.token_frequency
        for token, count in _count(tokens).items():
            key = _key(token)
            table[key] = table.get(key, 0) + count
        self.doc_count += 1
        self.doc_length_total += len(tokens)
        self.doc_length_average = self.doc_length_total / self.doc_count

    def _check_initialized(self):
        if self.doc_count == 0 or abs(self.doc_length_average) < 1e-9:
            raise RuntimeError(NOT_INITIALIZED)

    def idf(self, key):
        n1 = float(self.doc_count + 1)
        count = self.token_frequency.get(key)
        if count is None:
            return math.log(n1 / 1.5)
        return math.log(n1 / (count + 0.5))

    def encode_document(self, tokens):
        if len(tokens) == 0:
            return {}
        self._check_initialized()
        counts = _count(tokens)
        k = ((len(tokens) / self.doc_length_average) * self.b + (1.0 - self.b)) * self.k1
        return {token: counts[token] / (k + counts[token]) for token in sorted(counts)}

    def encode_query(self, tokens):
        if len(tokens) == 0:
            return {}
        self._check_initialized()
        weights = {}
        for token in tokens:
            if abs(weights.get(token, 0.0)) < 1e-9:
                weights[token] = self.idf(_key(token))
        keys = sorted(weights)
        total = 0.0
        for token in keys:
            total += weights[token]
        return {token: _divide(weights[token], total) for token in keys}


def _divide(weight, total):
    # IEEE division, as the native encoder does it: a zero sum gives
    # infinities or NaN instead of an exception.
    if total == 0.0:
        if weight == 0.0 or math.isnan(weight):
            return math.nan
        return math.copysign(math.inf, weight) * math.copysign(1.0, total)
    return weight / total
