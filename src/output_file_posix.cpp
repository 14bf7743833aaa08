// Writes a whole file on POSIX systems without ever leaving a damaged file
// behind.
#include "output_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Links followed from the output path before giving up on a loop.
constexpr int max_link_hops = 40;

constexpr char temp_name[] = "tolvek-XXXXXX";

// The file that receives the image, and the temporary file beside it.
char target_path[PATH_MAX];
char temp_path[PATH_MAX + sizeof temp_name];

// Length of the directory part of path, up to and including its last '/'.
std::size_t directory_length(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// Follows symbolic links from path to the file they name, into target_path,
// so that a link stays a link and its target receives the image. False for
// a loop of links or an overlong path.
bool resolve_output_path(const char *path)
{
    const std::size_t length = std::strlen(path);
    if (length >= sizeof target_path)
        return false;
    std::memcpy(target_path, path, length + 1);
    for (int hop = 0; hop < max_link_hops; ++hop) {
        char link[PATH_MAX];
        const ssize_t link_length = readlink(target_path, link, sizeof link);
        if (link_length < 0)
            return true;  // not a link, or nothing there yet: this is the file
        // A relative link is relative to the directory that holds it.
        const std::size_t start = link[0] == '/' ? 0 : directory_length(target_path);
        if (start + static_cast<std::size_t>(link_length) >= sizeof target_path)
            return false;
        std::memcpy(target_path + start, link, static_cast<std::size_t>(link_length));
        target_path[start + static_cast<std::size_t>(link_length)] = '\0';
    }
    return false;
}

// The bytes to write.
const unsigned char *output_data;
std::size_t output_length;

bool write_image(int fd)
{
    const unsigned char *next = output_data;
    std::size_t left = output_length;
    while (left > 0) {
        const ssize_t written = write(fd, next, left);
        if (written <= 0)
            return false;
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes the image into a file that stays in place, and closes it.
bool write_in_place(int fd, bool regular_file)
{
    bool ok = write_image(fd);
    if (regular_file)
        ok = ok && ftruncate(fd, static_cast<off_t>(output_length)) == 0 && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

// Permission bits that a plain write would give a new file.
mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Creates and opens a new, empty file beside target_path; -1 when none can
// be made there.
int create_temp_file()
{
    const std::size_t length = directory_length(target_path);
    std::memcpy(temp_path, target_path, length);
    std::memcpy(temp_path + length, temp_name, sizeof temp_name);
    return mkstemp(temp_path);
}

// Fills the temporary file with the image and renames it over target_path,
// so that the old file stays whole until the new one is complete. On any
// failure removes the temporary file.
bool replace_target(int temp_fd, mode_t mode)
{
    bool ok = write_image(temp_fd) && fchmod(temp_fd, mode) == 0 && fsync(temp_fd) == 0;
    ok = close(temp_fd) == 0 && ok;
    ok = ok && std::rename(temp_path, target_path) == 0;
    if (!ok)
        unlink(temp_path);
    return ok;
}

output_result write_output(const char *path)
{
    // The output must name a file; a name that ends in '/' names a folder.
    if (!resolve_output_path(path) || target_path[directory_length(target_path)] == '\0')
        return output_result::cannot_open;
    struct stat status {};
    const bool exists = lstat(target_path, &status) == 0;
    if (!exists && errno != ENOENT)
        return output_result::cannot_open;

    // Opening an existing file for writing, without emptying it, lets its
    // permissions protect it just as they would a plain write; a folder
    // cannot be opened so.
    int existing = -1;
    if (exists) {
        existing = open(target_path, O_WRONLY);
        if (existing < 0)
            return output_result::cannot_open;
        // A device or a FIFO is written straight through, never replaced.
        if (!S_ISREG(status.st_mode))
            return write_in_place(existing, false) ? output_result::written : output_result::write_failed;
    }

    const int temp = create_temp_file();
    if (temp < 0) {
        if (existing < 0)
            return output_result::cannot_open;
        // Nothing can be made beside the file, but the file itself can be
        // written: write it directly.
        return write_in_place(existing, true) ? output_result::written : output_result::write_failed;
    }
    if (existing >= 0)
        close(existing);
    const mode_t mode = exists ? status.st_mode & 07777 : new_file_mode();
    return replace_target(temp, mode) ? output_result::written : output_result::write_failed;
}

}  // namespace

output_result write_output_file(const char *path, const void *data, std::size_t length)
{
    // Past the file-size limit a write should fail and be reported, not kill
    // the tool and leave its temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    output_data = static_cast<const unsigned char *>(data);
    output_length = length;
    return write_output(path);
}
