// Rendering of CoreError values to the texts the Python surface embeds.
#include "kelda/error.hpp"

#include <cstring>  // strerror_r

namespace kelda {

CoreError CoreError::io_errno(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(err, buf, sizeof buf);
  return io(std::string(msg) + " (os error " + std::to_string(err) + ")");
}

std::string CoreError::text() const {
  switch (kind) {
    case ErrorKind::Io: return "I/O error: " + payload;
    case ErrorKind::PdbParse: return "PDB parsing error: " + payload;
    case ErrorKind::DsspParse: return "DSSP parsing error: " + payload;
    case ErrorKind::DomainFile: return "Domain file error: " + payload;
    case ErrorKind::InvalidParameter: return "Invalid parameter: " + payload;
    case ErrorKind::AlignmentFailed: return "Alignment failed: " + payload;
    case ErrorKind::StructureTooSmall:
      return "Structure too small: " + std::to_string(found) + " residues (minimum " +
             std::to_string(minimum) + ")";
    case ErrorKind::NoCommonAtoms: return "No common atoms for superposition";
    case ErrorKind::Cancelled: return "Cancelled";
    case ErrorKind::OutOfMemory: return "Out of memory: " + payload;
    case ErrorKind::Database: return "Structure database error: " + payload;
  }
  internal_fault("unknown CoreError kind");
}

void internal_fault(const std::string& message) { throw InternalFault(message); }

}  // namespace kelda
