// Writes a whole file on Windows without ever leaving a damaged file behind.
//
// The output is opened for writing first, so that the system's protections
// apply to it as to a plain write. A device or a pipe is written straight
// through. A disk file is replaced by a complete, flushed temporary file
// made beside the file that the opened output turned out to be; where it
// cannot be replaced, it is written in place, its old bytes put back if that
// fails. A new file is made under a temporary name and then renamed.
#include "output_file.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The longest path that the system takes, in UTF-16 code units with the
// terminating null, and the longest name that the tool makes beside a file.
constexpr DWORD max_path_length = 32768;
constexpr std::size_t max_name_length = 20;

// The bytes to write.
const unsigned char *output_data;
DWORD output_length;

// The output as given; the file that receives the image (the opened file's
// own path, or for a new file the output as given); beside it, the new file
// while it is made, and the old one while it is swapped out.
wchar_t output_path[max_path_length];
wchar_t target_path[max_path_length];
wchar_t temp_path[max_path_length + max_name_length];
wchar_t backup_path[max_path_length + max_name_length];

// Whether temp_path or backup_path names a file that must go if the save
// ends; a failed swap that could not put the old file back clears both, so
// that the files that hold the old and the new bytes stay.
bool temp_exists;
bool backup_exists;
bool target_missing;

// What a file written in place held, so that a failed write can put it
// back. The tool's images are at most 32 KiB; a longer file, or one that
// may not be read, is written without that.
unsigned char old_bytes[64 * 1024];

// Held around each step that must not be cut short: making or removing the
// files beside the target, swapping, writing a file in place.
SRWLOCK save_lock = SRWLOCK_INIT;

// Ctrl-C, Ctrl-Break or a closed console during the save: waits for the
// step under way, removes the tool's own files and ends the process, as the
// system's own handler would, without releasing the lock.
BOOL WINAPI on_console_event(DWORD /*event*/)
{
    AcquireSRWLockExclusive(&save_lock);
    if (temp_exists)
        DeleteFileW(temp_path);
    if (backup_exists)
        DeleteFileW(backup_path);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool write_all(HANDLE file, const unsigned char *bytes, DWORD length)
{
    while (length > 0) {
        DWORD written = 0;
        if (WriteFile(file, bytes, length, &written, nullptr) == FALSE || written == 0)
            return false;
        bytes += written;
        length -= written;
    }
    return true;
}

bool read_all(HANDLE file, unsigned char *bytes, DWORD length)
{
    while (length > 0) {
        DWORD read = 0;
        if (ReadFile(file, bytes, length, &read, nullptr) == FALSE || read == 0)
            return false;
        bytes += read;
        length -= read;
    }
    return true;
}

bool seek(HANDLE file, DWORD offset)
{
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

bool close(HANDLE file)
{
    return CloseHandle(file) != FALSE;
}

bool missing(const wchar_t *path)
{
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Another program can hold a file that was just made or is being replaced
// for a moment (a virus scanner, an indexer). A step refused for that is
// tried again, with pauses of 10, 20, ... 640 ms, before the refusal counts.
bool may_pass(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
           error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}
constexpr int attempts = 8;

// Takes a step, which returns whether it succeeded and leaves the reason in
// the last error if not, under the lock, as often as that takes.
template <typename Step> bool retried(Step step)
{
    DWORD pause = 10;
    for (int attempt = 1;; ++attempt) {
        AcquireSRWLockExclusive(&save_lock);
        const bool done = step();
        const DWORD error = GetLastError();
        ReleaseSRWLockExclusive(&save_lock);
        if (done)
            return true;
        if (attempt == attempts || !may_pass(error) || target_missing)
            return false;
        Sleep(pause);
        pause *= 2;
    }
}

void remove_file(const wchar_t *path, bool &exists)
{
    retried([&] {
        if (DeleteFileW(path) == FALSE && GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        exists = false;
        return true;
    });
}

// The file's identity: its volume and its ID on that volume, from the file
// system's own IDs or, where it has none (FAT), from its file index.
bool file_id(HANDLE file, FILE_ID_INFO &id)
{
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != FALSE)
        return true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) == FALSE)
        return false;
    id = FILE_ID_INFO{};
    id.VolumeSerialNumber = info.dwVolumeSerialNumber;
    const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
    std::memcpy(&id.FileId, &index, sizeof index);
    return true;
}

// Whether the handle is the file with the given identity. A volume serial
// number of 0 is one that the system could not tell (Wine gives it for the
// standard handles that it inherits), and the file ID decides then.
bool is_file(HANDLE handle, const FILE_ID_INFO &id)
{
    FILE_ID_INFO other{};
    if (!file_id(handle, other))
        return false;
    const bool same_volume = other.VolumeSerialNumber == id.VolumeSerialNumber ||
                             other.VolumeSerialNumber == 0 || id.VolumeSerialNumber == 0;
    return same_volume && std::memcmp(&other.FileId, &id.FileId, sizeof id.FileId) == 0;
}

// The standard output or error where it is the same disk file as the
// output; null where neither is.
HANDLE same_standard_stream(const FILE_ID_INFO &output)
{
    const DWORD streams[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (const DWORD stream : streams) {
        HANDLE handle = GetStdHandle(stream);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
            is_file(handle, output))
            return handle;
    }
    return nullptr;
}

// Length of the folder part of path, up to and including its last
// separator, or the colon of a drive letter.
std::size_t folder_length(const wchar_t *path)
{
    std::size_t length = 0;
    for (std::size_t i = 0; path[i] != L'\0'; ++i) {
        if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
            length = i + 1;
    }
    return length;
}

// Whether path names a stream of a file ("file.rom:name"), which has no
// folder entry of its own to swap.
bool names_stream(const wchar_t *path)
{
    return std::wcschr(path + folder_length(path), L':') != nullptr;
}

// Names a file beside target_path: "tolvek-", the number in 8 hexadecimal
// digits, and the suffix.
void name_beside_target(wchar_t *path, unsigned number, const wchar_t (&suffix)[5])
{
    const std::size_t folder = folder_length(target_path);
    std::memcpy(path, target_path, folder * sizeof *path);
    wchar_t *name = path + folder;
    for (const wchar_t *prefix = L"tolvek-"; *prefix != L'\0'; ++prefix)
        *name++ = *prefix;
    for (int digit = 7; digit >= 0; --digit)
        *name++ = L"0123456789abcdef"[(number >> (4U * static_cast<unsigned>(digit))) & 0xFU];
    std::memcpy(name, suffix, sizeof suffix);
}

// Creates and opens a new, empty file beside target_path, under a name that
// no file has, and chooses a name for the old file beside it that no file
// has either; INVALID_HANDLE_VALUE where no file can be made there.
HANDLE create_temp_file()
{
    unsigned number = GetCurrentProcessId() * 2654435761U + GetTickCount();
    for (int attempt = 0; attempt < 100; ++attempt, number = number * 1664525U + 1013904223U) {
        name_beside_target(temp_path, number, L".tmp");
        name_beside_target(backup_path, number, L".old");
        if (!missing(backup_path))
            continue;
        AcquireSRWLockExclusive(&save_lock);
        HANDLE temp = CreateFileW(temp_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        temp_exists = temp != INVALID_HANDLE_VALUE;
        ReleaseSRWLockExclusive(&save_lock);
        if (temp != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS)
            return temp;
    }
    return INVALID_HANDLE_VALUE;
}

// Fills the temporary file with the image, flushes it to its device and
// closes it.
bool fill_temp_file(HANDLE temp)
{
    const bool ok = write_all(temp, output_data, output_length) && FlushFileBuffers(temp) != FALSE;
    return close(temp) && ok;
}

// Swaps the new file in over target_path with ReplaceFileW, which gives it
// the old file's attributes, security and streams, and keeps the old file
// under backup_path until the swap is done. Where a failed swap left
// nothing at target_path, the old file goes back there.
bool replace_target()
{
    if (ReplaceFileW(target_path, temp_path, backup_path, 0, nullptr, nullptr) != FALSE) {
        temp_exists = false;
        backup_exists = true;
        return true;
    }
    const DWORD error = GetLastError();
    if (missing(target_path) && MoveFileExW(backup_path, target_path, MOVEFILE_WRITE_THROUGH) == FALSE) {
        temp_exists = false;
        target_missing = true;
    }
    SetLastError(error);
    return false;
}

// Gives the new file its name, for an output that did not exist.
bool rename_temp_file()
{
    if (MoveFileExW(temp_path, target_path, MOVEFILE_WRITE_THROUGH) == FALSE)
        return false;
    temp_exists = false;
    return true;
}

bool set_length(HANDLE file, DWORD length)
{
    return seek(file, length) && SetEndOfFile(file) != FALSE;
}

// Writes the image over the file: only the bytes that differ from its old
// bytes when they are known and the length stays the same, so that little
// can go wrong.
bool write_changes(HANDLE file, bool saved, DWORD old_length)
{
    if (!saved || old_length != output_length)
        return seek(file, 0) && write_all(file, output_data, output_length) &&
               set_length(file, output_length);
    DWORD first = 0;
    DWORD last = output_length;
    while (first < last && old_bytes[first] == output_data[first])
        ++first;
    while (last > first && old_bytes[last - 1] == output_data[last - 1])
        --last;
    return first == last || (seek(file, first) && write_all(file, output_data + first, last - first));
}

// Writes the image into the opened file where it stands, for a file that
// cannot be replaced, and closes the handle. The old bytes are read first,
// where the file may be read, so that a failed write puts them back.
output_result write_in_place(HANDLE output)
{
    HANDLE file = ReOpenFile(output, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (file == INVALID_HANDLE_VALUE)
        file = output;
    else
        close(output);
    LARGE_INTEGER size{};
    const bool saved = file != output && GetFileSizeEx(file, &size) != FALSE &&
                       size.QuadPart <= LONGLONG{sizeof old_bytes} &&
                       read_all(file, old_bytes, static_cast<DWORD>(size.QuadPart));
    const auto old_length = saved ? static_cast<DWORD>(size.QuadPart) : 0;

    AcquireSRWLockExclusive(&save_lock);
    bool ok = write_changes(file, saved, old_length) && FlushFileBuffers(file) != FALSE;
    if (!ok && saved) {
        // Put the old bytes back, as far as the file lets us.
        if (seek(file, 0) && write_all(file, old_bytes, old_length) && set_length(file, old_length))
            FlushFileBuffers(file);
    }
    ReleaseSRWLockExclusive(&save_lock);
    ok = close(file) && ok;
    return ok ? output_result::written : output_result::write_failed;
}

output_result write_new_file()
{
    // The output must name a file; a name that ends in a separator names a
    // folder.
    if (output_path[folder_length(output_path)] == L'\0')
        return output_result::cannot_open;
    std::memcpy(target_path, output_path, sizeof output_path);
    HANDLE temp = create_temp_file();
    if (temp == INVALID_HANDLE_VALUE)
        return output_result::cannot_open;
    if (fill_temp_file(temp) && retried(rename_temp_file))
        return output_result::written;
    remove_file(temp_path, temp_exists);
    return output_result::write_failed;
}

// Replaces the opened disk file, which is closed first, with a complete new
// file beside it; where that cannot be done, writes it in place.
output_result replace_file(HANDLE output, const FILE_ID_INFO *id)
{
    FILE_STANDARD_INFO standard{};
    // Other hard links would keep the old bytes if the file were replaced.
    const bool replaceable =
        !names_stream(output_path) &&
        GetFileInformationByHandleEx(output, FileStandardInfo, &standard, sizeof standard) != FALSE &&
        standard.NumberOfLinks <= 1;
    // The new file goes beside the file itself, which the system tells from
    // the handle, whatever links or junctions led to it.
    const DWORD length =
        GetFinalPathNameByHandleW(output, target_path, max_path_length, FILE_NAME_NORMALIZED);
    HANDLE temp = INVALID_HANDLE_VALUE;
    if (replaceable && length > 0 && length < max_path_length)
        temp = create_temp_file();
    if (temp == INVALID_HANDLE_VALUE)
        return write_in_place(output);
    if (!fill_temp_file(temp)) {
        // No room for a second copy, say on a full disk: write the file where
        // it stands.
        remove_file(temp_path, temp_exists);
        return write_in_place(output);
    }
    close(output);
    if (retried(replace_target)) {
        remove_file(backup_path, backup_exists);  // the old file
        return output_result::written;
    }
    if (target_missing)
        return output_result::write_failed;  // the old and the new file keep their own names
    remove_file(temp_path, temp_exists);

    // The file may not be replaced, though it may be written (its folder
    // refuses the swap, or another program holds it without letting it be
    // renamed): write it in place, as a plain write would, if it is still
    // the file that was opened.
    HANDLE again = CreateFileW(target_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (again == INVALID_HANDLE_VALUE)
        return output_result::write_failed;
    if (id == nullptr || !is_file(again, *id)) {
        close(again);
        return output_result::write_failed;
    }
    return write_in_place(again);
}

output_result write_output()
{
    // Opening the output for writing, as a plain write would, lets the
    // read-only attribute and the file's security refuse it; a folder cannot
    // be opened so.
    HANDLE output = CreateFileW(output_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? write_new_file() : output_result::cannot_open;

    // A device (NUL, CON, ...) or a pipe is written straight through, after
    // what was printed, in case that goes to the same place.
    if (GetFileType(output) != FILE_TYPE_DISK) {
        std::fflush(stdout);
        const bool ok = write_all(output, output_data, output_length);
        return close(output) && ok ? output_result::written : output_result::write_failed;
    }

    // The system refuses to open a read-only file for writing, but Wine run
    // as root does not: check the attribute too, so that it always binds.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(output, FileBasicInfo, &basic, sizeof basic) != FALSE &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        close(output);
        return output_result::cannot_open;
    }

    // The same file as the tool's standard output or error: the image goes
    // through that stream, after what was printed and before what follows,
    // and nothing is replaced.
    FILE_ID_INFO id{};
    const bool known = file_id(output, id);
    HANDLE stream = known ? same_standard_stream(id) : nullptr;
    if (stream != nullptr) {
        close(output);
        std::fflush(stdout);
        return write_all(stream, output_data, output_length) && FlushFileBuffers(stream) != FALSE
                   ? output_result::written
                   : output_result::write_failed;
    }
    return replace_file(output, known ? &id : nullptr);
}

}  // namespace

output_result write_output_file(const char *path, const void *data, std::size_t length)
{
    if (length > sizeof old_bytes)
        return output_result::write_failed;
    output_data = static_cast<const unsigned char *>(data);
    output_length = static_cast<DWORD>(length);
    // Names come in the active code page, which the tool's manifest makes
    // UTF-8.
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, output_path, max_path_length) == 0)
        return output_result::cannot_open;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return write_output();
}
