// Files the simulators write for tests to read (flash dumps).
#ifndef QN_TOOLS_SIMLINE_ATOMICFILE_H
#define QN_TOOLS_SIMLINE_ATOMICFILE_H

#include <string>

namespace qnsim {

// Writes `bytes` to `path` through a temporary file and a rename, so that a
// reader never sees a half-written file.
bool WriteFileAtomic(const std::string& path, const std::string& bytes);

}  // namespace qnsim

#endif  // QN_TOOLS_SIMLINE_ATOMICFILE_H
