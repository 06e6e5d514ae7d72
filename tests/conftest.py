import os
import socket

import pytest

import pynorvane

# Whether the extensions run under AddressSanitizer (the run_all.sh stage
# preloads its runtime): its shadow memory needs more address space than a
# test's RLIMIT_AS leaves.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

MIN = "-3.14e+100"

DICT = ["北京 20 ns", "天安门 15 ns", "我 50 r", "爱 30 v", "中华 8 nz", "华人 6 n", "人民 12 n",
        "共和 4 n", "共和国 9 n", "中华人民共和国 40 ns", "ab 3 eng"]

# B/E/M/S model: 小 opens a word, 晓 continues it, 明 and 五 close it, 的 and
# 了 stand alone; every other character is unknown to it.
HMM_LINES = [
    "# start",
    f"-0.6 {MIN} {MIN} -0.8",
    "# transitions",
    f"{MIN} -0.5 -0.9 {MIN}",
    f"-0.7 {MIN} {MIN} -0.7",
    f"{MIN} -0.6 -0.8 {MIN}",
    f"-0.7 {MIN} {MIN} -0.7",
    "# emissions",
    "小:-1.0,王:-1.0",
    "明:-1.0,五:-1.0",
    "晓:-1.0",
    "的:-0.5,了:-0.5,小:-5,明:-5",
]


class Data:
    """Small segmenter data files in a folder of their own."""

    def __init__(self, root):
        self.root = root
        self.paths = {
            "dict_path": self.write("dict.txt", DICT),
            "hmm_path": self.write("hmm.model", HMM_LINES),
            "user_dict_path": "",
            "idf_path": self.write("idf.txt", ["北京 5.5", "天安门 7.25"]),
            "stop_word_path": self.write("stop.txt", ["的", "了"]),
        }

    def write(self, name, content, end="\n"):
        """Writes bytes, a str, or lines each ended by `end`."""
        if isinstance(content, list):
            content = "".join(line + end for line in content)
        path = self.root / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return str(path)

    def segmenter(self, **overrides):
        return pynorvane.Segmenter(**dict(self.paths, **overrides))


@pytest.fixture
def data(tmp_path):
    return Data(tmp_path)


@pytest.fixture
def seg(data):
    return data.segmenter()


def trained(*documents, **params):
    model = pynorvane.BM25(**params)
    for document in documents:
        model.train(document)
    return model


@pytest.fixture
def milvus_server(tmp_path):
    """The address of a Milvus Lite server on a local TCP port: the Milvus
    path as a server index takes it."""
    pytest.importorskip("pymilvus")
    server = pytest.importorskip("milvus_lite.server")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    milvus = server.Server(str(tmp_path / "server.db"), address=f"127.0.0.1:{port}")
    if not milvus.init() or not milvus.start():
        pytest.skip("Milvus Lite cannot serve over TCP here")
    yield f"http://127.0.0.1:{port}"
    milvus.stop()
