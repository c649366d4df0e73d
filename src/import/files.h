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

// The bytes of the regular file `path`, or none when there is no such file.
// It is opened without waiting, and anything that is not a regular file is
// refused, as "cannot open <what><path>: <reason>", before a byte is read; a
// file that cannot be opened or read otherwise, as "cannot read
// <what><path>: <reason>".
std::optional<std::string> read_regular_file(const std::string& path, const std::string& what);

// Where the symbolic links of `path` lead: the last name on the way, and
// whether anything has that name (then `st` is its lstat). `error` is the
// errno of a way that cannot be followed (a loop, a folder this user may not
// search), 0 otherwise.
struct LinkEnd {
  std::string path;
  bool found = false;
  struct stat st = {};
  int error = 0;
};
LinkEnd follow_links(const std::string& path);

// An input file of the import; `name` is how messages call it.
struct Input {
  std::string name;
  std::string path;
};

// Refuses, before anything is read, an output that is one of the inputs
// under any of its names (another spelling, a link, a hard link): the
// artifact would replace it. A missing output is none of them.
void refuse_output_among_inputs(const std::string& out, const std::vector<Input>& inputs);

// Refuses, before anything is read, an output that is one of the files
// SQLite keeps beside the database `db` while it reads it (its -journal,
// -wal and -shm): SQLite would take the artifact for its own, and recover
// or delete it. They are named after the file `db` leads to, its links
// followed, and need not exist yet, so the output is compared by the name
// it leads to as well as by identity.
void refuse_output_among_database_files(const std::string& out, const std::string& db);

}  // namespace tamberok::import
