// Input files that can cost more than they look: archives whose members
// expand far beyond their size on disk (npz, xlsx), and folder entries that are
// not files at all (a FIFO blocks the reader forever, a link to /dev/zero never
// ends).  Sizes are read from the zip directory before anything is expanded;
// the limits are module settings read at every call.
#include "workbench.hpp"

#include "regular_file.hpp"

#include "brinvale/pickle_scan.hpp"
#include "brinvale/sheet_extent.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;

constexpr std::uint64_t kNpzMaxBytes = std::uint64_t{4} << 30;   // 4 GiB
constexpr std::uint64_t kXlsxMaxBytes = std::uint64_t{1} << 30;  // 1 GiB
constexpr std::uint64_t kXlsxMaxRatio = 100;
constexpr std::uint64_t kRatioFloor = std::uint64_t{1} << 20;
// The grid a sheet is read into against the cells it holds, past 2**20 grid
// cells: genuine sheets fill most of their grid.
constexpr std::uint64_t kXlsxMaxGridRatio = 100;
constexpr std::uint64_t kGridFloor = std::uint64_t{1} << 20;
// Files of a result folder.  Model pickles of large forests reach hundreds of
// megabytes; the feature list is a list of names.
constexpr std::uint64_t kPickleMaxBytes = std::uint64_t{1} << 30;      // 1 GiB
constexpr std::uint64_t kFeaturesMaxBytes = std::uint64_t{64} << 20;   // 64 MiB
constexpr std::uint64_t kValidationMaxBytes = std::uint64_t{1} << 30;  // 1 GiB

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string quoted(py::handle obj) { return py::repr(obj).cast<std::string>(); }

std::uint64_t setting(const char *name) {
    py::object value = global(name);
    if (!PyLong_Check(value.ptr()) ||
        PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        bind::raise(PyExc_ValueError, std::string("brinvale.brinvale.") + name +
                                          " must be a non-negative number of bytes, got " +
                                          quoted(value));
    }
    return value.cast<std::uint64_t>();
}

// Every member's expanded size, as the archive's directory declares it.  The
// zip reader stops a member at its declared size (and then fails its CRC),
// so a directory that understates a member cannot expand further.
void check_zip_sizes(const py::object &archive, const py::object &path, const char *kind,
                     const char *setting_name) {
    const std::uint64_t limit = setting(setting_name);
    std::uint64_t total = 0;
    for (py::handle info : archive.attr("infolist")()) {
        const auto size = info.attr("file_size").cast<std::uint64_t>();
        total += size;
        if (size > limit || total > limit) {
            bind::raise(PyExc_ValueError,
                        "cannot load " + text(path) + ": " + kind + " member " +
                            quoted(info.attr("filename")) + " expands to " + std::to_string(size) +
                            " bytes, " + std::to_string(total) +
                            " bytes with the members before it, over the limit of " +
                            std::to_string(limit) + " bytes (brinvale.brinvale." + setting_name +
                            ")");
        }
    }
}

template <typename Body>
auto with_closing(const py::object &resource, Body &&body) {
    try {
        auto result = body();
        resource.attr("close")();
        return result;
    } catch (...) {
        try {
            resource.attr("close")();
        } catch (py::error_already_set &) {
            // the first error is the one worth reporting
        }
        throw;
    }
}

// Object arrays (text columns as `Series.to_numpy()` gives them) are stored
// pickled.  Their pickle names the array reconstructor and nothing else; any
// other global is refused before it is called.
py::object &array_unpickler() {
    static py::object *cls = nullptr;
    if (cls == nullptr) {
        py::module_ pickle = py::module_::import("pickle");
        py::object base = pickle.attr("Unpickler");
        py::module_ m = py::reinterpret_borrow<py::module_>(global_module());
        py::object made = bind::make_class("_ArrayUnpickler", py::make_tuple(base), m);
        bind::def_method(made, "find_class", [base](py::object self, py::str module, py::str name) {
            const std::string where = text(module) + "." + text(name);
            for (const char *allowed :
                 {"numpy._core.multiarray._reconstruct", "numpy.core.multiarray._reconstruct",
                  "numpy._core.multiarray.scalar", "numpy.core.multiarray.scalar", "numpy.ndarray",
                  "numpy.dtype"}) {
                if (where == allowed) {
                    return base.attr("find_class")(self, module, name);
                }
            }
            bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                        "an npz array may only hold plain values; refusing the global '" + where +
                            "'");
        });
        cls = new py::object(made);  // lives as long as the module
    }
    return *cls;
}

// An object member's pickle is read statically first, as a result folder's
// pickles are: NumPy would otherwise allocate whatever shape it names (an
// ndarray call, a shape in the array's state) before any item is read, and
// read past the end of a list shorter than that shape.  Only the array's own
// reconstructor, dtype and scalar helper may be called.
void check_array_pickle(const py::bytes &raw, const std::string &key) {
    std::string_view s = raw;
    core::PickleScan scan;
    {
        py::gil_scoped_release release;
        scan = core::scan_pickle({reinterpret_cast<const unsigned char *>(s.data()), s.size()});
    }
    auto refuse = [&](const std::string &why) {
        bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                    "an npz array may only hold plain values; refusing array '" + key +
                        "': " + why);
    };
    if (!scan.ok()) {
        refuse(scan.problem + " (at byte " + std::to_string(scan.offset) + ")");
    }
    for (const core::PickleGlobal &g : scan.globals) {
        if (g.name == "ndarray" && (g.uses & ~core::kUseValue) != 0) {
            refuse("it calls '" + g.module + "." + g.name + "' instead of reconstructing an array");
        }
    }
}

// One member of an npz archive as a one-dimensional array.  The header's
// shape is checked against the member's size before NumPy allocates it.
py::object read_member(const py::object &archive, py::handle info, const py::object &path) {
    py::module_ format = py::module_::import("numpy.lib.format");
    py::object np = global("np");
    const std::string name = text(info.attr("filename"));
    const std::string key = name.size() > 4 && name.compare(name.size() - 4, 4, ".npy") == 0
                                ? name.substr(0, name.size() - 4)
                                : name;
    auto fail = [&](const std::string &why) {
        bind::raise(PyExc_ValueError, "cannot load " + text(path) + ": array '" + key + "' " + why);
    };
    py::object member = archive.attr("open")(info);
    return with_closing(member, [&]() -> py::object {
        py::bytes magic = member.attr("read")(6);
        if (magic.cast<std::string>() != std::string("\x93NUMPY", 6)) {
            fail("is not a NumPy array (.npy) member");
        }
        py::bytes version_bytes = member.attr("read")(2);
        const std::string v = version_bytes.cast<std::string>();
        if (v.size() != 2) {
            fail("is truncated");
        }
        const int major = static_cast<unsigned char>(v[0]);
        const int minor = static_cast<unsigned char>(v[1]);
        py::tuple header;
        if (major == 1 && minor == 0) {
            header = format.attr("read_array_header_1_0")(member);
        } else if (major == 2 && minor == 0) {
            header = format.attr("read_array_header_2_0")(member);
        } else {
            // version 3.0 (UTF-8 field names) has no public reader
            py::object impl = py::hasattr(format, "_read_array_header")
                                  ? py::object(format)
                                  : py::object(py::module_::import("numpy.lib._format_impl"));
            header = impl.attr("_read_array_header")(member, py::make_tuple(major, minor));
        }
        py::tuple shape = header[0];
        py::object dtype = header[2];
        if (shape.size() != 1) {
            fail("is not one-dimensional (one array per column expected)");
        }
        const auto size = info.attr("file_size").cast<std::uint64_t>();
        const auto count = shape[0].cast<std::uint64_t>();
        if (dtype.attr("hasobject").cast<bool>()) {
            py::bytes raw = member.attr("read")();
            check_array_pickle(raw, key);
            py::object values =
                array_unpickler()(py::module_::import("io").attr("BytesIO")(raw)).attr("load")();
            if (!py::isinstance(values, np.attr("ndarray")) ||
                values.attr("ndim").cast<long>() != 1 ||
                values.attr("shape")[py::int_(0)].cast<std::uint64_t>() != count) {
                fail("does not hold the one-dimensional array its header declares");
            }
            return values;
        }
        const auto itemsize = dtype.attr("itemsize").cast<std::uint64_t>();
        if (itemsize != 0 && count > size / itemsize) {
            fail("declares " + std::to_string(count) + " values of " + std::to_string(itemsize) +
                 " bytes, more than its " + std::to_string(size) + " bytes hold");
        }
        py::object rest = member.attr("read")();
        // (a one-dimensional array is laid out alike in C and Fortran order)
        return np.attr("frombuffer")(rest, "dtype"_a = dtype, "count"_a = count).attr("copy")();
    });
}

}  // namespace

void register_input_limits(py::module_ &m) {
    m.attr("NPZ_MAX_BYTES") = py::int_(kNpzMaxBytes);
    m.attr("XLSX_MAX_BYTES") = py::int_(kXlsxMaxBytes);
    m.attr("XLSX_MAX_RATIO") = py::int_(kXlsxMaxRatio);
    m.attr("XLSX_MAX_GRID_RATIO") = py::int_(kXlsxMaxGridRatio);
    m.attr("PICKLE_MAX_BYTES") = py::int_(kPickleMaxBytes);
    m.attr("FEATURES_MAX_BYTES") = py::int_(kFeaturesMaxBytes);
    m.attr("VALIDATION_MAX_BYTES") = py::int_(kValidationMaxBytes);
}

py::bytes read_folder_file(const py::object &folder, const py::object &path, const char *setting) {
    bind::require_inside(folder, path);
    const std::string qualified = std::string("brinvale.brinvale.") + setting;
    py::object m = py::reinterpret_borrow<py::object>(global_module());
    return bind::read_regular_file(path, bind::byte_limit(m, setting, qualified.c_str()),
                                   qualified);
}

void require_inside_folder(const py::object &folder, const py::object &path) {
    bind::require_inside(folder, path);
}

py::object open_folder_file(const py::object &folder, const py::object &path, const char *setting) {
    return py::module_::import("io").attr("BytesIO")(read_folder_file(folder, path, setting));
}

py::object read_npz(const py::object &path) {
    py::module_ zipfile = py::module_::import("zipfile");
    if (!zipfile.attr("is_zipfile")(path).cast<bool>()) {
        bind::raise(PyExc_ValueError,
                    "cannot load " + text(path) + ": not an npz archive (a zip file of arrays)");
    }
    py::object archive = zipfile.attr("ZipFile")(path);
    py::dict columns = with_closing(archive, [&] {
        check_zip_sizes(archive, path, "npz", "NPZ_MAX_BYTES");
        py::dict out;
        for (py::handle info : archive.attr("infolist")()) {
            std::string name = text(info.attr("filename"));
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".npy") == 0) {
                name.resize(name.size() - 4);
            }
            out[py::str(name)] = read_member(archive, info, path);
        }
        return out;
    });
    return global("pd").attr("DataFrame")(columns);
}

// The workbook reader materialises the whole shared-strings table and every
// cell before pandas sees a row, at a cost per expanded byte far above the
// zip reader's: a member that expands more than XLSX_MAX_RATIO times its
// compressed size (genuine XML compresses some ten times; the ratio is the
// one office suites' own readers use against zip bombs) is refused, as are
// members that share their compressed bytes.  Members of at most 1 MiB are
// not held to the ratio.
static void check_xlsx_ratios(const py::object &archive, const py::object &path) {
    const std::uint64_t ratio = setting("XLSX_MAX_RATIO");
    const auto file_size =
        py::module_::import("os").attr("path").attr("getsize")(path).cast<std::uint64_t>();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // (offset, compressed)
    for (py::handle info : archive.attr("infolist")()) {
        const auto size = info.attr("file_size").cast<std::uint64_t>();
        const auto compressed = info.attr("compress_size").cast<std::uint64_t>();
        spans.emplace_back(info.attr("header_offset").cast<std::uint64_t>(), compressed);
        if (size > kRatioFloor && size / std::max<std::uint64_t>(compressed, 1) >= ratio) {
            bind::raise(PyExc_ValueError, "cannot load " + text(path) + ": xlsx member " +
                                              quoted(info.attr("filename")) + " expands from " +
                                              std::to_string(compressed) + " to " +
                                              std::to_string(size) + " bytes, more than " +
                                              std::to_string(ratio) +
                                              " times its size (brinvale.brinvale.XLSX_MAX_RATIO)");
        }
    }
    // Each member's bytes end before the next member begins: members that
    // share compressed bytes expand them once each.
    std::sort(spans.begin(), spans.end());
    for (std::size_t k = 0; k < spans.size(); ++k) {
        const std::uint64_t next = k + 1 < spans.size() ? spans[k + 1].first : file_size;
        if (spans[k].first + spans[k].second > next ||
            (k + 1 < spans.size() && spans[k].first == next)) {
            bind::raise(PyExc_ValueError, "cannot load " + text(path) +
                                              ": xlsx members overlap in the file (at byte " +
                                              std::to_string(spans[k].first) + ")");
        }
    }
}

// pandas reads a sheet into a grid: every row padded to the widest, missing
// rows filled in, up to the last cell.  One cell placed at XFD1048576 costs
// a few bytes and a grid of 17 billion cells.  Every member is read once
// (a worksheet may be stored under any name the workbook's relations give)
// and the extent of its cells found natively; a member whose grid passes
// 2**20 cells and XLSX_MAX_GRID_RATIO times the cells it holds is refused,
// as is one declaring a document type (its entities would hide positions;
// no office suite writes one).
static void check_xlsx_grids(const py::object &archive, const py::object &path) {
    const std::uint64_t ratio = setting("XLSX_MAX_GRID_RATIO");
    for (py::handle info : archive.attr("infolist")()) {
        if (info.attr("is_dir")().cast<bool>()) {
            continue;
        }
        core::SheetScanner scanner;
        py::object member = archive.attr("open")(info);
        with_closing(member, [&] {
            while (true) {
                py::bytes piece = member.attr("read")(1 << 20);
                char *data = nullptr;
                Py_ssize_t size = 0;
                if (PyBytes_AsStringAndSize(piece.ptr(), &data, &size) != 0) {
                    throw py::error_already_set();
                }
                if (size == 0) {
                    break;
                }
                py::gil_scoped_release release;
                scanner.feed(std::string_view(data, static_cast<std::size_t>(size)));
            }
            return 0;
        });
        const core::SheetExtent e = scanner.finish();
        const std::string where =
            "cannot load " + text(path) + ": xlsx member " + quoted(info.attr("filename"));
        if (e.doctype) {
            bind::raise(PyExc_ValueError,
                        where + " declares a document type, which no workbook holds");
        }
        const std::uint64_t grid = e.grid();
        const std::uint64_t cells = std::max<std::uint64_t>(e.cells, 1);
        if (grid > kGridFloor && grid / cells >= ratio) {
            auto count = [](std::uint64_t v) {
                return v >= core::SheetExtent::kUnbounded ? std::string("unbounded")
                                                          : std::to_string(v);
            };
            bind::raise(PyExc_ValueError,
                        where + " places " + std::to_string(e.cells) + " cells over " +
                            count(e.rows) + " rows and " + count(e.columns) +
                            " columns, a grid more than " + std::to_string(ratio) +
                            " times the cells it holds (brinvale.brinvale.XLSX_MAX_GRID_RATIO)");
        }
    }
}

void check_xlsx(const py::object &path) {
    py::module_ zipfile = py::module_::import("zipfile");
    if (!zipfile.attr("is_zipfile")(path).cast<bool>()) {
        return;  // not a workbook: the reader reports it
    }
    py::object archive = zipfile.attr("ZipFile")(path);
    with_closing(archive, [&] {
        check_zip_sizes(archive, path, "xlsx", "XLSX_MAX_BYTES");
        check_xlsx_ratios(archive, path);
        check_xlsx_grids(archive, path);
        return 0;
    });
}

py::object read_folder_entry(const py::object &folder, const py::object &entry) {
    py::module_ os = py::module_::import("os");
    py::module_ stat = py::module_::import("stat");
    auto refuse = [&](const char *what) {
        bind::raise(PyExc_ValueError, "cannot load the folder " + text(folder) + ": " +
                                          text(entry) + " is " + what +
                                          ", not a regular file; a folder of CSV files must hold "
                                          "CSV files only");
    };
    auto kind = [&](py::handle mode) -> const char * {
        if (stat.attr("S_ISDIR")(mode).cast<bool>())
            return "a folder";
        if (stat.attr("S_ISFIFO")(mode).cast<bool>())
            return "a FIFO";
        if (stat.attr("S_ISCHR")(mode).cast<bool>())
            return "a character device";
        if (stat.attr("S_ISBLK")(mode).cast<bool>())
            return "a block device";
        if (stat.attr("S_ISSOCK")(mode).cast<bool>())
            return "a socket";
        return "not a file";
    };
    // Links are followed: a link to a CSV file is read, a link to a device is
    // not.  The type is checked again on the opened descriptor (without
    // blocking on a FIFO), so an entry swapped in between is refused as well.
    py::object mode = os.attr("stat")(entry).attr("st_mode");
    if (!stat.attr("S_ISREG")(mode).cast<bool>()) {
        refuse(kind(mode));
    }
    long flags = os.attr("O_RDONLY").cast<long>();
    for (const char *extra : {"O_NONBLOCK", "O_CLOEXEC", "O_BINARY"}) {
        if (py::hasattr(os, extra)) {
            flags |= os.attr(extra).cast<long>();
        }
    }
    py::object fd = os.attr("open")(entry, flags);
    py::object opened_mode;
    try {
        opened_mode = os.attr("fstat")(fd).attr("st_mode");
    } catch (...) {
        os.attr("close")(fd);
        throw;
    }
    if (!stat.attr("S_ISREG")(opened_mode).cast<bool>()) {
        os.attr("close")(fd);
        refuse(kind(opened_mode));
    }
    py::object file = os.attr("fdopen")(fd, "rb");
    return with_closing(file, [&] {
        return py::object(global("pd").attr("read_csv")(file, "encoding"_a = "utf-8"));
    });
}

}  // namespace brinvale::workbench
