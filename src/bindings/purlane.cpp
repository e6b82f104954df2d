// Importing this module cleans the source tree in the working directory:
// generated C files and the build, egg-info and dist folders.
#include "release.hpp"

BRINVALE_MODULE(purlane, m) {
    namespace rel = brinvale::release;
    rel::define_common(m);
    m.attr("remove_files") = rel::build_artefacts();
    rel::purlane_files(py::str("."));
    rel::delete_artefacts(m);
}
