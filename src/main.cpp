// tolvek: checks the page checksums of a Quorin ROM image, or rewrites them
// into a new image.
//
//   tolvek in.rom            report each page whose checksum is wrong
//   tolvek in.rom out.rom    write in.rom with a corrected checksum table

#include "checksum.h"
#include "rom_image.h"

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The C runtime's parse of the command line as the system gives it, in
// UTF-16, as wmain would receive it (its last argument is a _startupinfo).
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C runtime's own name
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int expand_wildcards,
                              int *new_mode);
#endif

namespace {

#ifdef _WIN32
// Standard output in binary mode, so that lines end in "\n" alone, as on
// other systems. A console shows the names, which the manifest makes UTF-8,
// as they were given, until the tool ends; but only if they come whole in
// one write, not a byte at a time, as an unbuffered console stream sends
// them. So the report is buffered, room enough for the longest, and the
// output module shows what was printed before it waits or writes there.
char output_buffer[128 * 1024];
UINT console_code_page;
void restore_console_code_page()
{
    SetConsoleOutputCP(console_code_page);
}
// Ctrl-C, Ctrl-Break or a closed console ends the tool through the system's
// own handler, which runs no atexit function: the code page goes back here.
// The output module's handler, installed later, runs before this one.
BOOL WINAPI on_console_event(DWORD /*event*/)
{
    restore_console_code_page();
    return FALSE;
}
void prepare_output()
{
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    console_code_page = GetConsoleOutputCP();
    if (console_code_page == 0 || console_code_page == CP_UTF8)
        return;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    if (SetConsoleOutputCP(CP_UTF8) != FALSE)
        std::atexit(restore_console_code_page);
}
// Whether name, argv[index], is the name on the command line. The C
// runtime passes names in the active code page, with U+FFFD or "?" where
// that cannot hold a character (a lone surrogate): such a name would open
// another file.
bool held_exactly(int index, const char *name)
{
    constexpr int longest = 32768;  // UTF-16 units of a command line
    static wchar_t given[longest];
    int count = 0;
    wchar_t **names = nullptr;
    wchar_t **environment = nullptr;
    int new_mode = 0;
    return __wgetmainargs(&count, &names, &environment, 0, &new_mode) == 0 && index < count &&
           MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, given, longest) != 0 &&
           std::wcscmp(given, names[index]) == 0;
}
#else
// Past a file-size limit a write fails, to be reported, rather than end
// the run: the output's, and the report's where it goes to a file.
void prepare_output()
{
    std::signal(SIGXFSZ, SIG_IGN);
}
bool held_exactly(int /*index*/, const char * /*name*/)
{
    return true;
}
#endif

int run(int argc, char **argv)
{
    if (argc < 2) {
        std::printf("usage: tolvek in.rom [out.rom]\n");
        return 1;
    }
    const char *input_path = argv[1];
    const char *output_path = argc > 2 ? argv[2] : nullptr;  // further operands are ignored

    // A name that the system gave but the tool cannot hold exactly (on
    // Windows) would stand for another file.
    if (!held_exactly(1, input_path)) {
        std::printf("cannot open input file %s\n", input_path);
        return 1;
    }
    if (!load_rom_image(input_path))
        return 1;
    if (output_path == nullptr) {
        verify_checksums();  // mismatches are findings, not failures
        return 0;
    }
    update_checksums();
    if (!held_exactly(2, output_path)) {
        std::printf("cannot open output file %s\n", output_path);
        return 1;
    }
    return save_rom_image(output_path);
}

}  // namespace

int main(int argc, char **argv)
{
    prepare_output();
    // The attribution ends in a newline of its own: an empty line follows.
    std::printf("Quorin ROM checksum tool V1.0\n");
    std::printf("%s\n", "Written by the tolvek developers.\n");
    const int status = run(argc, argv);
    // The report is the tool's output: a run that could not print it failed.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        return 1;
    return status;
}
