// Files of a result folder come from elsewhere: each is read whole as a
// regular file of bounded size.  A FIFO would block the reader forever, a
// link to a device read without end, and a link out of the folder read a
// file the folder does not hold.
#pragma once

#include "bind.hpp"

#include <cstdint>
#include <string>

namespace brinvale::bind {

// The bytes of the regular file at `path`, refused (ValueError) when it is a
// FIFO, a device or a socket, or longer than `limit` bytes; `setting` names
// the limit in the message.  A missing file or a folder raises the OSError
// that opening it raises.  Never blocks on what it opens.
py::bytes read_regular_file(const py::object &path, std::uint64_t limit,
                            const std::string &setting);

// Refuses (ValueError) a `path` that resolves, through links, to a place
// outside `folder`.  A path that does not exist is left to the reader.
void require_inside(const py::object &folder, const py::object &path);

// A limit read from a module attribute: a non-negative int.
std::uint64_t byte_limit(const py::object &module, const char *name, const char *qualified);

}  // namespace brinvale::bind
