// Writing a whole file safely, and reading one while no run writes it: the
// one part of the tool that changes files or locks them, in a POSIX and a
// Windows version. It knows bytes and paths, not images.
#ifndef TOLVEK_OUTPUT_FILE_H
#define TOLVEK_OUTPUT_FILE_H

#include <cstddef>
#include <cstdio>

enum class output_result { written, cannot_open, write_failed };

// Makes the file at path hold exactly the length bytes at data. Gives
// cannot_open, having changed nothing, where the system will not open or
// create the file for writing, and write_failed where the bytes could not
// all be written and flushed; a file that existed is then left as it was.
output_result write_output_file(const char *path, const void *data, std::size_t length);

// Reads up to size bytes from the file in one request, as std::fread does,
// under a shared lock: a run that is writing the file finishes first.
// Where the file cannot be locked, it is read all the same.
std::size_t read_locked(std::FILE *file, void *data, std::size_t size);

#endif
