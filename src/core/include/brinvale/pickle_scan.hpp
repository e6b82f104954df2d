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

// What unpickling a stream may build, in bytes: every array, buffer and
// container of a genuine pickle is backed by bytes of the file itself, so a
// small multiple of its size plus a fixed allowance is plenty.
constexpr std::uint64_t kPickleMemoryFactor = 64;
constexpr std::uint64_t kPickleMemoryAllowance = std::uint64_t{64} << 20;  // 64 MiB

constexpr std::uint64_t pickle_memory_budget(std::size_t file_bytes) {
    return kPickleMemoryAllowance + kPickleMemoryFactor * static_cast<std::uint64_t>(file_bytes);
}

struct PickleScan {
    std::vector<PickleGlobal> globals;  // distinct names, in order of first appearance
    std::vector<PickleGetattr> getattrs;
    int protocol = 0;          // of the last PROTO opcode (0 without one)
    std::uint64_t memory = 0;  // what unpickling would build, as estimated so far
    std::string problem;       // empty when the stream may be unpickled
    std::size_t offset = 0;    // byte offset of the opcode at fault
    bool ok() const { return problem.empty(); }
};

// Reads `data` up to its first STOP.  A stream that is malformed, names a
// global through a value it computes, applies BUILD/SETITEM/APPEND to a
// global (a class changed while unpickling), or needs persistent ids,
// extension codes or out-of-band buffers is reported as a problem; so is one
// that would build more than pickle_memory_budget(data.size()) bytes (sized
// calls such as bytearray(n), object arrays larger than their state, memo
// entries far past those written, or simply too many objects), or whose
// object array state holds fewer items than its shape (NumPy reads past the
// list's end).
PickleScan scan_pickle(std::span<const unsigned char> data);

}  // namespace brinvale::core
