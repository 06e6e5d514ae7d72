import math

import pytest

import pynorvane
from conftest import trained


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


@pytest.mark.parametrize("kwargs, error", [
    ({"k": 1.0}, TypeError), ({"b": "x"}, TypeError),
    ({"b": math.nan}, ValueError), ({"k1": math.inf}, ValueError), ({"b": -math.inf}, ValueError),
])
def test_constructor_rejects_bad_arguments(kwargs, error):
    with pytest.raises(error):
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
    for tokens in (["a"], [1]):
        with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
            getattr(model, encode)(tokens)


def test_single_and_unknown_tokens():
    model = trained(["x", "x", "x"])
    # a single weight divided by itself, although the IDF ln(2/3.5) is negative
    assert model.encode_query(["x", "x"]) == {"x": 1.0}
    # document length 3 = average: K = k1; an unknown token is weighted too
    assert model.encode_document(["x", "q"]) == pytest.approx(
        {"q": 1 / (1.2 * (0.75 * 2 / 3 + 0.25) + 1), "x": 1 / (1.2 * (0.75 * 2 / 3 + 0.25) + 1)})
    idf_q, idf_x = math.log(2 / 1.5), math.log(2 / 3.5)
    assert model.encode_query(["q", "x"])["q"] == pytest.approx(idf_q / (idf_q + idf_x))
