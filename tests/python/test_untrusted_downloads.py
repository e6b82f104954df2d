"""load_dataset against hostile servers on 127.0.0.1: names that would leave
the dataset path, redirects to other origins, servers that drip bytes, bodies
larger than allowed (also once decompressed)."""

import gzip
import json
import time
import tracemalloc
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import threading

import pandas as pd
import pytest

import brinvale.brinvale as bv
from brinvale.brinvale import load_dataset

CSV = "a,b\n1,x\n2,鸢尾\n"
META = json.dumps({"description": "d", "data_type": "dataframe", "suffix": "csv"})


class Server:
    """Routes of path -> handler(request); every request path is recorded."""

    def __init__(self):
        self.routes = {}
        self.requests = []
        routes, requests = self.routes, self.requests

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                requests.append(self.path)
                route = routes.get(self.path.split("?")[0])
                if route is None:
                    self.reply(404, b"not found")
                else:
                    try:
                        route(self)
                    except (BrokenPipeError, ConnectionResetError):
                        pass

            def reply(self, status, body, headers=()):
                self.send_response(status)
                for k, v in headers:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.origin = f"http://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()

    def file(self, path, body, headers=()):
        data = body.encode() if isinstance(body, str) else body
        self.routes[path] = lambda h: h.reply(200, data, headers)

    def redirect(self, path, location, status=302):
        self.routes[path] = lambda h: h.reply(status, b"", [("Location", location)])

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def servers(monkeypatch):
    made = []

    def make():
        s = Server()
        made.append(s)
        return s

    monkeypatch.setattr(bv, "DATASET_TIMEOUT", (2.0, 2.0))
    yield make
    for s in made:
        s.close()


@pytest.fixture
def first(servers, monkeypatch):
    """The server of the base URL."""
    s = servers()
    monkeypatch.setattr(bv, "DATASET_BASE_URL", s.origin + "/dataset/public/")
    return s


def serve_iris(site, csv_path="/dataset/public/iris/iris.csv"):
    site.file("/dataset/public/iris/iris.json", META)
    site.file(csv_path, CSV)


@pytest.mark.parametrize(
    "name", ["../etc/passwd", "..", ".", "a/b", "iris?x=1", "iris#x", "a b", "", "iris%2F..", "鸢尾",
             "a\\b", "iris\n", "x..y"])
def test_bad_names_are_refused_before_any_request(first, name):
    with pytest.raises(ValueError, match="invalid dataset name"):
        load_dataset(name)
    assert first.requests == []


@pytest.mark.parametrize("name", ["iris", "Iris_2-v1.0", "a.b"])
def test_good_names_are_fetched(first, name):
    first.file(f"/dataset/public/{name}/{name}.json", META)
    first.file(f"/dataset/public/{name}/{name}.csv", CSV)
    assert load_dataset(name).data["a"].tolist() == [1, 2]


def test_same_origin_redirect_is_followed(first):
    first.redirect("/dataset/public/iris/iris.json", "/mirror/iris.json", 301)
    first.file("/mirror/iris.json", META)
    first.redirect("/dataset/public/iris/iris.csv", first.origin + "/mirror/iris.csv", 307)
    first.file("/mirror/iris.csv", CSV)
    ds = load_dataset("iris")
    assert ds.data["b"].tolist() == ["x", "鸢尾"]


@pytest.mark.parametrize("where", ["other server", "other host name", "other scheme"])
def test_redirect_to_another_origin_is_refused(first, servers, capsys, where):
    other = servers()
    other.file("/dataset/public/iris/iris.json", META)
    target = {
        "other server": other.origin + "/dataset/public/iris/iris.json",
        "other host name": f"http://localhost:{first.port}/dataset/public/iris/iris.json",
        "other scheme": f"https://127.0.0.1:{first.port}/dataset/public/iris/iris.json",
    }[where]
    first.redirect("/dataset/public/iris/iris.json", target)
    with pytest.raises(UnboundLocalError, match="json_data"):
        load_dataset("iris")
    out = capsys.readouterr().out
    assert "Error: refusing the redirect" in out and target in out
    assert other.requests == []
    assert first.requests == ["/dataset/public/iris/iris.json"]


def test_redirect_loop_ends(first, capsys):
    first.redirect("/dataset/public/iris/iris.json", "/dataset/public/iris/iris.json")
    with pytest.raises(UnboundLocalError):
        load_dataset("iris")
    assert "too many redirects" in capsys.readouterr().out
    assert len(first.requests) <= 6


def drip(head, body_bytes, delay, limit_seconds=20):
    """A handler writing `head` and then one body byte every `delay` seconds
    (bounded, so the server thread always ends)."""

    def handle(h):
        end = time.monotonic() + limit_seconds
        h.wfile.write(head)
        h.wfile.flush()
        for _ in range(body_bytes):
            if time.monotonic() > end:
                return
            time.sleep(delay)
            h.wfile.write(b"a")
            h.wfile.flush()

    return handle


@pytest.mark.parametrize("phase", ["body", "headers"])
def test_dripping_server_meets_the_deadline(first, monkeypatch, capsys, phase):
    monkeypatch.setattr(bv, "DATASET_TIMEOUT", (1.0, 1.0))
    monkeypatch.setattr(bv, "DATASET_DEADLINE", 1.5)
    if phase == "body":
        head = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"
    else:
        head = b"HTTP/1.1 200 OK\r\nX-Slow: "
    first.routes["/dataset/public/iris/iris.json"] = drip(head, 1000, 0.2)
    start = time.monotonic()
    with pytest.raises(UnboundLocalError, match="json_data"):
        load_dataset("iris")
    elapsed = time.monotonic() - start
    assert elapsed < 6, elapsed
    assert "DATASET_DEADLINE" in capsys.readouterr().out


def chunked(parts):
    def handle(h):
        h.send_response(200)
        h.send_header("Transfer-Encoding", "chunked")
        h.end_headers()
        for p in parts:
            h.wfile.write(b"%x\r\n%s\r\n" % (len(p), p))
        h.wfile.write(b"0\r\n\r\n")

    return handle


@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_oversized_body_is_refused(first, monkeypatch, capsys, framing):
    monkeypatch.setattr(bv, "DATASET_MAX_BYTES", 10_000)
    serve_iris(first)
    big = ("a,b\n" + "1,x\n" * 10_000).encode()
    if framing == "length":
        first.file("/dataset/public/iris/iris.csv", big)
    else:
        first.routes["/dataset/public/iris/iris.csv"] = chunked([big[i:i + 4096] for i in range(0, len(big), 4096)])
    with pytest.raises(UnboundLocalError, match="'data'"):
        load_dataset("iris")
    assert "DATASET_MAX_BYTES" in capsys.readouterr().out


def test_gzip_bomb_is_refused_while_expanding(first, monkeypatch, capsys):
    monkeypatch.setattr(bv, "DATASET_MAX_BYTES", 1 << 20)
    serve_iris(first)
    bomb = gzip.compress(b"0" * (200 << 20), 9)
    assert len(bomb) < 1 << 20
    first.file("/dataset/public/iris/iris.csv", bomb, [("Content-Encoding", "gzip")])
    tracemalloc.start()
    try:
        with pytest.raises(UnboundLocalError, match="'data'"):
            load_dataset("iris")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert "DATASET_MAX_BYTES" in capsys.readouterr().out
    assert peak < 16 << 20


@pytest.mark.parametrize("coding", ["gzip", "deflate", "raw deflate"])
def test_compressed_bodies_decode(first, coding):
    data = CSV.encode()
    if coding == "gzip":
        body = gzip.compress(data)
    elif coding == "deflate":
        body = zlib.compress(data)
    else:
        c = zlib.compressobj(wbits=-15)
        body = c.compress(data) + c.flush()
    first.file("/dataset/public/iris/iris.json", META)
    first.file("/dataset/public/iris/iris.csv", body,
               [("Content-Encoding", coding.replace("raw ", ""))])
    pd.testing.assert_frame_equal(load_dataset("iris").data, pd.DataFrame({"a": [1, 2], "b": ["x", "鸢尾"]}))


def test_unknown_content_encoding_is_refused(first, capsys):
    serve_iris(first)
    first.file("/dataset/public/iris/iris.csv", b"\x00\x01", [("Content-Encoding", "br")])
    with pytest.raises(UnboundLocalError):
        load_dataset("iris")
    assert "unsupported Content-Encoding 'br'" in capsys.readouterr().out
