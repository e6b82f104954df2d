"""load_dataset against real HTTP servers on 127.0.0.1."""

import json
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pandas as pd
import pytest

import brinvale.brinvale as bv
from brinvale.brinvale import load_dataset

IRIS_CSV = "sepal_length,species\n5.1,setosa\n6.2,virginica\n4.9,鸢尾\n"
IRIS_META = {"description": "鸢尾花数据集", "data_type": "dataframe", "suffix": "csv"}


class Site:
    """Files served under /dataset/public/, with the request paths seen."""

    def __init__(self):
        self.files = {}
        self.requests = []

    def add(self, name, body, status=200, content_type="text/plain; charset=latin-1"):
        self.files["/dataset/public/" + name] = (status, body, content_type)


@pytest.fixture
def site(monkeypatch):
    site = Site()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            site.requests.append(self.path)
            status, body, ctype = site.files.get(self.path, (404, "not found", "text/plain"))
            data = body.encode("utf-8")
            self.send_response(status)
            # a wrong declared charset: the loader decodes as UTF-8 anyway
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    base = f"http://127.0.0.1:{server.server_address[1]}/dataset/public/"
    monkeypatch.setattr(bv, "DATASET_BASE_URL", base)
    site.base = base
    yield site
    server.shutdown()
    server.server_close()


def test_default_endpoint_is_https_public_path():
    assert bv.DATASET_BASE_URL.startswith("https://")
    assert bv.DATASET_BASE_URL.endswith("/dataset/public/")
    connect, read = bv.DATASET_TIMEOUT
    assert connect > 0 and read > 0


def test_loads_metadata_then_csv(site, capsys):
    site.add("iris/iris.json", json.dumps(IRIS_META, ensure_ascii=False))
    site.add("iris/iris.csv", IRIS_CSV)
    ds = load_dataset("iris")
    assert site.requests == ["/dataset/public/iris/iris.json", "/dataset/public/iris/iris.csv"]
    assert (ds.prefix, ds.name) == (site.base, "iris")
    assert (ds.description, ds.data_type, ds.suffix) == ("鸢尾花数据集", "dataframe", "csv")
    pd.testing.assert_frame_equal(
        ds.data,
        pd.DataFrame({"sepal_length": [5.1, 6.2, 4.9], "species": ["setosa", "virginica", "鸢尾"]}),
    )
    out = capsys.readouterr().out.splitlines()
    assert out == [
        f"starting request {site.base}iris/iris.json ...",
        f"starting request {site.base}iris/iris.csv ...",
    ]
    text = str(ds)
    assert text.startswith(f"{{'name': 'iris', 'url': '{site.base}', 'description': '鸢尾花数据集'")
    assert "'data_type': 'dataframe', 'data': " in text


def test_prefix_is_taken_at_construction(site):
    site.add("iris/iris.json", json.dumps(IRIS_META))
    site.add("iris/iris.csv", IRIS_CSV)
    ds = load_dataset("iris")
    bv.DATASET_BASE_URL = "https://elsewhere.invalid/dataset/public/"
    assert ds.prefix == site.base


def test_metadata_404(site, capsys):
    with pytest.raises(UnboundLocalError, match="local variable 'json_data'"):
        load_dataset("missing")
    out = capsys.readouterr().out.splitlines()
    assert out == [
        f"starting request {site.base}missing/missing.json ...",
        "Error: Error: Unable to fetch data. Status code: 404",
    ]
    assert site.requests == ["/dataset/public/missing/missing.json"]


def test_data_404(site, capsys):
    site.add("iris/iris.json", json.dumps(IRIS_META))
    with pytest.raises(UnboundLocalError, match="local variable 'data'"):
        load_dataset("iris")
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "Error: Error: Unable to fetch data. Status code: 404"


def test_malformed_metadata(site, capsys):
    site.add("bad/bad.json", "{not json")
    with pytest.raises(UnboundLocalError, match="json_data"):
        load_dataset("bad")
    assert capsys.readouterr().out.splitlines()[-1].startswith("Error: Expecting property name")


def test_metadata_without_key(site):
    site.add("nokey/nokey.json", json.dumps({"description": "x", "data_type": "dataframe"}))
    with pytest.raises(KeyError, match="suffix"):
        load_dataset("nokey")


@pytest.mark.parametrize(
    "meta, message",
    [
        (
            {"description": "", "data_type": "ndarray", "suffix": "csv"},
            "opening files in ndarray format is not supported currently",
        ),
        (
            {"description": "", "data_type": "dataframe", "suffix": "xlsx"},
            "opening files in xlsx suffix is not supported currently",
        ),
    ],
)
def test_unsupported_type_and_suffix(site, meta, message):
    site.add("odd/odd.json", json.dumps(meta))
    with pytest.raises(Exception, match=message) as info:
        load_dataset("odd")
    assert type(info.value) is Exception
    # nothing is fetched for a kind the loader cannot read
    assert site.requests == ["/dataset/public/odd/odd.json"]


def test_silent_server_times_out(monkeypatch, capsys):
    # accepts connections (the kernel completes the handshake) but never answers
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(8)
    try:
        monkeypatch.setattr(bv, "DATASET_BASE_URL", f"http://127.0.0.1:{sock.getsockname()[1]}/dataset/public/")
        monkeypatch.setattr(bv, "DATASET_TIMEOUT", (0.5, 0.5))
        with pytest.raises(UnboundLocalError, match="json_data"):
            load_dataset("iris")
        out = capsys.readouterr().out
        assert "Error: " in out and "timed out" in out
    finally:
        sock.close()


@pytest.mark.parametrize("name", [1, None, b"iris", type("S", (str,), {})("iris")])
def test_name_type_rejected_before_any_request(site, name):
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str"):
        load_dataset(name)
    assert site.requests == []
