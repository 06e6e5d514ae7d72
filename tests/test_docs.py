"""Every Python block of the README and docs/ runs as written: a doctest
block (``>>>``) must print what it shows, any other block must run without
error. A block preceded by ``<!-- not run: REASON -->`` (one that needs a
server) is skipped; blocks that read ``corpus/*.txt`` find a small one."""

import doctest
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
BLOCK = re.compile(r"(?:<!-- not run: (?P<reason>[^>]*) -->\n)?```python\n(?P<code>.*?)```",
                   re.S)
NEEDS = {"norvane.dask": "dask", 'backend="milvus-lite"': "milvus_lite",
         "langchain": "langchain_core", "llamaindex": "llama_index.core",
         "qdrant_client": "qdrant_client"}


def blocks():
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in BLOCK.finditer(text):
            line = text.count("\n", 0, match.start("code")) + 1
            yield pytest.param(match.group("code"), match.group("reason"),
                               id=f"{page.relative_to(ROOT)}:{line}")


@pytest.mark.parametrize("code, reason", list(blocks()))
def test_block_runs(tmp_path, code, reason):
    if reason:
        pytest.skip(reason)
    for marker, module in NEEDS.items():
        if marker in code:
            pytest.importorskip(module)
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i, city in enumerate(["北京", "上海", "广州"]):
        (corpus / f"{i}.txt").write_text(f"{city}今天天气晴朗。\n{city}的新能源汽车销量增长。\n",
                                         encoding="utf-8")
    if code.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(code, {}, "block", None, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.failures == 0
        return
    script = tmp_path / "block.py"
    script.write_text(code, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
