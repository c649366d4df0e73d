// The files the import tool reads besides the database: what may be read as
// one, and the check that the output names none of them.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace tamberok::import {

// Why a file of this mode cannot be read or replaced as a regular file
// ("it is a FIFO, not a regular file", "Is a directory"), empty for a
// regular file. Opening a FIFO or a terminal waits for the other end.
std::string not_regular_reason(mode_t mode);

// The bytes of the regular file `path`, or none when it cannot be opened
// (errno tells why). It is opened without waiting, and anything that is not
// a regular file is refused, as "cannot open <what><path>: <reason>", before
// a byte is read.
std::optional<std::string> read_regular_file(const std::string& path, const std::string& what);

// An input file of the import; `name` is how messages call it.
struct Input {
  std::string name;
  std::string path;
};

// Refuses, before anything is read, an output that is one of the inputs
// under any of its names (another spelling, a link, a hard link): the
// artifact would replace it. A missing output is none of them.
void refuse_output_among_inputs(const std::string& out, const std::vector<Input>& inputs);

}  // namespace tamberok::import
