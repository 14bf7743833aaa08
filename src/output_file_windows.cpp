// Writes a whole file on Windows without ever leaving a damaged file behind.
// An existing disk file is written in place under an exclusive lock, so that
// runs on one output take turns, its old bytes read first so that a failed
// write puts them back. A new file is created exclusively and, if it cannot
// be written in full, removed through its own handle. A device or a pipe is
// written straight through; the tool's own output, through its stream.
#include "output_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The longest path that the system takes, in UTF-16 code units.
constexpr DWORD max_path_length = 32768;

// The bytes to write, and where.
const unsigned char *output_data;
DWORD output_length;
wchar_t output_path[max_path_length];

// What an existing file held, so that a failed write can put it back. The
// images are at most 32 KiB; a longer file, or one that may be written but
// not read, is written without that.
unsigned char old_bytes[64 * 1024];

// Held from the first write of an existing file until it is whole or put
// back, and from the creation of a new file until it is flushed or removed.
SRWLOCK section = SRWLOCK_INIT;

// Ctrl-C, Ctrl-Break or a closed console: waits for the section under way to
// end and keeps the lock, so that none begins after it. The handlers
// installed before this one then run, and the system's own ends the process.
BOOL WINAPI on_console_event(DWORD /*event*/)
{
    AcquireSRWLockExclusive(&section);
    return FALSE;
}

// Reads or writes all the bytes (ReadFile, WriteFile), in as many calls.
template <typename Call, typename Byte> bool transfer(Call call, HANDLE file, Byte *bytes, DWORD length)
{
    while (length > 0) {
        DWORD done = 0;
        if (call(file, bytes, length, &done, nullptr) == FALSE || done == 0)
            return false;
        bytes += done;
        length -= done;
    }
    return true;
}

bool seek(HANDLE file, LONGLONG offset)
{
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

bool set_length(HANDLE file, LONGLONG length)
{
    return seek(file, length) && SetEndOfFile(file) != FALSE;
}

// Locks the whole file, shared or exclusive, waiting while another run holds
// it. Where the file system cannot lock, the run goes on without the lock.
void lock(HANDLE file, DWORD flags)
{
    OVERLAPPED whole{};
    LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole);
}

// The file's volume serial number and its ID there (on FAT, its index).
// False where the system cannot tell the serial number (it gives 0).
bool file_id(HANDLE file, FILE_ID_INFO &id)
{
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) == FALSE) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(file, &info) == FALSE)
            return false;
        id = FILE_ID_INFO{};
        id.VolumeSerialNumber = info.dwVolumeSerialNumber;
        const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
        std::memcpy(&id.FileId, &index, sizeof index);
    }
    return id.VolumeSerialNumber != 0;
}

// The standard output or error that writes to the disk file the output
// names, or null. The file is looked at without being opened for reading or
// writing, so that its sharing (a command prompt's redirection) cannot hide it.
HANDLE own_stream()
{
    HANDLE named =
        CreateFileW(output_path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return nullptr;
    FILE_ID_INFO id{};
    const bool known = GetFileType(named) == FILE_TYPE_DISK && file_id(named, id);
    CloseHandle(named);
    const DWORD streams[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (const DWORD stream : streams) {
        HANDLE handle = GetStdHandle(stream);
        FILE_ID_INFO other{};
        if (known && handle != nullptr && handle != INVALID_HANDLE_VALUE &&
            GetFileType(handle) == FILE_TYPE_DISK && file_id(handle, other) &&
            other.VolumeSerialNumber == id.VolumeSerialNumber &&
            std::memcmp(&other.FileId, &id.FileId, sizeof id.FileId) == 0)
            return handle;
    }
    return nullptr;
}

// Writes the image through the tool's own stream, after what was printed
// and before what follows. Where it was to end the file and cannot be
// written in full, the file is cut back to where the image began.
output_result write_to_stream(HANDLE stream)
{
    std::fflush(stdout);
    LARGE_INTEGER start{};
    LARGE_INTEGER size{};
    const bool at_end = SetFilePointerEx(stream, LARGE_INTEGER{}, &start, FILE_CURRENT) != FALSE &&
                        GetFileSizeEx(stream, &size) != FALSE && start.QuadPart == size.QuadPart;
    AcquireSRWLockExclusive(&section);
    const bool ok =
        transfer(WriteFile, stream, output_data, output_length) && FlushFileBuffers(stream) != FALSE;
    if (!ok && at_end)
        set_length(stream, start.QuadPart);
    ReleaseSRWLockExclusive(&section);
    return ok ? output_result::written : output_result::write_failed;
}

constexpr DWORD sector = 512;

// Writes the image over the file's old bytes. Where the length stays the
// same, only the span that differs, found a sector at a time, is written,
// in one call: an update changes one sector. Otherwise the whole image is
// written and the file cut to its length. Where nothing differs, the file's
// modification time becomes now, as a write would make it.
bool write_changes(HANDLE file, bool saved, DWORD old_length)
{
    if (!saved || old_length != output_length)
        return seek(file, 0) && transfer(WriteFile, file, output_data, output_length) &&
               set_length(file, output_length);
    const auto differs = [](DWORD start) {
        const DWORD length = std::min(sector, output_length - start);
        return std::memcmp(old_bytes + start, output_data + start, length) != 0;
    };
    DWORD first = 0;
    while (first < output_length && !differs(first))
        first += sector;
    if (first >= output_length) {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        return SetFileTime(file, nullptr, nullptr, &now) != FALSE;
    }
    DWORD last = (output_length - 1) / sector * sector;
    while (!differs(last))
        last -= sector;
    const DWORD end = std::min(last + sector, output_length);
    return seek(file, first) && transfer(WriteFile, file, output_data + first, end - first);
}

// Writes the image into an existing disk file where it stands, and closes
// it. The old bytes are read and the image written through the one handle
// that holds the lock, as the lock binds every other handle.
output_result write_in_place(HANDLE output)
{
    HANDLE file = ReOpenFile(output, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    const bool readable = file != INVALID_HANDLE_VALUE;
    if (readable)
        CloseHandle(output);
    else
        file = output;  // it may be written but not read
    lock(file, LOCKFILE_EXCLUSIVE_LOCK);
    LARGE_INTEGER size{};
    const bool saved = readable && GetFileSizeEx(file, &size) != FALSE &&
                       size.QuadPart <= LONGLONG{sizeof old_bytes} &&
                       transfer(ReadFile, file, old_bytes, static_cast<DWORD>(size.QuadPart));
    const auto old_length = saved ? static_cast<DWORD>(size.QuadPart) : 0;

    AcquireSRWLockExclusive(&section);
    const bool ok = write_changes(file, saved, old_length) && FlushFileBuffers(file) != FALSE;
    if (!ok && saved && seek(file, 0) && transfer(WriteFile, file, old_bytes, old_length) &&
        set_length(file, old_length))
        FlushFileBuffers(file);
    ReleaseSRWLockExclusive(&section);
    CloseHandle(file);  // once the bytes are flushed, a failed close changes nothing
    return ok ? output_result::written : output_result::write_failed;
}

// Writes the image into the file just created, locked at once so that a run
// that finds it meanwhile waits; if that fails, removes it through its own
// handle, whatever has its name now (unless another program holds it open).
output_result write_new_file(HANDLE file)
{
    lock(file, LOCKFILE_EXCLUSIVE_LOCK);
    const bool ok = transfer(WriteFile, file, output_data, output_length) && FlushFileBuffers(file) != FALSE;
    if (!ok) {
        HANDLE removal = ReOpenFile(file, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (removal != INVALID_HANDLE_VALUE) {
            FILE_DISPOSITION_INFO remove{TRUE};
            SetFileInformationByHandle(removal, FileDispositionInfo, &remove, sizeof remove);
            CloseHandle(removal);
        }
    }
    CloseHandle(file);
    return ok ? output_result::written : output_result::write_failed;
}

// Opens the output for writing, as a plain write would, so that the
// read-only attribute and the file's security refuse it; a folder cannot be
// opened so. Other programs may read and write it meanwhile, not delete it.
HANDLE open_existing()
{
    return CreateFileW(output_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

output_result write_output()
{
    HANDLE stream = own_stream();
    if (stream != nullptr)
        return write_to_stream(stream);
    HANDLE output = open_existing();
    if (output == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // A new file. Its creator's handle lets a run that finds it meanwhile
        // open it as an existing file, and removal be asked for later.
        AcquireSRWLockExclusive(&section);
        HANDLE created = CreateFileW(output_path, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        const output_result result =
            created != INVALID_HANDLE_VALUE ? write_new_file(created) : output_result::cannot_open;
        ReleaseSRWLockExclusive(&section);
        if (created != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS)
            return result;
        // Another run made it meanwhile, or a link names a missing file:
        // open it as an existing file, once.
        output = open_existing();
    }
    if (output == INVALID_HANDLE_VALUE)
        return output_result::cannot_open;

    // A device (NUL, CON, ...) or a pipe is written straight through, after
    // what was printed, in case that goes to the same place.
    if (GetFileType(output) != FILE_TYPE_DISK) {
        std::fflush(stdout);
        const bool ok = transfer(WriteFile, output, output_data, output_length);
        CloseHandle(output);
        return ok ? output_result::written : output_result::write_failed;
    }
    // The system refuses to open a read-only file for writing, but Wine run
    // as root does not: check the attribute too, so that it always binds.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(output, FileBasicInfo, &basic, sizeof basic) != FALSE &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        CloseHandle(output);
        return output_result::cannot_open;
    }
    return write_in_place(output);
}

}  // namespace

output_result write_output_file(const char *path, const void *data, std::size_t length)
{
    if (length > sizeof old_bytes)
        return output_result::write_failed;
    output_data = static_cast<const unsigned char *>(data);
    output_length = static_cast<DWORD>(length);
    // Names come in the active code page, which the manifest makes UTF-8.
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, output_path, max_path_length) == 0)
        return output_result::cannot_open;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return write_output();
}

std::size_t read_locked(std::FILE *file, void *data, std::size_t size)
{
    const std::intptr_t handle = _get_osfhandle(_fileno(file));
    auto *const locked =
        reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr): the C runtime's type
    if (handle != -1)
        lock(locked, 0);
    const std::size_t length = std::fread(data, 1, size, file);
    OVERLAPPED whole{};
    if (handle != -1)
        UnlockFileEx(locked, 0, MAXDWORD, MAXDWORD, &whole);
    return length;
}
