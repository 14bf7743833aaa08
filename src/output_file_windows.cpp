// Writes a whole file on Windows: an existing disk file in place under an
// exclusive lock, its old bytes put back if the write fails; a new file
// created exclusively and removed through its own handle if it cannot be
// written in full; a device or a pipe straight through; the tool's own
// output through its stream.
#include "output_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The longest path that the system takes, in UTF-16 code units.
constexpr DWORD max_path_length = 32768;

const unsigned char *output_data;
DWORD output_length;
wchar_t output_path[max_path_length];

// What an existing file held, to put back if the write fails.
unsigned char old_bytes[64 * 1024];

// Held from the lock of an existing file until it is whole or put back,
// and from the creation of a new file until it is whole, put back or gone.
SRWLOCK section = SRWLOCK_INIT;

// Ctrl-C, Ctrl-Break or a closed console: waits for the section under way
// and keeps the lock, so that none begins; then the handlers installed
// before this one run, and the system's own ends the process.
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

// Locks the whole file, shared or exclusive, where the file system can.
// While another program holds it, shows what was printed and waits, outside
// the section if in it, so that Ctrl-C ends the wait.
bool lock(HANDLE file, DWORD flags, bool in_section)
{
    OVERLAPPED whole{};
    if (LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) != FALSE)
        return true;
    if (in_section)
        ReleaseSRWLockExclusive(&section);
    std::fflush(stdout);
    const bool locked = LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole) != FALSE;
    if (in_section)
        AcquireSRWLockExclusive(&section);
    return locked;
}

// The file's type (FILE_TYPE_DISK, ...); false where the system cannot tell.
bool get_type(HANDLE file, DWORD &type)
{
    SetLastError(NO_ERROR);
    type = GetFileType(file);
    return type != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

// The file's volume serial number (0: unknown) and its ID there (on FAT, its index).
bool get_id(HANDLE file, FILE_ID_INFO &id)
{
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != FALSE)
        return true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) == FALSE)
        return false;
    id = FILE_ID_INFO{info.dwVolumeSerialNumber, {}};
    const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
    std::memcpy(&id.FileId, &index, sizeof index);
    return true;
}

// Standard output and error where they may write (a zero-byte write tells)
// to a disk file: their number, or -1 where one is open but cannot be told.
int disk_streams(HANDLE (&streams)[2])
{
    int count = 0;
    for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        DWORD type = FILE_TYPE_UNKNOWN;
        DWORD none = 0;
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
            continue;
        if (!get_type(handle, type) && GetLastError() != ERROR_INVALID_HANDLE)  // not merely closed
            return -1;
        if (type == FILE_TYPE_DISK && WriteFile(handle, "", 0, &none, nullptr) != FALSE)
            streams[count++] = handle;
    }
    return count;
}

// The one of those that writes to the disk file the output names; null for
// none, INVALID_HANDLE_VALUE where that cannot be told (the file cannot be
// examined, or a stream has its ID on a volume of unknown serial number).
// The file is looked at through the handle that opened it for writing, or,
// where its sharing refused that (a command prompt's redirection), through
// one that neither reads nor writes; a pipe it names gets no second client.
HANDLE own_stream(HANDLE output)
{
    HANDLE streams[2] = {};
    const int count = disk_streams(streams);
    if (count <= 0)
        return count < 0 ? INVALID_HANDLE_VALUE : nullptr;
    HANDLE named = output;
    if (named == INVALID_HANDLE_VALUE)
        named = CreateFileW(output_path, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD type = FILE_TYPE_UNKNOWN;
    FILE_ID_INFO id{};
    const bool known = get_type(named, type) && (type != FILE_TYPE_DISK || get_id(named, id));
    if (named != output)
        CloseHandle(named);
    for (int i = 0; known && type == FILE_TYPE_DISK && i < count; ++i) {
        FILE_ID_INFO other{};
        if (!get_id(streams[i], other))
            return INVALID_HANDLE_VALUE;
        const bool same_id = std::memcmp(&other.FileId, &id.FileId, sizeof id.FileId) == 0;
        if (same_id && (other.VolumeSerialNumber == 0 || id.VolumeSerialNumber == 0))
            return INVALID_HANDLE_VALUE;
        if (same_id && other.VolumeSerialNumber == id.VolumeSerialNumber)
            return streams[i];
    }
    return known ? nullptr : INVALID_HANDLE_VALUE;
}

// Writes the image through the tool's own stream, after what was printed;
// where it was to end the file and fails, the file is cut back.
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

// Writes the image over the file's old bytes: where the length stays the
// same, the span of sectors that differ, in one call (an update changes one
// sector), else the whole image, cut to its length. Where nothing differs,
// the modification time becomes now, as a write would make it.
bool write_changes(HANDLE file, bool saved, DWORD old_length)
{
    if (!saved || old_length != output_length)
        return seek(file, 0) && transfer(WriteFile, file, output_data, output_length) &&
               set_length(file, output_length);
    constexpr DWORD sector = 512;
    DWORD first = output_length;
    DWORD end = 0;
    for (DWORD at = 0; at < output_length; at += sector) {
        const DWORD size = std::min(sector, output_length - at);
        if (std::memcmp(old_bytes + at, output_data + at, size) != 0) {
            first = std::min(first, at);
            end = at + size;
        }
    }
    if (first < end)
        return seek(file, first) && transfer(WriteFile, file, output_data + first, end - first);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return SetFileTime(file, nullptr, nullptr, &now) != FALSE;
}

// Removes the file through its own handle, whatever has its name now
// (unless another program holds it open).
void remove(HANDLE file)
{
    HANDLE removal = ReOpenFile(file, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (removal == INVALID_HANDLE_VALUE)
        return;
    FILE_DISPOSITION_INFO remove{TRUE};
    SetFileInformationByHandle(removal, FileDispositionInfo, &remove, sizeof remove);
    CloseHandle(removal);
}

// Writes the image into a disk file where it stands, reading and writing
// through the one handle that holds the lock, and closes it. On failure the
// file gets back what it held, or, made by this run and still empty once
// locked, is removed; one whose size is not known, or whose old bytes could
// be read but were not, is left alone.
output_result write_in_place(HANDLE file, bool readable, bool created)
{
    lock(file, LOCKFILE_EXCLUSIVE_LOCK, created);
    if (!created)
        AcquireSRWLockExclusive(&section);  // a new file's began at its creation
    LARGE_INTEGER size{};
    const bool sized = GetFileSizeEx(file, &size) != FALSE;
    const bool small = sized && size.QuadPart <= LONGLONG{sizeof old_bytes};
    const bool saved =
        readable && small && transfer(ReadFile, file, old_bytes, static_cast<DWORD>(size.QuadPart));
    const auto old_length = saved ? static_cast<DWORD>(size.QuadPart) : 0;
    const bool ok = sized && (saved || !readable || !small) && write_changes(file, saved, old_length) &&
                    FlushFileBuffers(file) != FALSE;
    if (!ok && created && saved && old_length == 0)
        remove(file);
    else if (!ok && saved && seek(file, 0) && transfer(WriteFile, file, old_bytes, old_length) &&
             set_length(file, old_length))
        FlushFileBuffers(file);
    ReleaseSRWLockExclusive(&section);
    CloseHandle(file);  // once the bytes are flushed, a failed close changes nothing
    return ok ? output_result::written : output_result::write_failed;
}

// Opens the output for writing, as a plain write would, so that the
// read-only attribute and the file's security refuse it (and a folder), and
// to read its attributes. Others may read and write it meanwhile, not delete it.
HANDLE open_existing()
{
    return CreateFileW(output_path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

output_result write_output()
{
    HANDLE output = open_existing();
    const DWORD error = GetLastError();
    HANDLE stream =
        output != INVALID_HANDLE_VALUE || error == ERROR_SHARING_VIOLATION ? own_stream(output) : nullptr;
    if (stream != nullptr && output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (stream != nullptr)
        return stream != INVALID_HANDLE_VALUE ? write_to_stream(stream) : output_result::cannot_open;
    if (output == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND) {
        // A new file. Its creator's handle lets a run that finds it meanwhile
        // open it as an existing file, and removal be asked for later.
        AcquireSRWLockExclusive(&section);
        HANDLE created = CreateFileW(output_path, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created != INVALID_HANDLE_VALUE)
            return write_in_place(created, true, true);
        const DWORD creation_error = GetLastError();
        ReleaseSRWLockExclusive(&section);
        if (creation_error != ERROR_FILE_EXISTS)
            return output_result::cannot_open;
        // Another run made it meanwhile, or a link names a missing file.
        output = open_existing();
    }
    if (output == INVALID_HANDLE_VALUE)
        return output_result::cannot_open;

    // A device (NUL, CON, ...) or a pipe: straight through, after what was
    // printed, in case that goes to the same place.
    DWORD type = FILE_TYPE_UNKNOWN;
    const bool known = get_type(output, type);
    if (known && type != FILE_TYPE_DISK) {
        std::fflush(stdout);
        const bool ok = transfer(WriteFile, output, output_data, output_length);
        CloseHandle(output);
        return ok ? output_result::written : output_result::write_failed;
    }
    // A file whose type the system cannot tell is not taken for a device.
    // The system refuses to open a read-only file for writing, but Wine run
    // as root does not: check the attribute too, so that it always binds.
    FILE_BASIC_INFO basic{};
    if (!known || (GetFileInformationByHandleEx(output, FileBasicInfo, &basic, sizeof basic) != FALSE &&
                   (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0)) {
        CloseHandle(output);
        return output_result::cannot_open;
    }
    // Reopened to read the old bytes too; written without them where its
    // security forbids reading, refused where another program's sharing does.
    HANDLE file = ReOpenFile(output, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    const DWORD reopen_error = GetLastError();
    if (file == INVALID_HANDLE_VALUE && reopen_error == ERROR_ACCESS_DENIED)
        return write_in_place(output, false, false);
    CloseHandle(output);
    if (file != INVALID_HANDLE_VALUE)
        return write_in_place(file, true, false);
    return reopen_error == ERROR_SHARING_VIOLATION ? output_result::cannot_open : output_result::write_failed;
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
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime gives the handle as a number
    auto *const handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    const bool locked = handle != INVALID_HANDLE_VALUE && lock(handle, 0, false);
    const std::size_t length = std::fread(data, 1, size, file);
    OVERLAPPED whole{};
    if (locked)
        UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
    return length;
}
