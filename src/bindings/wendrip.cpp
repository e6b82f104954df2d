// Importing this module builds a wheel of the package in the working
// directory once for each interpreter environment and gathers the wheels in
// "releases", cleaning the tree between builds.
#include "release.hpp"

namespace {

// Environments live in a per-user folder, one sub-folder per name.  Their
// interpreter is bin/python on POSIX systems; on Windows the environments
// are laid out like conda's, with python.exe at the top.
py::object environments_root() {
    py::object os_path = py::module_::import("os").attr("path");
    py::object root = os_path.attr("join")(os_path.attr("expanduser")("~"), ".brinvale", "envs");
    return root + py::str("/");
}

py::object interpreter_of(py::object root, py::handle env) {
    py::object os_name = py::module_::import("os").attr("name");
    const bool windows = os_name.equal(py::str("nt"));
    return root + py::str(env) + py::str(windows ? "/python.exe" : "/bin/python");
}

// The package builds with scikit-build-core: pip builds the wheel (in an
// isolated build environment unless pip is configured otherwise) into dist.
py::object build_command(py::object interpreter) {
    py::object quote = py::module_::import("shlex").attr("quote");
    return py::str(quote(interpreter)) + py::str(" -m pip wheel --no-deps --wheel-dir dist .");
}

}  // namespace

BRINVALE_MODULE(wendrip, m) {
    namespace rel = brinvale::release;
    rel::define_common(m);
    py::module_ os = py::module_::import("os");
    py::object join = os.attr("path").attr("join");

    m.attr("remove_files") = rel::build_artefacts();
    py::object save_path = join(os.attr("getcwd")(), "releases");
    m.attr("save_path") = save_path;
    if (!py::bool_(os.attr("path").attr("exists")(save_path))) {
        os.attr("makedirs")(save_path);
    }
    py::list py_envs;
    for (const char *env : {"v38qorn", "v39qorn", "v310qorn", "v311qorn"}) {
        py_envs.append(env);
    }
    m.attr("py_envs") = py_envs;
    py::object root = environments_root();
    m.attr("envs_root") = root;

    for (py::handle env : py_envs) {
        py::object interpreter = interpreter_of(root, env);
        if (!py::bool_(os.attr("path").attr("exists")(interpreter))) {
            py::print(py::str("Skipped: {} (no interpreter at {})").format(env, interpreter));
            continue;
        }
        py::object status = os.attr("system")(build_command(interpreter));
        if (!status.equal(py::int_(0))) {
            py::object code = py::hasattr(os, "waitstatus_to_exitcode")
                                  ? os.attr("waitstatus_to_exitcode")(status)
                                  : status;
            py::print(py::str("Build failed with {} (exit status {})").format(env, code));
        }
        py::object pattern = join(os.attr("getcwd")(), "dist", "*");
        for (py::handle path : py::module_::import("glob").attr("glob")(pattern)) {
            if (!py::bool_(path.attr("endswith")(".whl"))) {
                continue;
            }
            py::object whl_dst_path = join(save_path, os.attr("path").attr("basename")(path));
            py::module_::import("shutil").attr("move")(path, whl_dst_path);
        }
        rel::purlane_files(py::str("."));
        rel::delete_artefacts(m);
    }
}
