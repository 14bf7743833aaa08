// Writing a whole file safely: the one part of the tool that changes files,
// in a POSIX and a Windows version. It knows bytes and paths, not images.
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

// Holds a shared lock on a file open for reading until it is closed, so
// that a run that is writing the same file finishes first. Does nothing
// where the file cannot be locked.
void lock_for_reading(std::FILE *file);

#endif
