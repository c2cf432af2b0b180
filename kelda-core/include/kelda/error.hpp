// The one error value of the computing core, the Result type every routine returns,
// and the internal-fault exception reserved for broken invariants.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace kelda {

enum class ErrorKind : std::uint8_t {
  Io,
  PdbParse,
  DsspParse,
  DomainFile,
  InvalidParameter,
  AlignmentFailed,
  StructureTooSmall,
  NoCommonAtoms,
  Cancelled,    // a caller asked a long computation to stop
  OutOfMemory,  // a computation whose buffers would not fit in the memory available
  Database,     // a structure database that cannot be used as one (foreign, damaged, too new)
};

struct CoreError {
  ErrorKind kind;
  std::string payload;       // Io: the rendered OS or stream error; text kinds: their payload
  std::uint64_t found = 0;   // StructureTooSmall only
  std::uint64_t minimum = 0; // StructureTooSmall only
  // What the operation was doing, prepended to the message ("Failed to parse a.pdb: ").
  std::string context = {};
  // The message shows the payload alone, without the kind's text (an operation's own
  // refusal such as "Need at least 2 PDB files", or an OS error text under a context).
  bool bare = false;
  // An Io error met while reading an input structure: the input could not be parsed, so
  // the boundary reports it as a bad value rather than as a failure of the file system.
  bool reading_input = false;

  static CoreError io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
  // The operating system's description of errno followed by " (os error N)".
  static CoreError io_errno(int err);
  static CoreError pdb_parse(std::string t) { return {ErrorKind::PdbParse, std::move(t)}; }
  static CoreError dssp_parse(std::string t) { return {ErrorKind::DsspParse, std::move(t)}; }
  static CoreError domain_file(std::string t) { return {ErrorKind::DomainFile, std::move(t)}; }
  static CoreError invalid_parameter(std::string t) {
    return {ErrorKind::InvalidParameter, std::move(t)};
  }
  static CoreError alignment_failed(std::string t) {
    return {ErrorKind::AlignmentFailed, std::move(t)};
  }
  static CoreError too_small(std::uint64_t found, std::uint64_t minimum) {
    return {ErrorKind::StructureTooSmall, {}, found, minimum};
  }
  static CoreError no_common_atoms() { return {ErrorKind::NoCommonAtoms, {}}; }
  static CoreError cancelled() { return {ErrorKind::Cancelled, {}}; }
  // A computation needs more memory than is available; the message (shown bare) says how
  // much of each.
  static CoreError out_of_memory(std::string message) {
    return refusal(ErrorKind::OutOfMemory, std::move(message));
  }
  // A complete message of the operation's own, shown as it is.
  static CoreError refusal(ErrorKind kind, std::string message) {
    CoreError e{kind, std::move(message)};
    e.bare = true;
    return e;
  }

  // The kind's text with its payload, as the fixed table of kinds renders it.
  std::string text() const;
  // A failure of the file system (reported as OSError in Python), not of the input's content.
  bool file_system_failure() const noexcept { return kind == ErrorKind::Io && !reading_input; }
  // What a caller shows: the context, then the text (or the bare payload).
  std::string message() const { return context + (bare ? payload : text()); }
  // Marks an error met reading an input structure (see reading_input).
  CoreError&& while_reading_input() && {
    reading_input = true;
    return std::move(*this);
  }
  // Adds an outer context in front of the one already there.
  CoreError&& within(std::string outer) && {
    context.insert(0, outer);
    return std::move(*this);
  }
  bool operator==(const CoreError&) const = default;
};

// Raised only for broken invariants; the Python boundary turns it into PanicException.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn, gnu::cold]] void internal_fault(const std::string& message);

// A value or one CoreError, in the manner of std::expected (C++23) for a C++20 core.
template <class T>
class [[nodiscard]] Result {
  using E = CoreError;
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { check(); return std::get<0>(v_); }
  const T& value() const& { check(); return std::get<0>(v_); }
  T&& value() && { check(); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& {
    if (has_value()) internal_fault("Result holds a value, not an error");
    return std::get<1>(v_);
  }
  E&& error() && {
    if (has_value()) internal_fault("Result holds a value, not an error");
    return std::get<1>(std::move(v_));
  }

 private:
  void check() const {
    if (!has_value()) internal_fault("Result holds an error: " + std::get<1>(v_).text());
  }
  std::variant<T, E> v_;
};

// Result of a routine that produces nothing but may fail.
struct Unit {};
using Status = Result<Unit>;

}  // namespace kelda
