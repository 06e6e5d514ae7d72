import math

import pytest

import pynorvane


def trained(*documents, **params):
    model = pynorvane.BM25(**params)
    for document in documents:
        model.train(document)
    return model


def test_module_exposes_only_the_classes():
    public = {name for name in dir(pynorvane) if not name.startswith("_")}
    assert public <= {"BM25", "Segmenter"}
    assert "BM25" in public


def test_worked_example():
    model = trained(["a", "b", "a"], ["b", "c"])
    doc = model.encode_document(["a", "b", "a"])
    assert list(doc) == ["a", "b"]
    assert doc["a"] == pytest.approx(2 / 3.38)
    assert doc["b"] == pytest.approx(1 / 2.38)
    query = model.encode_query(["c", "a", "c"])
    assert list(query) == ["a", "c"]
    idf_a, idf_c = math.log(3 / 2.5), math.log(3 / 1.5)
    assert query["a"] == pytest.approx(idf_a / (idf_a + idf_c))
    assert query["c"] == pytest.approx(idf_c / (idf_a + idf_c))
    assert query["a"] == pytest.approx(0.208256, abs=1e-6)


@pytest.mark.parametrize(
    "args, kwargs, b, k1",
    [
        ((), {}, 0.75, 1.2),
        ((0.5,), {}, 0.5, 1.2),
        ((), {"k1": 2.0}, 0.75, 2.0),
        ((0, 2), {}, 0.0, 2.0),
    ],
)
def test_constructor_parameters(args, kwargs, b, k1):
    model = pynorvane.BM25(*args, **kwargs)
    model.train(["x", "y"])
    model.train(["x", "y", "z", "w"])
    # average length 3; a document of 6 tokens with one 'x'
    weight = model.encode_document(["x", "a", "b", "c", "d", "e"])["x"]
    k = ((6 / 3) * b + (1 - b)) * k1
    assert weight == pytest.approx(1 / (k + 1))


@pytest.mark.parametrize("kwargs", [{"k": 1.0}, {"b": "x"}])
def test_constructor_rejects_bad_arguments(kwargs):
    with pytest.raises(TypeError):
        pynorvane.BM25(**kwargs)


@pytest.mark.parametrize("empty", [[], ()])
def test_train_rejects_empty_document(empty):
    model = trained(["a"])
    with pytest.raises(RuntimeError, match="^trainning tokens_vec should not be empty$"):
        model.train(empty)
    # the model is unchanged: N1 = 2, count 1
    assert model.encode_query(["a", "zz"]) == pytest.approx({"a": 0.5, "zz": 0.5})


@pytest.mark.parametrize("encode", ["encode_document", "encode_query"])
def test_untrained_model(encode):
    model = pynorvane.BM25()
    assert getattr(model, encode)([]) == {}
    with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
        getattr(model, encode)(["a"])
    with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
        getattr(model, encode)([1])


def test_integer_tokens_share_counts_with_their_text():
    model = trained([5, 5, 7], ["5"])
    # N1 = 3; '5' counted 3 times, '7' once
    query = model.encode_query([5, 7])
    assert list(query) == [5, 7]
    idf5, idf7 = math.log(3 / 3.5), math.log(3 / 1.5)
    assert query[5] == pytest.approx(idf5 / (idf5 + idf7))
    assert model.encode_query(["5", "7"]) == pytest.approx({"5": query[5], "7": query[7]})


def test_integer_keys_are_ints_in_numeric_order():
    model = trained([1, 2, 3])
    doc = model.encode_document([3, 1, -3, 10])
    assert list(doc) == [-3, 1, 3, 10]
    assert all(type(key) is int for key in doc)
    assert model.encode_query([-3]) == {-3: 1.0}


def test_large_integer_tokens():
    big = 2**63 - 1
    model = trained([big, -(2**63)])
    assert list(model.encode_document([big, -(2**63)])) == [-(2**63), big]


def test_string_keys_in_byte_order():
    model = trained(["b", "a"])
    assert list(model.encode_query(["b", "a", "B", "中"])) == ["B", "a", "b", "中"]


def test_repeated_token_only_document():
    model = trained(["x", "x", "x"])
    # a single weight divided by itself, although the IDF ln(2/3.5) is negative
    assert model.encode_query(["x"]) == {"x": 1.0}
    assert model.encode_query(["x", "x"]) == model.encode_query(["x"])
    # document length 3 = average: K = k1
    assert model.encode_document(["x"])["x"] == pytest.approx(1 / (1.2 / 3 * 0.75 + 0.25 * 1.2 + 1))


def test_unknown_tokens_are_weighted():
    model = trained(["a", "b"])
    assert model.encode_document(["q"])["q"] == pytest.approx(1 / (0.5 * 1.2 * 0.75 + 0.25 * 1.2 + 1))
    query = model.encode_query(["q", "a"])
    idf_q, idf_a = math.log(2 / 1.5), math.log(2 / 1.5)
    assert query["q"] == pytest.approx(idf_q / (idf_q + idf_a))


def test_training_is_incremental():
    one = trained(["a", "b"], ["c", "a", "a"])
    two = trained(["a", "b"])
    two.train(["c", "a", "a"])
    assert one.encode_query(["a", "b", "c"]) == two.encode_query(["a", "b", "c"])
    two.train(["a"])
    assert two.encode_query(["a", "b"]) != one.encode_query(["a", "b"])


def test_invalid_utf8_bytes_token_raises_on_result():
    model = trained(["a"])
    with pytest.raises(UnicodeDecodeError):
        model.encode_document([b"\xff"])
    # bytes are otherwise taken byte for byte
    assert model.encode_document([b"a"]) == model.encode_document(["a"])


def test_query_weights_are_divided_by_their_signed_sum():
    model = trained(["x", "x", "x", "x"], ["x", "x"])
    # idf(x) = ln(3/6.5) < 0 and idf(y) = ln(3/1.5) > 0: no clamping
    query = model.encode_query(["x", "y"])
    total = math.log(3 / 6.5) + math.log(3 / 1.5)
    assert query["x"] == pytest.approx(math.log(3 / 6.5) / total)
    assert query["y"] == pytest.approx(math.log(3 / 1.5) / total)
