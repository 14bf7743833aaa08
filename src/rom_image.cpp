#include "rom_image.h"

#include "output_file.h"

#include <cstdio>

rom_image rom;

bool load_rom_image(const char *path)
{
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::printf("cannot open input file %s\n", path);
        return false;
    }
    lock_for_reading(file);
    rom.length = std::fread(rom.data, 1, sizeof rom.data, file);
    // A read error is not the end of the file: the bytes read so far could
    // have an accepted length, and an in-place update would cut the file.
    const bool read_failed = std::ferror(file) != 0;
    std::fclose(file);
    if (read_failed) {
        std::printf("cannot open input file %s\n", path);
        return false;
    }

    if (rom.length != rom_size / 2 && rom.length != rom_size && rom.length != 2 * rom_size) {
        std::printf("%s is not a quorin ROM file\n", path);
        return false;
    }
    // The logical ROM always ends with the file: an 8 KiB file holds its
    // upper half, a 32 KiB file other content followed by the whole ROM.
    rom.logical_offset = static_cast<std::int32_t>(rom.length) - static_cast<std::int32_t>(rom_size);
    rom.first_page = rom.length < rom_size ? page_count / 2 : 0;

    // The version is packed BCD: major in the high nibble, minor in the low.
    const unsigned version = rom_byte(version_byte_address);
    const unsigned major = version >> 4;
    const unsigned minor = version & 0x0F;
    if (major > 9 || minor > 9) {
        std::printf("%s: invalid ROM version number %02x\n", path, version);
        return false;
    }
    if (version <= 0x14) {
        std::printf("%s: unsupported Quorin ROM version %u.%u\n", path, major, minor);
        return false;
    }
    return true;
}

unsigned char &rom_byte(unsigned address)
{
    return rom.data[static_cast<std::int32_t>(address) + rom.logical_offset];
}
