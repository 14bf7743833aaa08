// tolvek: checks the page checksums of a Quorin ROM image, or rewrites them
// into a new image.
//
//   tolvek in.rom            report each page whose checksum is wrong
//   tolvek in.rom out.rom    write in.rom with a corrected checksum table

#include "checksum.h"
#include "rom_image.h"

#include <cstdio>

namespace {

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
    // The attribution ends in a newline of its own: an empty line follows.
    std::printf("Quorin ROM checksum tool V1.0\n");
    std::printf("%s\n", "Written by the tolvek developers.\n");
    const int status = run(argc, argv);
    // The report is the tool's output: a run that could not print it failed.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        return 1;
    return status;
}
