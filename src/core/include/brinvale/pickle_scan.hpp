// A static reading of a pickle's opcode stream, before anything in it is
// constructed: which globals it names, how each is used, and which of its
// steps would change a class or function instead of an object it built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brinvale::core {

// How a pickle uses a global (a bit set).
enum GlobalUse : unsigned {
    kUseValue = 1,  // stored as data, or handed to a call as an argument
    kUseCall = 2,   // called (REDUCE, INST, OBJ): a class runs its __init__
    kUseNew = 4,    // a class instantiated without __init__ (NEWOBJ, copyreg.__newobj__)
};

struct PickleGlobal {
    std::string module;
    std::string name;
    unsigned uses = 0;
};

// getattr(<global>, "<attribute>") as the stream spells it.
struct PickleGetattr {
    std::size_t global = 0;  // index into PickleScan::globals
    std::string attribute;
};

struct PickleScan {
    std::vector<PickleGlobal> globals;  // distinct names, in order of first appearance
    std::vector<PickleGetattr> getattrs;
    int protocol = 0;        // of the last PROTO opcode (0 without one)
    std::string problem;     // empty when the stream may be unpickled
    std::size_t offset = 0;  // byte offset of the opcode at fault
    bool ok() const { return problem.empty(); }
};

// Reads `data` up to its first STOP.  A stream that is malformed, names a
// global through a value it computes, applies BUILD/SETITEM/APPEND to a
// global (a class changed while unpickling), or needs persistent ids,
// extension codes or out-of-band buffers is reported as a problem.
PickleScan scan_pickle(std::span<const unsigned char> data);

}  // namespace brinvale::core
