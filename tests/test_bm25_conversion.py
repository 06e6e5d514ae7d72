"""Every accepted container and element kind gives the result the plain list
of str or int gives; every rejected one is rejected."""

from collections import UserList

import pytest

import pynorvane


def trained():
    model = pynorvane.BM25()
    model.train(["a", "b", "a", "中"])
    model.train([1, 2, 2, 30])
    return model


class StrSub(str):
    pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
@pytest.mark.parametrize(
    "tokens, plain",
    [
        (("b", "a", "b"), ["b", "a", "b"]),
        (UserList(["b", "a", "b"]), ["b", "a", "b"]),
        ([StrSub("b"), "a", b"b"], ["b", "a", "b"]),
        ([b"\xe4\xb8\xad", "中", bytearray(b"a")], ["中", "中", "a"]),
        ((2, 1, 2), [2, 1, 2]),
        (UserList([2, 1, 2]), [2, 1, 2]),
        ([True, IntLike(30), 1, -(2 ** 63)], [1, 30, 1, -(2 ** 63)]),
    ],
    ids=["tuple", "sequence", "str-subclass-bytes", "bytes-bytearray", "int-tuple",
         "int-sequence", "bool-index"],
)
def test_other_containers_and_elements_match_plain_lists(method, tokens, plain):
    model = trained()
    got = getattr(model, method)(tokens)
    want = getattr(model, method)(plain)
    assert list(got.items()) == list(want.items())
    # Keys are plain str or int whatever the elements were.
    assert {type(key) for key in got} == {type(plain[0])}


# mixed kinds, a float, integers past 64 bits, a lone surrogate, str and
# bytes themselves, None
@pytest.mark.parametrize("bad", [["a", 1], [1, "a"], [1.0], [2 ** 63], [-(2 ** 63) - 1], ["\ud800"],
                                 "ab", b"ab", [None]])
@pytest.mark.parametrize("method", ["train", "encode_document", "encode_query"])
def test_rejected_arguments_leave_the_model_alone(method, bad):
    model = trained()
    before = model.encode_query(["a", "1", "q"])
    with pytest.raises(TypeError):
        getattr(model, method)(bad)
    assert model.encode_query(["a", "1", "q"]) == before


def test_element_that_empties_its_list_while_converted():
    tokens = [7, 8]

    class Clearing:
        def __index__(self):
            tokens.clear()
            return 9

    tokens += [Clearing(), 10]
    # The elements read before the list changed still count; nothing crashes.
    result = trained().encode_document(tokens)
    assert list(result) == [7, 8, 9]
    assert all(type(key) is int for key in result)


def test_invalid_utf8_key_fails_only_when_returned():
    model = trained()
    model.train([b"\xff", b"\xff"])
    with pytest.raises(UnicodeDecodeError):
        model.encode_document(["a", b"\xff"])
    with pytest.raises(UnicodeDecodeError):
        model.encode_query([b"\xff"])
