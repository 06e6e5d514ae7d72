"""Ctrl-C during a long encoder call: KeyboardInterrupt arrives soon, and the
statistics are those from before the call."""

import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent("""
    import json, sys, time
    import norvane

    encoder = norvane.SparseEncoder().fit(["北京天气很好", "芯片"])
    before = (encoder.document_count, encoder._native.model_text())
    texts = ["北京的天气很好，芯片的数据在搜索引擎里%d" % i for i in range(int(sys.argv[2]))]
    call = getattr(encoder, sys.argv[1])
    print("ready", flush=True)
    try:
        call(texts)
        print(json.dumps({"finished": True}), flush=True)
    except KeyboardInterrupt:
        caught = time.monotonic()
        after = (encoder.document_count, encoder._native.model_text())
        print(json.dumps({"caught": caught, "unchanged": after == before}), flush=True)
""")


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to another process")
@pytest.mark.parametrize("call", ["fit", "fit_encode_documents", "encode_documents",
                                  "encode_queries"])
def test_ctrl_c_stops_a_long_call_and_keeps_the_statistics(call):
    # Far more than a second's work, so the signal lands inside the call.
    child = subprocess.Popen([sys.executable, "-c", CHILD, call, "1500000"],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        report = json.loads(child.stdout.readline())
        assert child.wait(60) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert "finished" not in report, "the call ended before the signal: make the batch bigger"
    assert report["unchanged"]
    # Generous: the call itself stops within milliseconds.
    assert report["caught"] - sent < 1.5
