#include "regular_file.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brinvale::bind {

namespace {

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

const char *kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

[[noreturn]] void raise_errno(int error, const py::object &path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

// Closes the descriptor on every path out of the reader.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

[[noreturn]] void over_limit(const py::object &path, std::uint64_t size, std::uint64_t limit,
                             const std::string &setting, bool at_least) {
    raise(PyExc_ValueError, "cannot read " + text(path) + ": it holds " +
                                (at_least ? "more than " : "") + std::to_string(size) +
                                " bytes, over the limit of " + std::to_string(limit) + " bytes (" +
                                setting + ")");
}

}  // namespace

py::bytes read_regular_file(const py::object &path, std::uint64_t limit,
                            const std::string &setting) {
    PyObject *encoded = nullptr;
    if (PyUnicode_FSConverter(path.ptr(), &encoded) == 0) {
        throw py::error_already_set();
    }
    py::object name = py::reinterpret_steal<py::object>(encoded);
    // O_NONBLOCK: opening a FIFO returns at once instead of waiting for a
    // writer; the type is then read from the opened descriptor itself, so a
    // path swapped for another kind of file in between is judged as opened.
    int fd = -1;
    int error = 0;
    struct stat st{};
    {
        py::gil_scoped_release release;
        fd = ::open(PyBytes_AS_STRING(name.ptr()), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            error = errno;
        } else if (::fstat(fd, &st) != 0) {
            error = errno;
        }
    }
    Descriptor guard{fd};
    if (error != 0) {
        raise_errno(error, path);
    }
    if (S_ISDIR(st.st_mode)) {
        raise_errno(EISDIR, path);
    }
    if (!S_ISREG(st.st_mode)) {
        raise(PyExc_ValueError, "cannot read " + text(path) + ": it is " + kind_of(st.st_mode) +
                                    ", not a regular file");
    }
    // no bytes object is longer than this, whatever the setting
    limit = std::min<std::uint64_t>(limit, PY_SSIZE_T_MAX - 1);
    const auto declared = static_cast<std::uint64_t>(st.st_size);
    if (declared > limit) {
        over_limit(path, declared, limit, setting, false);
    }
    // The file may change while it is read: the bytes read count, not the
    // size it declared, and never more than the limit.
    std::uint64_t capacity = declared + 1;
    PyObject *buffer = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (buffer == nullptr) {
        throw py::error_already_set();
    }
    py::object result = py::reinterpret_steal<py::object>(buffer);
    std::uint64_t used = 0;
    while (true) {
        if (used == capacity) {
            if (capacity > limit) {
                over_limit(path, limit, limit, setting, true);
            }
            const std::uint64_t grown = std::min<std::uint64_t>(limit + 1, capacity * 2 + 65536);
            PyObject *raw = result.release().ptr();
            if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(grown)) != 0) {
                throw py::error_already_set();
            }
            result = py::reinterpret_steal<py::object>(raw);
            capacity = grown;
        }
        char *data = PyBytes_AS_STRING(result.ptr());
        ssize_t got = 0;
        {
            py::gil_scoped_release release;
            do {
                got = ::read(fd, data + used, static_cast<std::size_t>(capacity - used));
            } while (got < 0 && errno == EINTR);
            error = got < 0 ? errno : 0;
        }
        if (got < 0) {
            raise_errno(error, path);
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::uint64_t>(got);
        if (used > limit) {
            over_limit(path, limit, limit, setting, true);
        }
    }
    PyObject *raw = result.release().ptr();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(used)) != 0) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(raw);
}

void require_inside(const py::object &folder, const py::object &path) {
    py::module_ os_path = py::module_::import("os.path");
    py::object realpath = os_path.attr("realpath");
    py::object root = realpath(folder);
    py::object target = realpath(path);
    py::list both;
    both.append(root);
    both.append(target);
    bool inside = false;
    try {
        inside = os_path.attr("commonpath")(both).equal(root) && !target.equal(root);
    } catch (py::error_already_set &e) {
        // paths on different drives have no common path
        if (!e.matches(PyExc_ValueError)) {
            throw;
        }
    }
    if (!inside) {
        raise(PyExc_ValueError, "cannot load the result folder " + text(folder) + ": " +
                                    text(path) + " leads outside the folder (to " + text(target) +
                                    "); the files of a result folder must lie inside it");
    }
}

std::uint64_t byte_limit(const py::object &module, const char *name, const char *qualified) {
    py::object value = module.attr(name);
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()) ||
        PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        raise(PyExc_ValueError, std::string(qualified) +
                                    " must be a non-negative number of bytes, got " +
                                    py::repr(value).cast<std::string>());
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(value.ptr());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // larger than any file
        return std::numeric_limits<std::uint64_t>::max();
    }
    return n;
}

}  // namespace brinvale::bind
