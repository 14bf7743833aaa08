// Writes a whole file on POSIX systems, opened as a plain write opens it:
// the system resolves the path and applies its protections, and a file is
// written where it stands, staying the file it was. The tool adds what a
// plain write lacks: runs take turns on a file, what it held is put back
// if the write fails, it is flushed before the run reports, and signals
// wait while it is not whole.
#include "output_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Every signal that can be held waits while a file is not whole, then ends
// the run. Releasing them restores the mask that the save began with.
sigset_t signals_at_start;

void hold_signals()
{
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
}

void release_signals()
{
    sigprocmask(SIG_SETMASK, &signals_at_start, nullptr);
}

// Runs take turns on a file, where the file system can lock; signals wait
// while it is written, but not while another program holds it.
void take_turn(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        release_signals();
        flock(fd, LOCK_EX);
    }
    hold_signals();
}

// Removes the file at path, while it still names the file given.
void remove_if_still(const char *path, const struct stat &file)
{
    struct stat entry {};
    if (lstat(path, &entry) == 0 && same_file(entry, file))
        unlink(path);
}

// Opens the output out of the way of closed standard streams, whose number
// it would take, and then receive what the tool prints. A file created
// that cannot be moved there is removed.
int open_output(const char *path, int flags)
{
    const int fd = open(path, flags | O_WRONLY | O_NOCTTY, 0666);
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
    const int error = errno;
    struct stat created {};
    if (moved < 0 && (flags & O_CREAT) != 0 && fstat(fd, &created) == 0)
        remove_if_still(path, created);
    close(fd);
    errno = error;
    return moved;
}

// Writes the bytes at the offset or, given -1, where the file stands; gives
// the number written before any error.
std::size_t write_bytes(int fd, const unsigned char *data, std::size_t length, off_t offset)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written =
            offset < 0 ? write(fd, data + done, length - done)
                       : pwrite(fd, data + done, length - done, offset + static_cast<off_t>(done));
        if (written <= 0)
            break;
        done += static_cast<std::size_t>(written);
    }
    return done;
}

// Cuts the file to the length where it is longer. Where it is not, the
// length is left alone: some file systems refuse to set one at all (a
// FUSE vfat), though they take every write, as cp relies on.
bool cut_to(int fd, off_t length)
{
    struct stat now {};
    return fstat(fd, &now) == 0 && (now.st_size <= length || ftruncate(fd, length) == 0);
}

// Flushes a file to its device, so that what is reported survives a crash.
bool flush_to_device(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    return fsync(fd) == 0;
}

// Flushes a new file's folder, where it can be read and flushed (not EINVAL).
bool flush_folder(const char *path)
{
    static char copy[PATH_MAX];  // as long as any path the system takes
    const std::size_t length = std::strlen(path) + 1;
    if (length > sizeof copy)
        return true;
    std::memcpy(copy, path, length);
    const int folder = open(dirname(copy), O_RDONLY | O_DIRECTORY);
    if (folder < 0)
        return errno == EACCES;
    const bool flushed = fsync(folder) == 0 || errno == EINVAL;
    close(folder);
    return flushed;
}

// What standard output and error write to; one closed or only read, nowhere.
bool stream_writes[3];
struct stat stream_file[3];

// False where an open stream cannot be examined, so the output might be it.
bool find_standard_streams()
{
    for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        const int flags = fcntl(stream, F_GETFL);
        stream_writes[stream] = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
        if ((flags < 0 && errno != EBADF) ||
            (stream_writes[stream] && fstat(stream, &stream_file[stream]) != 0))
            return false;
    }
    return true;
}

// The standard stream, 1 or 2, that writes to the file; -1 for none.
int standard_stream_to(const struct stat &file)
{
    for (int stream = STDOUT_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (stream_writes[stream] && same_file(stream_file[stream], file))
            return stream;
    }
    return -1;
}

// Writes the data where the file stands, after what the tool printed: a
// device, a FIFO, or the tool's own output, which may be a file. Such a
// file is cut back to where the image began if the write fails and the
// image ends it, so that the error line follows what was there; runs take
// turns on it, so that none cuts another's away. Signals are held for a
// regular file alone: a pipe, FIFO or socket whose reader stalls must not
// make the run deaf to them, and one that nobody reads fails the write.
bool write_through(int fd, const struct stat &file, const unsigned char *data, std::size_t length)
{
    const bool regular = S_ISREG(file.st_mode);
    if (regular)
        take_turn(fd);
    void (*const on_broken_pipe)(int) = std::signal(SIGPIPE, SIG_IGN);
    const std::size_t written = std::fflush(stdout) == 0 ? write_bytes(fd, data, length, -1) : 0;
    std::signal(SIGPIPE, on_broken_pipe);
    const bool ok = written == length && ((!regular && !S_ISBLK(file.st_mode)) || flush_to_device(fd));
    struct stat now {};
    const off_t end = ok || !regular ? -1 : lseek(fd, 0, SEEK_CUR);
    const off_t start = end - static_cast<off_t>(written);
    if (end >= 0 && fstat(fd, &now) == 0 && now.st_size == end && ftruncate(fd, start) == 0 &&
        lseek(fd, start, SEEK_SET) == start)
        flush_to_device(fd);
    if (regular)
        flock(fd, LOCK_UN);  // the stream's, which outlives the run
    release_signals();
    return ok;
}

// What the file held, to put back if the write fails; a file larger than
// any the tool writes cannot be put back.
unsigned char old_bytes[1 << 16];

// Reads the whole file in one request through a descriptor of its own,
// confirmed to be the file. The length read; -1 where the file is too long
// or may not be read, and so cannot be put back; -2 where reading failed.
long read_old_bytes(const char *path, const struct stat &file)
{
    if (file.st_size == 0 || file.st_size > static_cast<off_t>(sizeof old_bytes))
        return file.st_size == 0 ? 0 : -1;
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EACCES ? -1 : -2;
    struct stat opened {};
    const bool same = fstat(fd, &opened) == 0 && same_file(opened, file);
    const ssize_t got = same ? read(fd, old_bytes, sizeof old_bytes) : -2;
    close(fd);
    return got == file.st_size ? got : -2;
}

// Writes the data over the file, which held `held` old bytes (-1: unknown).
// Where it held as many, only the blocks that differ are written, in one
// call: a change of a few bytes is one sector's write.
bool write_over(int fd, const unsigned char *data, std::size_t length, long held)
{
    constexpr std::size_t block = 512;
    if (held != static_cast<long>(length))
        return write_bytes(fd, data, length, 0) == length && cut_to(fd, static_cast<off_t>(length));
    std::size_t first = length;
    std::size_t end = 0;
    for (std::size_t at = 0; at < length; at += block) {
        const std::size_t size = std::min(block, length - at);
        if (std::memcmp(data + at, old_bytes + at, size) != 0) {
            first = std::min(first, at);
            end = at + size;
        }
    }
    // Where nothing differs, the file is still new to whatever compares
    // times; setting both is what the right to write allows.
    return first >= end
               ? futimens(fd, nullptr) == 0
               : write_bytes(fd, data + first, end - first, static_cast<off_t>(first)) == end - first;
}

// Puts back the bytes that the file held, and a set-ID bit that a write
// cleared, where the tool may set it.
void put_back(int fd, const struct stat &file, long held)
{
    if (write_bytes(fd, old_bytes, static_cast<std::size_t>(held), 0) == static_cast<std::size_t>(held) &&
        cut_to(fd, held))
        flush_to_device(fd);
    struct stat now {};
    const mode_t cleared = file.st_mode & (S_ISUID | S_ISGID);
    if (fstat(fd, &now) == 0 && (now.st_mode & cleared) != cleared)
        fchmod(fd, (now.st_mode & 07777) | cleared);
}

// Updates the regular file open at fd, once no other run is writing it
// (where the file system can lock). If anything fails, what it held is put
// back, and a new file is removed, if its name is still its and nobody
// wrote it first: another run may have made it its output meanwhile.
bool update_regular_file(int fd, const char *path, const struct stat &opened, bool created,
                         const unsigned char *data, std::size_t length)
{
    take_turn(fd);  // even a new file, which another run may have found
    // The name must still stand for the file once the run has its turn, and
    // once the file is flushed: a file moved onto it, or the file moved
    // away, would have the image go where nobody looks for it. A file whose
    // old bytes cannot be read, though they could be, is left alone too.
    const auto named = [&] {
        struct stat entry {};
        return stat(path, &entry) == 0 && same_file(entry, opened);
    };
    struct stat file {};
    const bool known =
        fstat(fd, &file) == 0 || (created && lstat(path, &file) == 0 && same_file(file, opened));
    const bool own = created && known && file.st_size == 0;
    const long held = known && named() ? read_old_bytes(path, file) : -2;
    const bool ok = held != -2 && write_over(fd, data, length, held) && flush_to_device(fd) &&
                    (!created || flush_folder(path)) && named();
    if (!ok && held >= 0)
        put_back(fd, file, held);
    if (!ok && own)
        remove_if_still(path, opened);
    release_signals();
    return ok;
}

output_result write_open_file(int fd, const char *path, bool created, const unsigned char *data,
                              std::size_t length)
{
    struct stat file {};
    // A file just made is known by its name where its descriptor cannot tell.
    if (fstat(fd, &file) != 0 && !(created && lstat(path, &file) == 0)) {
        close(fd);
        return output_result::cannot_open;
    }
    const int stream = standard_stream_to(file);  // reached by a name that stat could not follow
    bool ok = false;
    if (stream >= 0)
        ok = write_through(stream, stream_file[stream], data, length);
    else if (S_ISREG(file.st_mode))
        ok = update_regular_file(fd, path, file, created, data, length);
    else
        ok = write_through(fd, file, data, length);
    close(fd);  // once the bytes are flushed, closing changes nothing
    return ok ? output_result::written : output_result::write_failed;
}

}  // namespace

output_result write_output_file(const char *path, const void *data, std::size_t length)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    sigprocmask(SIG_SETMASK, nullptr, &signals_at_start);
    if (!find_standard_streams())
        return output_result::cannot_open;

    // The tool's own output is found by what the path names before it is
    // opened, as the system will not open every stream by name (a socket).
    struct stat named {};
    const int stream = stat(path, &named) == 0 ? standard_stream_to(named) : -1;
    if (stream >= 0)
        return write_through(stream, stream_file[stream], bytes, length) ? output_result::written
                                                                         : output_result::write_failed;
    int fd = open_output(path, 0);
    if (fd >= 0 || errno != ENOENT)
        return fd >= 0 ? write_open_file(fd, path, false, bytes, length) : output_result::cannot_open;

    // A new file, with the mode that the umask or the folder's default ACL
    // gives it. Signals wait from its creation until it is whole or gone.
    hold_signals();
    fd = open_output(path, O_CREAT | O_EXCL);
    const bool exists = fd < 0 && errno == EEXIST;
    const output_result result =
        fd >= 0 ? write_open_file(fd, path, true, bytes, length) : output_result::cannot_open;
    release_signals();
    if (!exists)
        return result;
    // Another run made it meanwhile, or it is a dangling link, which is not
    // followed: its target is not created.
    fd = open_output(path, 0);
    return fd >= 0 ? write_open_file(fd, path, false, bytes, length) : output_result::cannot_open;
}

std::size_t read_locked(std::FILE *file, void *data, std::size_t size)
{
    flock(fileno(file), LOCK_SH);
    const std::size_t length = std::fread(data, 1, size, file);
    flock(fileno(file), LOCK_UN);
    return length;
}
