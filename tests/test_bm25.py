import math

import pytest

import pynorvane
from conftest import trained


def test_worked_example():
    # Known values tie the reference encoder, which checks everything else, to the formulas.
    model = trained(["a", "b", "a"], ["b", "c"])
    assert model.encode_document(["a", "b", "a"]) == pytest.approx({"a": 2 / 3.38, "b": 1 / 2.38})
    assert model.encode_query(["c", "a", "c"]) == pytest.approx({"a": 0.208256, "c": 0.791744},
                                                                abs=1e-6)


@pytest.mark.parametrize("kwargs, error", [
    ({"k": 1.0}, TypeError), ({"b": "x"}, TypeError),
    ({"b": math.nan}, ValueError), ({"k1": math.inf}, ValueError), ({"b": -math.inf}, ValueError),
])
def test_constructor_rejects_bad_arguments(kwargs, error):
    with pytest.raises(error):
        pynorvane.BM25(**kwargs)


def test_train_rejects_empty_document():
    model = trained(["a"])
    with pytest.raises(RuntimeError, match="^trainning tokens_vec should not be empty$"):
        model.train([])
    # the model is unchanged: N1 = 2, count 1
    assert model.encode_query(["a", "zz"]) == pytest.approx({"a": 0.5, "zz": 0.5})


@pytest.mark.parametrize("encode", ["encode_document", "encode_query"])
@pytest.mark.parametrize("dumped", [False, True])
def test_untrained_model(tmp_path, encode, dumped):
    model = pynorvane.BM25()
    if dumped:  # and loaded again
        model.dump(str(tmp_path / "m.json"))
        model.load((tmp_path / "m.json").read_text())
    assert getattr(model, encode)([]) == {}
    for tokens in (["a"], [1]):
        with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
            getattr(model, encode)(tokens)
