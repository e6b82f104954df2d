// HTTP downloads of the public datasets, bounded: dataset names cannot leave
// the dataset path, redirects stay on the origin asked, the whole exchange
// (redirects, headers and body) ends by a deadline, and the body may expand
// (also from gzip or deflate) to a limited number of bytes, which reach the
// parser as a stream: the body is never held whole beside its text.
// requests' read time-out applies to each read only, so a server that drips a
// byte at a time would otherwise hold the caller forever.
#include "workbench.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace brinvale::workbench {

namespace {

constexpr double kDeadline = 300.0;             // seconds per file
constexpr long long kMaxBytes = 512LL << 20;    // 512 MiB per file
constexpr long long kMetaMaxBytes = 1LL << 20;  // 1 MiB per metadata file
constexpr int kMaxRedirects = 5;
constexpr long long kChunk = 64 << 10;

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

[[noreturn]] void fail(const std::string &message) {
    bind::raise_object(PyExc_Exception, py::str(message));
}

// The URL requests sends for `url`: it rebuilds every URL through urllib3's
// parser before connecting, and may read one differently from the standard
// library ("http://a:1\\@b:2/" goes to a:1 with urllib3, to b:2 with
// urlsplit).
py::object prepared_url(const py::object &url) {
    py::object request = py::module_::import("requests.models").attr("PreparedRequest")();
    request.attr("prepare_url")(url, py::none());
    return request.attr("url");
}

// (scheme, host, port) of one parse, with the scheme's default port.
py::tuple origin_of(py::object scheme, py::object host, py::object port) {
    scheme = scheme.is_none() ? py::str("") : py::str(scheme).attr("lower")();
    host = host.is_none() ? py::str("") : py::str(host).attr("lower")().attr("strip")("[]");
    if (port.is_none()) {
        const std::string s = text(scheme);
        port = py::int_(s == "https" ? 443 : s == "http" ? 80 : 0);
    }
    return py::make_tuple(scheme, host, port);
}

// The origin a request for `url` connects to, as urllib3 reads the URL that
// requests sends; a URL that the standard library reads otherwise, or that
// preparing changes again, is refused, so that no parser used on the way
// sees another host.
py::tuple origin(const py::object &url, py::object &sent) {
    auto refuse = [&](const std::string &why) {
        fail("refusing the URL " + py::repr(url).cast<std::string>() + ": " + why);
    };
    try {
        sent = prepared_url(url);
        if (!prepared_url(sent).equal(sent)) {
            refuse("it changes each time it is prepared");
        }
        py::object ours = py::module_::import("urllib3.util").attr("parse_url")(sent);
        py::object theirs = py::module_::import("urllib.parse").attr("urlsplit")(sent);
        py::tuple a = origin_of(ours.attr("scheme"), ours.attr("host"), ours.attr("port"));
        py::tuple b =
            origin_of(theirs.attr("scheme"), theirs.attr("hostname"), theirs.attr("port"));
        // and the URL as given, which a reader of it (or of a log) takes
        // for the place asked
        py::object given = py::module_::import("urllib.parse").attr("urlsplit")(url);
        py::object host = given.attr("hostname");
        if (!host.is_none() && !py::str(host).attr("isascii")().cast<bool>()) {
            host = host.attr("encode")("idna").attr("decode")("ascii");
        }
        py::tuple c = origin_of(given.attr("scheme"), host, given.attr("port"));
        if (!a.equal(b) || !a.equal(c)) {
            refuse("requests sends it to " + py::repr(a).cast<std::string>() +
                   " while the standard library reads it as " +
                   py::repr(a.equal(b) ? c : b).cast<std::string>());
        }
        return a;
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ValueError) ||
            e.matches(py::module_::import("requests.exceptions").attr("RequestException")) ||
            e.matches(py::module_::import("urllib3.exceptions").attr("HTTPError"))) {
            refuse(py::str(e.value()).cast<std::string>());
        }
        throw;
    }
}

double number_setting(const py::module_ &m, const char *name) {
    py::object value = m.attr(name);
    if (!(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) || PyBool_Check(value.ptr()) ||
        value.cast<double>() <= 0) {
        bind::raise(PyExc_ValueError, std::string("brinvale.brinvale.") + name +
                                          " must be a positive number, got " +
                                          py::repr(value).cast<std::string>());
    }
    return value.cast<double>();
}

// Connections the exchange opened, so that the deadline can close their
// sockets under a read that is waiting in another thread.
struct Watch {
    py::list connections;
    bool expired = false;
};

// requests hands every request to a connection pool obtained from its
// adapter; the pools' connections are recorded as they are taken.
void record_connections(const py::object &adapter, const std::shared_ptr<Watch> &watch) {
    for (const char *getter : {"get_connection_with_tls_context", "get_connection"}) {
        if (!py::hasattr(adapter, getter)) {
            continue;
        }
        py::object original = adapter.attr(getter);
        py::setattr(adapter, getter,
                    py::cpp_function([original, watch](py::args args, py::kwargs kwargs) {
                        py::object pool = original(*args, **kwargs);
                        if (!py::hasattr(pool, "_brinvale_watched")) {
                            py::object take = pool.attr("_get_conn");
                            py::setattr(pool, "_get_conn",
                                        py::cpp_function([take, watch](py::args a, py::kwargs k) {
                                            py::object conn = take(*a, **k);
                                            watch->connections.append(conn);
                                            return conn;
                                        }));
                            py::setattr(pool, "_brinvale_watched", py::bool_(true));
                        }
                        return pool;
                    }));
    }
}

void close_sockets(const std::shared_ptr<Watch> &watch) {
    watch->expired = true;
    py::module_ socket = py::module_::import("socket");
    for (py::handle conn : watch->connections) {
        py::object sock = py::getattr(conn, "sock", py::none());
        if (sock.is_none()) {
            continue;
        }
        try {
            // the plain socket's shutdown: a TLS socket's own would also
            // drop its TLS state under the reading thread
            socket.attr("socket").attr("shutdown")(sock, socket.attr("SHUT_RDWR"));
        } catch (py::error_already_set &) {
            // already closed
        }
    }
}

// Body bytes, decompressed as the server declared, at most `limit` of them,
// pulled a piece at a time.
class BodyReader {
  public:
    BodyReader(const py::object &response, const py::object &url, long long limit,
               std::function<void()> check_time)
        : raw_(response.attr("raw")), url_(url), limit_(limit), check_time_(std::move(check_time)) {
        py::object zlib = py::module_::import("zlib");
        const std::string coding = text(response.attr("headers")
                                            .attr("get")("Content-Encoding", "")
                                            .attr("strip")()
                                            .attr("lower")());
        const int max_bits = zlib.attr("MAX_WBITS").cast<int>();
        if (coding == "gzip" || coding == "x-gzip") {
            decoder_ = zlib.attr("decompressobj")(16 + max_bits);
        } else if (coding == "deflate") {
            deflate_ = true;
            decoder_ = zlib.attr("decompressobj")(max_bits);
        } else if (!(coding.empty() || coding == "identity")) {
            fail("cannot read the response from " + text(url) + ": unsupported Content-Encoding '" +
                 coding + "'");
        }
    }

    // Up to `want` further body bytes; empty at the end of the body.
    py::bytes next(long long want) {
        want = std::max(1LL, std::min(want, kChunk));
        while (true) {
            if (done_) {
                return py::bytes("");
            }
            py::object data;
            if (decoder_.is_none()) {
                data = read_raw(want);
                if (py::len(data) == 0) {
                    done_ = true;
                }
            } else {
                data = inflate(want);
            }
            if (py::len(data) > 0) {
                add(static_cast<long long>(py::len(data)));
                return data;
            }
        }
    }

  private:
    py::object read_raw(long long n) {
        check_time_();
        py::object data = raw_.attr("read")(n, "decode_content"_a = false);
        check_time_();
        return data;
    }

    // Decompressed bytes of the pending input, reading more of it when none
    // is left; empty (with done_ set) at the end.
    py::object inflate(long long want) {
        py::module_ zlib = py::module_::import("zlib");
        if (py::len(pending_) == 0) {
            if (input_done_) {
                done_ = true;
                return decoder_.attr("flush")();
            }
            pending_ = read_raw(kChunk);
            if (py::len(pending_) == 0) {
                input_done_ = true;
                return py::bytes("");
            }
            if (deflate_ && first_) {
                // "deflate" is meant as zlib data; some servers send raw deflate
                first_ = false;
                py::object probe = zlib.attr("decompressobj")(zlib.attr("MAX_WBITS"));
                try {
                    probe.attr("decompress")(pending_, 1);
                } catch (py::error_already_set &e) {
                    if (!e.matches(zlib.attr("error"))) {
                        throw;
                    }
                    decoder_ = zlib.attr("decompressobj")(-zlib.attr("MAX_WBITS").cast<int>());
                }
            }
        }
        // at most one more byte than the limit allows, and never more than asked
        py::object out = decoder_.attr("decompress")(pending_, std::min(want, limit_ - total_ + 1));
        // (bytes after the end of the compressed stream go to unused_data
        // and are ignored)
        pending_ = decoder_.attr("unconsumed_tail");
        return out;
    }

    void add(long long n) {
        total_ += n;
        if (total_ > limit_) {
            fail("the response from " + text(url_) + " is larger than " + std::to_string(limit_) +
                 " bytes (brinvale.brinvale." + setting_ + ")");
        }
    }

  public:
    std::string setting_ = "DATASET_MAX_BYTES";

  private:
    py::object raw_;
    py::object url_;
    long long limit_;
    std::function<void()> check_time_;
    long long total_ = 0;
    py::object decoder_ = py::none();
    py::object pending_ = py::bytes("");
    bool deflate_ = false;
    bool first_ = true;
    bool input_done_ = false;
    bool done_ = false;
};

// The reader of a body refers to the frame of the download (its deadline):
// the stream loses it when the download ends, on every path, whoever still
// holds the stream.
struct Detached {
    py::object stream;
    explicit Detached(py::object s) : stream(std::move(s)) {}
    Detached(const Detached &) = delete;
    ~Detached() {
        if (PyObject_SetAttrString(stream.ptr(), "_pull", Py_None) != 0) {
            PyErr_Clear();
        }
    }
};

// A raw binary stream over a BodyReader, which the io module buffers and
// decodes; the class is made once.
py::object body_stream_class() {
    static py::object *cls = nullptr;
    if (cls == nullptr) {
        py::object base = py::module_::import("io").attr("RawIOBase");
        py::module_ m = py::reinterpret_borrow<py::module_>(global_module());
        py::object made = bind::make_class("_DownloadBody", py::make_tuple(base), m);
        bind::def_method(made, "readable", [](py::object) { return true; });
        bind::def_method(made, "readinto", [](py::object self, py::object target) {
            py::buffer view = py::reinterpret_borrow<py::buffer>(target);
            py::buffer_info info = view.request(true);
            const auto room = static_cast<long long>(info.size * info.itemsize);
            py::bytes data = self.attr("_pull")(room);
            std::string_view bytes = data;
            std::memcpy(info.ptr, bytes.data(), bytes.size());
            return static_cast<long long>(bytes.size());
        });
        cls = new py::object(made);  // lives as long as the module
    }
    return *cls;
}

}  // namespace

void register_download_settings(py::module_ &m) {
    m.attr("DATASET_DEADLINE") = py::float_(kDeadline);
    m.attr("DATASET_MAX_BYTES") = py::int_(kMaxBytes);
    m.attr("DATASET_META_MAX_BYTES") = py::int_(kMetaMaxBytes);
}

void check_dataset_name(py::handle name) {
    const std::string s = py::str(name).cast<std::string>();
    bool ok = !s.empty() && s.find("..") == std::string::npos && s != ".";
    for (char c : s) {
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.');
    }
    if (!ok) {
        bind::raise(PyExc_ValueError,
                    "invalid dataset name " + py::repr(name).cast<std::string>() +
                        ": a name is made of letters, digits, '_', '-' and '.' (not '..')");
    }
}

py::object fetch(const py::module_ &m, const py::object &url, const char *limit_name,
                 const std::function<py::object(py::object, py::object)> &consume) {
    py::module_ requests = py::module_::import("requests");
    py::object monotonic = py::module_::import("time").attr("monotonic");
    const double deadline_s = number_setting(m, "DATASET_DEADLINE");
    py::object max_bytes = m.attr(limit_name);
    if (!PyLong_Check(max_bytes.ptr()) || PyBool_Check(max_bytes.ptr()) ||
        max_bytes.cast<long long>() < 0) {
        bind::raise(PyExc_ValueError, std::string("brinvale.brinvale.") + limit_name +
                                          " must be a number of bytes, got " +
                                          py::repr(max_bytes).cast<std::string>());
    }
    const long long limit = max_bytes.cast<long long>();
    const double deadline = monotonic().cast<double>() + deadline_s;
    auto out_of_time = [&](const py::object &where) {
        fail("the download from " + text(where) + " took longer than " +
             py::str(py::float_(deadline_s)).cast<std::string>() +
             " seconds (brinvale.brinvale.DATASET_DEADLINE)");
    };

    auto watch = std::make_shared<Watch>();
    py::object session = requests.attr("Session")();
    for (const char *prefix : {"http://", "https://"}) {
        record_connections(session.attr("get_adapter")(prefix), watch);
    }
    py::object timer =
        py::module_::import("threading").attr("Timer")(deadline_s, py::cpp_function([watch]() {
                                                           close_sockets(watch);
                                                       }));
    timer.attr("daemon") = true;
    timer.attr("start")();

    py::dict headers;
    headers["Accept-Encoding"] = "gzip, deflate";
    py::object current;
    const py::tuple home = origin(url, current);
    auto body = [&]() -> py::object {
        for (int hop = 0;; ++hop) {
            py::object response;
            try {
                response = session.attr("get")(current, "timeout"_a = m.attr("DATASET_TIMEOUT"),
                                               "allow_redirects"_a = false, "stream"_a = true,
                                               "headers"_a = headers);
            } catch (py::error_already_set &) {
                if (watch->expired) {
                    out_of_time(current);
                }
                throw;
            }
            try {
                if (response.attr("is_redirect").cast<bool>()) {
                    py::object target =
                        py::module_::import("urllib.parse")
                            .attr("urljoin")(current, response.attr("headers")["location"]);
                    response.attr("close")();
                    py::object next;
                    if (!origin(target, next).equal(home)) {
                        fail("refusing the redirect from " + text(current) + " to " + text(target) +
                             ": a dataset is only fetched from the origin of " + text(url));
                    }
                    if (hop == kMaxRedirects) {
                        fail("too many redirects (more than " + std::to_string(kMaxRedirects) +
                             ") from " + text(url));
                    }
                    current = next;
                    continue;
                }
                py::object status = response.attr("status_code");
                if (!status.equal(py::int_(200))) {
                    response.attr("close")();
                    return consume(status, py::none());
                }
                auto reader = std::make_shared<BodyReader>(response, current, limit, [&] {
                    if (watch->expired || monotonic().cast<double>() > deadline) {
                        out_of_time(current);
                    }
                });
                reader->setting_ = limit_name;
                Detached raw{body_stream_class()()};
                raw.stream.attr("_pull") =
                    py::cpp_function([reader](long long want) { return reader->next(want); });
                py::module_ io = py::module_::import("io");
                py::object stream =
                    io.attr("TextIOWrapper")(io.attr("BufferedReader")(raw.stream, kChunk),
                                             "encoding"_a = "utf-8", "errors"_a = "replace");
                py::object result = consume(status, stream);
                response.attr("close")();
                return result;
            } catch (py::error_already_set &) {
                response.attr("close")();
                if (watch->expired) {
                    out_of_time(current);
                }
                throw;
            }
        }
    };
    try {
        py::object result = body();
        timer.attr("cancel")();
        session.attr("close")();
        return result;
    } catch (...) {
        timer.attr("cancel")();
        session.attr("close")();
        throw;
    }
}

}  // namespace brinvale::workbench
