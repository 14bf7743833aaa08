// tolvek: checks the page checksums of a Quorin ROM image, or rewrites them
// into a new image.
//
//   tolvek in.rom            report each page whose checksum is wrong
//   tolvek in.rom out.rom    write in.rom with a corrected checksum table

#include "checksum.h"
#include "rom_image.h"

#include <cstdio>

#ifdef _WIN32
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
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
#else
void prepare_output() {}
#endif

int run(int argc, char **argv)
{
    if (argc < 2) {
        std::printf("usage: tolvek in.rom [out.rom]\n");
        return 1;
    }
    const char *input_path = argv[1];
    const char *output_path = argc > 2 ? argv[2] : nullptr;  // further operands are ignored

    if (!load_rom_image(input_path))
        return 1;
    if (output_path == nullptr) {
        verify_checksums();  // mismatches are findings, not failures
        return 0;
    }
    update_checksums();
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
