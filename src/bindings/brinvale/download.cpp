// HTTP downloads of the public datasets, bounded: dataset names cannot leave
// the dataset path, redirects stay on the origin asked, the whole exchange
// (redirects, headers and body) ends by a deadline, and the body may expand
// (also from gzip or deflate) to a limited number of bytes.  requests' read
// time-out applies to each read only, so a server that drips a byte at a time
// would otherwise hold the caller forever.
#include "workbench.hpp"

#include <memory>
#include <string>

namespace brinvale::workbench {

namespace {

constexpr double kDeadline = 300.0;           // seconds per file
constexpr long long kMaxBytes = 512LL << 20;  // 512 MiB per file
constexpr int kMaxRedirects = 5;
constexpr long long kChunk = 64 << 10;

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

[[noreturn]] void fail(const std::string &message) {
    bind::raise_object(PyExc_Exception, py::str(message));
}

// (scheme, host, port) of a URL, with the scheme's default port.
py::tuple origin(const py::object &url) {
    py::object parts = py::module_::import("urllib.parse").attr("urlsplit")(url);
    py::object scheme = parts.attr("scheme").attr("lower")();
    py::object host = parts.attr("hostname");
    py::object port = parts.attr("port");
    if (port.is_none()) {
        const std::string s = text(scheme);
        port = py::int_(s == "https" ? 443 : s == "http" ? 80 : 0);
    }
    return py::make_tuple(scheme, host, port);
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

// Body bytes, decompressed as the server declared, at most `limit` of them.
class BodyReader {
  public:
    BodyReader(const py::object &response, const py::object &url, long long limit)
        : url_(url), limit_(limit) {
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

    void feed(py::object data) {
        if (decoder_.is_none()) {
            add(data);
            return;
        }
        if (deflate_ && first_) {
            // "deflate" is meant as zlib data; some servers send raw deflate
            first_ = false;
            py::object probe = py::module_::import("zlib").attr("decompressobj")(
                py::module_::import("zlib").attr("MAX_WBITS"));
            try {
                probe.attr("decompress")(data, 1);
            } catch (py::error_already_set &e) {
                if (!e.matches(py::module_::import("zlib").attr("error"))) {
                    throw;
                }
                decoder_ = py::module_::import("zlib").attr("decompressobj")(
                    -py::module_::import("zlib").attr("MAX_WBITS").cast<int>());
            }
        }
        py::object input = data;
        while (true) {
            add(decoder_.attr("decompress")(input, limit_ - total_ + 1));
            input = decoder_.attr("unconsumed_tail");
            if (py::len(input) == 0) {
                break;
            }
        }
    }

    py::bytes finish() {
        if (!decoder_.is_none()) {
            add(decoder_.attr("flush")());
        }
        return py::bytes(py::bytes("").attr("join")(parts_));
    }

  private:
    void add(const py::object &bytes) {
        total_ += static_cast<long long>(py::len(bytes));
        if (total_ > limit_) {
            fail("the response from " + text(url_) + " is larger than " + std::to_string(limit_) +
                 " bytes (brinvale.brinvale.DATASET_MAX_BYTES)");
        }
        parts_.append(bytes);
    }

    py::object url_;
    long long limit_;
    long long total_ = 0;
    py::object decoder_ = py::none();
    bool deflate_ = false;
    bool first_ = true;
    py::list parts_;
};

}  // namespace

void register_download_settings(py::module_ &m) {
    m.attr("DATASET_DEADLINE") = py::float_(kDeadline);
    m.attr("DATASET_MAX_BYTES") = py::int_(kMaxBytes);
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

py::tuple fetch(const py::module_ &m, const py::object &url) {
    py::module_ requests = py::module_::import("requests");
    py::object monotonic = py::module_::import("time").attr("monotonic");
    const double deadline_s = number_setting(m, "DATASET_DEADLINE");
    py::object max_bytes = m.attr("DATASET_MAX_BYTES");
    if (!PyLong_Check(max_bytes.ptr()) || PyBool_Check(max_bytes.ptr()) ||
        max_bytes.cast<long long>() < 0) {
        bind::raise(PyExc_ValueError,
                    "brinvale.brinvale.DATASET_MAX_BYTES must be a number of bytes, got " +
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
    const py::tuple home = origin(url);
    py::object current = url;
    auto body = [&]() -> py::tuple {
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
                    if (!origin(target).equal(home)) {
                        fail("refusing the redirect from " + text(current) + " to " + text(target) +
                             ": a dataset is only fetched from the origin of " + text(url));
                    }
                    if (hop == kMaxRedirects) {
                        fail("too many redirects (more than " + std::to_string(kMaxRedirects) +
                             ") from " + text(url));
                    }
                    current = target;
                    continue;
                }
                py::object status = response.attr("status_code");
                if (!status.equal(py::int_(200))) {
                    response.attr("close")();
                    return py::make_tuple(status, py::none());
                }
                BodyReader reader(response, current, limit);
                py::object raw = response.attr("raw");
                while (true) {
                    if (monotonic().cast<double>() > deadline) {
                        out_of_time(current);
                    }
                    py::object data = raw.attr("read")(kChunk, "decode_content"_a = false);
                    if (py::len(data) == 0) {
                        break;
                    }
                    reader.feed(data);
                }
                if (watch->expired) {
                    out_of_time(current);  // the socket was closed under the read
                }
                py::bytes content = reader.finish();
                response.attr("close")();
                return py::make_tuple(status,
                                      content.attr("decode")("utf-8", "errors"_a = "replace"));
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
        py::tuple result = body();
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
