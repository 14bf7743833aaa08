#include "checksum.h"

#include "rom_image.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

unsigned char page_checksum(unsigned page)
{
    const unsigned char *bytes = &rom_byte(page * page_size);
    unsigned sum = 0;
    for (unsigned i = 0; i < page_size; ++i)
        sum += bytes[i];
    // The checksum adds each byte with an end-around carry, taking 255 off
    // whenever the sum passes 255. That keeps it congruent to the plain sum
    // modulo 255, and from 1 to 255 once any byte is non-zero, so folding
    // the plain sum once gives the same value, from a loop that the
    // compiler can vectorise.
    return static_cast<unsigned char>(sum == 0 ? 0 : (sum - 1) % 255 + 1);
}

void verify_checksums()
{
    bool all_good = true;
    for (unsigned page = rom.first_page; page < page_count; ++page) {
        const unsigned computed = page_checksum(page);
        const unsigned stored = rom_byte(table_entry_address(page));
        if (computed != stored) {
            std::printf("checksum error in page %u: is %02x should be %02x\n", page, stored, computed);
            all_good = false;
        }
    }
    if (all_good)
        std::printf("checksum is OK!\n");
}

void update_checksums()
{
    // The table lies in the table page, so no entry stored here changes the
    // checksum of another page.
    for (unsigned page = rom.first_page; page < page_count; ++page)
        rom_byte(table_entry_address(page)) = page == table_page ? 1 : page_checksum(page);

    // Balance the table page so that it, too, sums to its entry, 1. Its sum
    // with the balance byte at 0 is 1 to 255, and adding 256 - sum wraps it
    // round to 1; a sum of 1 needs nothing added.
    rom_byte(balance_byte_address) = 0;
    const unsigned sum = page_checksum(table_page);
    rom_byte(balance_byte_address) = static_cast<unsigned char>(sum == 1 ? 0 : 256 - sum);
}

namespace {

// Links followed from the output path before giving up on a loop.
constexpr int max_link_hops = 40;

constexpr char temp_name[] = "tolvek-XXXXXX";

// The file that receives the image, and the temporary file beside it.
char target_path[PATH_MAX];
char temp_path[PATH_MAX + sizeof temp_name];

enum class save_result { written, cannot_open, write_failed };

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

bool write_image(int fd)
{
    const unsigned char *next = rom.data;
    std::size_t left = rom.length;
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
        ok = ok && ftruncate(fd, static_cast<off_t>(rom.length)) == 0 && fsync(fd) == 0;
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

save_result write_output(const char *path)
{
    // The output must name a file; a name that ends in '/' names a folder.
    if (!resolve_output_path(path) || target_path[directory_length(target_path)] == '\0')
        return save_result::cannot_open;
    struct stat status {};
    const bool exists = lstat(target_path, &status) == 0;
    if (!exists && errno != ENOENT)
        return save_result::cannot_open;

    // Opening an existing file for writing, without emptying it, lets its
    // permissions protect it just as they would a plain write; a folder
    // cannot be opened so.
    int existing = -1;
    if (exists) {
        existing = open(target_path, O_WRONLY);
        if (existing < 0)
            return save_result::cannot_open;
        // A device or a FIFO is written straight through, never replaced.
        if (!S_ISREG(status.st_mode))
            return write_in_place(existing, false) ? save_result::written : save_result::write_failed;
    }

    const int temp = create_temp_file();
    if (temp < 0) {
        if (existing < 0)
            return save_result::cannot_open;
        // Nothing can be made beside the file, but the file itself can be
        // written: write it directly.
        return write_in_place(existing, true) ? save_result::written : save_result::write_failed;
    }
    if (existing >= 0)
        close(existing);
    const mode_t mode = exists ? status.st_mode & 07777 : new_file_mode();
    return replace_target(temp, mode) ? save_result::written : save_result::write_failed;
}

}  // namespace

int save_rom_image(const char *path)
{
    // Past the file-size limit a write should fail and be reported, not kill
    // the tool and leave its temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);

    const save_result result = write_output(path);
    if (result == save_result::written) {
        std::printf("updated checksums in %s\n", path);
        return 0;
    }
    if (result == save_result::cannot_open)
        std::printf("cannot open output file %s\n", path);
    else
        std::printf("error writing output file %s\n", path);
    return 1;
}
