// What the two release scripts share: the folders a build leaves behind and
// the clean-up functions both modules define.
#pragma once

#include "bind.hpp"

namespace brinvale::release {

inline py::list build_artefacts() {
    py::list names;
    names.append("build");
    names.append("brinvale.egg-info");
    names.append("dist");
    return names;
}

// The walk never enters a hidden folder (.git, .venv, .tox ...) nor a
// virtual environment (a folder holding pyvenv.cfg): the C sources packages
// ship inside an environment are not build artefacts of this tree.
inline void purlane_files(py::object directory) {
    py::module_ os = py::module_::import("os");
    py::object join = os.attr("path").attr("join");
    py::object isfile = os.attr("path").attr("isfile");
    py::object remove = os.attr("remove");
    for (py::handle entry : os.attr("walk")(directory)) {
        py::tuple walked = py::reinterpret_borrow<py::tuple>(entry);
        py::object root = walked[0];
        py::list folders = walked[1];
        py::list kept;
        for (py::handle folder : folders) {
            const bool hidden = py::bool_(folder.attr("startswith")("."));
            if (!hidden && !py::bool_(isfile(join(root, folder, "pyvenv.cfg")))) {
                kept.append(folder);
            }
        }
        // os.walk descends into what its list holds once this step returns
        folders.attr("__setitem__")(py::slice(py::none(), py::none(), py::none()), kept);
        for (py::handle file : walked[2]) {
            if (!py::bool_(file.attr("endswith")(".c"))) {
                continue;
            }
            py::object path = join(root, file);
            remove(path);
            py::print(py::str("Deleted: ") + py::str(path));
        }
    }
}

inline void delete_files(py::object path) {
    py::module_ os = py::module_::import("os");
    py::object os_path = os.attr("path");
    if (!py::bool_(os_path.attr("exists")(path))) {
        return;
    }
    // rmtree refuses plain files and links: a stray file named like a build
    // folder is removed as well instead of stopping the clean-up
    if (py::bool_(os_path.attr("islink")(path)) || !py::bool_(os_path.attr("isdir")(path))) {
        os.attr("remove")(path);
        return;
    }
    py::module_::import("shutil").attr("rmtree")(path);
}

// Both modules expose the imports and functions by these names.
inline void define_common(py::module_ &m) {
    m.attr("os") = py::module_::import("os");
    m.attr("shutil") = py::module_::import("shutil");
    m.attr("glob") = py::module_::import("glob");
    m.def("purlane_files", &purlane_files, py::arg("directory"),
          py::doc("Delete every file ending in \".c\" below `directory`, printing each path."));
    m.def("delete_files", &delete_files, py::arg("path"),
          py::doc("Remove `path` with all its content if it exists."));
}

// Remove the build folders below the working directory.
inline void delete_artefacts(py::module_ &m) {
    py::module_ os = py::module_::import("os");
    py::object cwd = os.attr("getcwd")();
    for (py::handle name : m.attr("remove_files")) {
        delete_files(os.attr("path").attr("join")(cwd, name));
    }
}

}  // namespace brinvale::release
