import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pynorvane

STUB = pathlib.Path(pynorvane.__file__).with_name("pynorvane-stubs") / "__init__.pyi"


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {
        node.name: {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }


def test_stub_is_installed_and_matches_the_module():
    classes = stub_classes()
    public = {name for name in dir(pynorvane) if not name.startswith("_")}
    assert set(classes) == public
    for name, methods in classes.items():
        runtime = {m for m in vars(getattr(pynorvane, name)) if not m.startswith("_")}
        assert set(methods) - {"__init__"} == runtime, name
        for method, node in methods.items():
            # pybind11 renders the parameter names into the first docstring line
            doc = inspect.getdoc(getattr(getattr(pynorvane, name), method)) or ""
            for arg in node.args.args[1:] + node.args.posonlyargs[1:]:
                assert f"{arg.arg}: " in doc, (name, method, arg.arg)


GOOD = """
    from typing import Dict, List
    import norvane, pynorvane
    seg = pynorvane.Segmenter(**norvane.default_paths())
    words: List[str] = seg.cut("我爱北京") + seg.cut_for_search(b"...")
    bm25 = pynorvane.BM25(b=0.5)
    bm25.train(words)
    weights: Dict[int, float] = bm25.encode_query([1, 2])
"""
# Each line is one mistake the checker must report.
BAD = """
    import norvane, pynorvane
    words: str = pynorvane.Segmenter(**norvane.default_paths()).cut("x")
    pynorvane.BM25(b="0.5")
    pynorvane.BM25().encode_document([1.5])
    norvane.default_paths()["dict_path"].decode()
"""


def test_type_checker_finds_the_installed_types(tmp_path):
    for name, body in [("good.py", GOOD), ("bad.py", BAD)]:
        (tmp_path / name).write_text(textwrap.dedent(body).lstrip())
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py"],
        cwd=tmp_path, capture_output=True, text=True)
    errors = sorted({line.split(":")[:2][1] for line in result.stdout.splitlines()
                     if line.startswith("bad.py:") and ": error:" in line})
    assert "good.py" not in result.stdout and "import" not in result.stdout, result.stdout
    assert errors == ["2", "3", "4", "5"], result.stdout
