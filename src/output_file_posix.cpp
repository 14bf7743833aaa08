// Writes a whole file on POSIX systems so that an existing file is never
// left damaged, nor stripped of what made it the file it was.
//
// The system resolves every path and applies its protections; the tool
// opens the output as a plain write would and decides from what it opened.
// Wherever it acts on a name again (to replace or remove a file), it first
// confirms by device and inode that the name is the file it opened.
#include "output_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/limits.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

namespace {

// Where a file lies: an open descriptor of its folder and its name there.
// Where the folder cannot be opened, AT_FDCWD and the whole path.
struct location {
    int folder;
    const char *name;
};

bool known_folder(location at)
{
    return at.folder != AT_FDCWD;
}

void close_folder(location at)
{
    if (known_folder(at))
        close(at.folder);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the name is, right now, the file itself (not a link to it).
bool names_file(location at, const struct stat &file)
{
    struct stat entry {};
    return fstatat(at.folder, at.name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_file(entry, file);
}

// Paths that the tool takes apart. No longer path can be handed to the
// system in one call, so a file whose path does not fit is written
// directly instead of being replaced, never refused.
char folder_path[PATH_MAX];
[[maybe_unused]] char opened_path[PATH_MAX];  // used on Linux only

// Opens the folder in which path names its last component, for reading so
// that it can be flushed.
location locate(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *name = slash == nullptr ? path : slash + 1;
    const auto length = static_cast<std::size_t>(name - path);
    if (length < sizeof folder_path) {
        std::memcpy(folder_path, path, length);  // the slash stays: "/" is the root
        folder_path[length] = '\0';
        const int folder = open(length == 0 ? "." : folder_path, O_RDONLY | O_DIRECTORY);
        if (folder >= 0)
            return {folder, name};
    }
    return {AT_FDCWD, path};
}

// Finds the folder and name of an open file: first where the given path
// says, then, for a path through links, where the system says it opened
// it. The result names the file unless known_folder() is false.
location locate_open_file(const char *path, int fd, const struct stat &file)
{
    location at = locate(path);
    if (names_file(at, file))
        return at;
    close_folder(at);
#ifdef __linux__
    char proc_link[32];
    std::snprintf(proc_link, sizeof proc_link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(proc_link, opened_path, sizeof opened_path - 1);
    if (length > 0 && opened_path[0] == '/') {
        opened_path[length] = '\0';
        at = locate(opened_path);
        if (names_file(at, file))
            return at;
        close_folder(at);
    }
#else
    (void)fd;
#endif
    return {AT_FDCWD, path};
}

// The file that an interrupt must remove, if any: a temporary file not yet
// renamed, or a new output not yet complete. Changed only while the
// interrupts are held back.
int pending_folder = AT_FDCWD;
const char *volatile pending_name = nullptr;
struct stat pending_file;

// Every signal that would end the tool by default, but SIGKILL, which
// cannot be caught, SIGXFSZ, which is ignored, and those of a crash.
constexpr int interrupt_signals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
sigset_t interrupts;
sigset_t mask_before_holding;

// Removes the pending file, unless another file has taken its name since.
void remove_pending_file()
{
    if (pending_name != nullptr && names_file({pending_folder, pending_name}, pending_file))
        unlinkat(pending_folder, pending_name, 0);
}

void remove_pending_file_and_die(int signal_number)
{
    remove_pending_file();
    // End the run by the same signal, as the default action would have.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void catch_interrupts()
{
    sigemptyset(&interrupts);
    for (const int signal_number : interrupt_signals)
        sigaddset(&interrupts, signal_number);
    struct sigaction catching {};
    catching.sa_handler = remove_pending_file_and_die;
    catching.sa_mask = interrupts;
    for (const int signal_number : interrupt_signals) {
        // A signal that the caller has the tool ignore (nohup) stays ignored.
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaction(signal_number, &catching, nullptr);
    }
}

void hold_interrupts()
{
    sigprocmask(SIG_BLOCK, &interrupts, &mask_before_holding);
}

void release_interrupts()
{
    sigprocmask(SIG_SETMASK, &mask_before_holding, nullptr);
}

void set_pending(location at, int fd)
{
    pending_folder = at.folder;
    pending_name = fstat(fd, &pending_file) == 0 ? at.name : nullptr;
}

void clear_pending()
{
    pending_name = nullptr;
}

bool write_all(int fd, const unsigned char *data, std::size_t length, off_t offset)
{
    while (length > 0) {
        const ssize_t written = pwrite(fd, data, length, offset);
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// Writes to a stream that has no offset of its own to write at: a pipe, a
// terminal, or a file that the tool's standard output appends to.
bool write_stream(int fd, const unsigned char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Flushes a file to its device, so that what is reported written survives
// a crash.
bool flush_to_device(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    return fsync(fd) == 0;
}

// Flushes a folder after a name in it was made or replaced. Some file
// systems cannot flush a folder (EINVAL); a folder that could not be opened
// cannot be flushed either.
bool flush_folder(location at)
{
    return !known_folder(at) || fsync(at.folder) == 0 || errno == EINVAL;
}

bool needs_flush(const struct stat &file)
{
    return S_ISREG(file.st_mode) || S_ISBLK(file.st_mode);
}

// The standard stream, 1 or 2, that writes to the same file or pipe; -1
// for none.
int standard_stream_to(const struct stat &file)
{
    for (int stream = STDOUT_FILENO; stream <= STDERR_FILENO; ++stream) {
        struct stat standard {};
        if (fstat(stream, &standard) == 0 && same_file(standard, file) &&
            (fcntl(stream, F_GETFL) & O_ACCMODE) != O_RDONLY)
            return stream;
    }
    return -1;
}

// Moves a descriptor that took the number of a closed standard stream out
// of its way, so that it is not taken for the tool's own output.
int off_standard_streams(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

#ifdef __linux__
// The extended attributes of the old file, among them its access ACL.
char attribute_names[XATTR_LIST_MAX];
char attribute_value[XATTR_SIZE_MAX];

bool listed(const char *names, std::size_t length, const char *name)
{
    for (const char *listed_name = names; listed_name < names + length;
         listed_name += std::strlen(listed_name) + 1)
        if (std::strcmp(listed_name, name) == 0)
            return true;
    return false;
}

// Gives the new file exactly the old file's extended attributes, except
// for file capabilities: a write takes those away, and so does this one.
bool copy_attributes(int from, int to)
{
    const ssize_t length = flistxattr(from, attribute_names, sizeof attribute_names);
    if (length < 0)
        return errno == ENOTSUP;  // a file system without them
    const auto names_length = static_cast<std::size_t>(length);
    for (const char *name = attribute_names; name < attribute_names + names_length;
         name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") == 0)
            continue;
        const ssize_t size = fgetxattr(from, name, attribute_value, sizeof attribute_value);
        if (size < 0 || fsetxattr(to, name, attribute_value, static_cast<std::size_t>(size), 0) != 0)
            return false;
    }
    // The new file may have been given attributes of its own, such as the
    // folder's default ACL: take those away again.
    const ssize_t own_length = flistxattr(to, attribute_value, sizeof attribute_value);
    if (own_length < 0)
        return false;
    for (const char *name = attribute_value; name < attribute_value + own_length;
         name += std::strlen(name) + 1)
        if (!listed(attribute_names, names_length, name) && fremovexattr(to, name) != 0)
            return false;
    return true;
}

// Gives the new file the old file's inode flags (those that chattr sets),
// and checks that the rest of the file system's own settings for it, such
// as its project quota and extent size hints, are the old file's too.
bool copy_inode_flags(int from, int to)
{
    int old_flags = 0;
    int new_flags = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0)
        return errno == ENOTTY || errno == EOPNOTSUPP;  // a file system without them
    if (ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0)
        return false;
    if (new_flags != old_flags && (ioctl(to, FS_IOC_SETFLAGS, &old_flags) != 0 ||
                                   ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0 || new_flags != old_flags))
        return false;
    struct fsxattr old_settings {};
    struct fsxattr new_settings {};
    if (ioctl(from, FS_IOC_FSGETXATTR, &old_settings) != 0)
        return errno == ENOTTY || errno == EOPNOTSUPP;
    return ioctl(to, FS_IOC_FSGETXATTR, &new_settings) == 0 &&
           new_settings.fsx_xflags == old_settings.fsx_xflags &&
           new_settings.fsx_extsize == old_settings.fsx_extsize &&
           new_settings.fsx_cowextsize == old_settings.fsx_cowextsize &&
           new_settings.fsx_projid == old_settings.fsx_projid;
}
#else
// Without a known way to read every attribute a file may carry, no file
// can be replaced without the risk of losing some: write them directly.
bool copy_attributes(int /*from*/, int /*to*/)
{
    return false;
}

bool copy_inode_flags(int /*from*/, int /*to*/)
{
    return false;
}
#endif

// Gives the new file the owner, group, attributes and mode of the old one,
// so that nobody can tell the two apart but by their bytes. False where the
// system does not allow one of them.
bool take_identity(int temp, int old_fd, const struct stat &old)
{
    struct stat now {};
    if (fstat(temp, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(temp, old.st_uid, old.st_gid) != 0)
        return false;
    // The mode comes last, as setting an ACL changes it.
    if (!copy_attributes(old_fd, temp) || !copy_inode_flags(old_fd, temp) ||
        fchmod(temp, old.st_mode & 07777) != 0 || fstat(temp, &now) != 0)
        return false;
    // The system may quietly drop a bit it does not allow.
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid && now.st_mode == old.st_mode;
}

// Whether the opened file is as it was found: nobody changed its mode,
// owner, ACL, attributes or links meanwhile, which replacing it would undo.
bool unchanged(int fd, const struct stat &file)
{
    struct stat now {};
    return fstat(fd, &now) == 0 && now.st_ctim.tv_sec == file.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == file.st_ctim.tv_nsec && now.st_nlink == file.st_nlink;
}

// Whether the file can be replaced by a new one without anybody noticing
// but by its bytes: other hard links would keep the old bytes, and set-ID
// bits are the system's to keep or clear on a write.
bool replaceable(const struct stat &file)
{
    return file.st_nlink == 1 && (file.st_mode & (S_ISUID | S_ISGID)) == 0;
}

// A name beside the output for the new file; short, so that it fits
// wherever the output does.
char temp_name[32];

int create_temp_file(location at)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp_name, sizeof temp_name, "tolvek-%ld-%d.tmp", static_cast<long>(getpid()), attempt);
        hold_interrupts();
        const int fd = openat(at.folder, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0600);
        if (fd >= 0)
            set_pending({at.folder, temp_name}, fd);
        release_interrupts();
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Writes the data to a new file beside the old one, makes it the old one's
// twin and renames it over it, so that the old file stays whole until the
// new one is complete. False, with nothing changed, where that cannot be
// done.
bool replace(location at, int fd, const struct stat &file, const unsigned char *data, std::size_t length)
{
    const int temp = create_temp_file(at);
    if (temp < 0)
        return false;
    bool ok = write_all(temp, data, length, 0) && take_identity(temp, fd, file) && flush_to_device(temp);
    ok = close(temp) == 0 && ok;
    hold_interrupts();
    // Confirmed once more, just before the name is taken over.
    ok = ok && names_file(at, file) && unchanged(fd, file) &&
         renameat(at.folder, temp_name, at.folder, at.name) == 0;
    if (!ok)
        remove_pending_file();
    clear_pending();
    release_interrupts();
    return ok;
}

// What the file held before a direct write, to put back if it fails.
// Larger than any file the tool writes; a larger file cannot be put back.
unsigned char old_bytes[1 << 16];

// Reads the whole file through a descriptor of its own, confirmed to be
// the file. The length read, or -1 where it cannot be read whole.
long read_old_bytes(const char *path, const struct stat &file)
{
    if (file.st_size > static_cast<off_t>(sizeof old_bytes))
        return -1;
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat opened {};
    long length = -1;
    if (fstat(fd, &opened) == 0 && same_file(opened, file)) {
        length = 0;
        ssize_t got = 0;
        while ((got = read(fd, old_bytes + length, sizeof old_bytes - static_cast<std::size_t>(length))) > 0)
            length += got;
        if (got < 0 || length != file.st_size)
            length = -1;
    }
    close(fd);
    return length;
}

// Writes the data over the file in place. Where the file held the same
// number of bytes, only the span that differs is written; if anything
// fails, what the file held there is put back.
bool write_directly(int fd, const char *path, const struct stat &file, const unsigned char *data,
                    std::size_t length)
{
    const long held = read_old_bytes(path, file);
    std::size_t first = 0;
    std::size_t end = length;
    const bool same_length = held == static_cast<long>(length);
    if (same_length) {
        while (first < end && data[first] == old_bytes[first])
            ++first;
        while (end > first && data[end - 1] == old_bytes[end - 1])
            --end;
    }
    bool ok = write_all(fd, data + first, end - first, static_cast<off_t>(first)) &&
              (same_length || ftruncate(fd, static_cast<off_t>(length)) == 0) && flush_to_device(fd);
    if (!ok && held >= 0) {
        const std::size_t restore_end = same_length ? end : static_cast<std::size_t>(held);
        if (write_all(fd, old_bytes + first, restore_end - first, static_cast<off_t>(first)) &&
            ftruncate(fd, held) == 0)
            flush_to_device(fd);
    }
    return ok;
}

// Updates an existing regular file, and closes it: replaced where nobody
// could tell, otherwise written directly, with interrupts held back until
// it is whole.
output_result update_file(int fd, const char *path, const struct stat &file, const unsigned char *data,
                          std::size_t length)
{
    if (replaceable(file)) {
        const location at = locate_open_file(path, fd, file);
        const bool replaced = known_folder(at) && replace(at, fd, file, data, length);
        const bool flushed = replaced && flush_folder(at);
        close_folder(at);
        if (replaced) {
            close(fd);  // the old file, which was not written
            return flushed ? output_result::written : output_result::write_failed;
        }
    }
    hold_interrupts();
    // A file that lost its last name meanwhile, say to another program that
    // replaced it, would take the image where nobody can find it.
    struct stat now {};
    bool ok = fstat(fd, &now) == 0 && (now.st_nlink > 0 || file.st_nlink == 0) &&
              write_directly(fd, path, file, data, length);
    release_interrupts();
    ok = close(fd) == 0 && ok;
    return ok ? output_result::written : output_result::write_failed;
}

// Creates the output as a plain write would, the system applying the
// umask or the folder's default ACL, and removes it again on failure. A
// dangling link is not followed: its target is not created.
output_result create_file(const char *path, const unsigned char *data, std::size_t length)
{
    const location at = locate(path);
    hold_interrupts();
    const int fd = openat(at.folder, at.name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0666);
    if (fd >= 0)
        set_pending(at, fd);
    release_interrupts();
    if (fd < 0) {
        close_folder(at);
        return output_result::cannot_open;
    }
    bool ok = write_all(fd, data, length, 0) && flush_to_device(fd);
    ok = close(fd) == 0 && ok && flush_folder(at);
    hold_interrupts();
    if (!ok)
        remove_pending_file();
    clear_pending();
    release_interrupts();
    close_folder(at);
    return ok ? output_result::written : output_result::write_failed;
}

}  // namespace

output_result write_output_file(const char *path, const void *data, std::size_t length)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    // Past a file-size limit a write must fail and be reported, not kill the
    // tool half way through.
    std::signal(SIGXFSZ, SIG_IGN);
    catch_interrupts();

    const int opened = open(path, O_WRONLY | O_NOCTTY);
    if (opened < 0)
        return errno == ENOENT ? create_file(path, bytes, length) : output_result::cannot_open;
    const int fd = off_standard_streams(opened);
    struct stat file {};
    if (fd < 0 || fstat(fd, &file) != 0) {
        if (fd >= 0)
            close(fd);
        return output_result::cannot_open;
    }

    const int stream = standard_stream_to(file);
    if (stream < 0 && S_ISREG(file.st_mode))
        return update_file(fd, path, file, bytes, length);
    bool ok = false;
    if (stream >= 0) {
        // The tool's own output (/dev/stdout, say): the data goes where the
        // stream stands, after what was printed before.
        ok = std::fflush(stdout) == 0 && write_stream(stream, bytes, length) &&
             (!needs_flush(file) || flush_to_device(stream));
    } else {
        // A device, a FIFO: written straight through, never replaced.
        ok = write_stream(fd, bytes, length) && (!needs_flush(file) || flush_to_device(fd));
    }
    ok = close(fd) == 0 && ok;
    return ok ? output_result::written : output_result::write_failed;
}
