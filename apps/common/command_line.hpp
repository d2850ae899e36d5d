// What the command lines of tarvik-run and tarvik-inspect share: usage errors
// in the "<program>: error: ..." form, --version, whole-number options parsed
// strictly, the check that a path given is a regular file, and writing to
// standard output with the failure noticed.
//
// CLI11's own integer parsing accepts octal ("010" is 8) and clamps values
// beyond the type's range to its limits; the validators here accept plain
// base-10 numbers only, refuse anything out of range, and hand CLI11 the
// number in canonical form (so add them with transform(), not check(),
// which would throw the canonical text away).
//
// Errors: require_regular_file() raises ValueError, write_output() raises
// RuntimeError; both name the path or stream.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

namespace tarvik_apps::command_line {

// Adds --version ("<program> <version> (ONNX Runtime <version>)") and makes
// usage errors print "<program>: error: <message>" and a pointer to --help.
void set_up(CLI::App& app, const char* program);

// Parses `argv`. The exit status when the program must stop here (help and
// version: 0, a usage error: 2), nothing when it should go on.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// A base-10 whole number in [min, int64 max].
CLI::Validator whole_number(std::int64_t min);
// A base-10 whole number in [0, uint64 max].
CLI::Validator unsigned_number();
// A number of seconds in (0, max_seconds], in plain decimal notation.
CLI::Validator seconds(double max_seconds);
// Anything but the empty string.
CLI::Validator not_empty();

// ValueError "<what> <path> is not a regular file (it is a directory)" for a
// path that exists but is not a regular file (or a link to one): devices,
// pipes and folders are never read. A missing path passes; its reader
// reports it.
void require_regular_file(const std::string& path, std::string_view what);

// Writes `text` to standard output (`out`) and flushes it; RuntimeError
// "cannot write to standard output: <reason>" when the stream failed, now or
// before.
void write_output(std::ostream& out, std::string_view text);

}  // namespace tarvik_apps::command_line
