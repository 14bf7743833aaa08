// The ROM image: its layout, the one image of the run, and how an image
// file is read and accepted.
#ifndef TOLVEK_ROM_IMAGE_H
#define TOLVEK_ROM_IMAGE_H

#include <cstddef>
#include <cstdint>

// The logical ROM: 64 pages of 256 bytes, at logical addresses from 0.
constexpr unsigned page_size = 256;
constexpr unsigned page_count = 64;
constexpr std::size_t rom_size = std::size_t{page_size} * page_count;

// Landmarks, as logical addresses. The table holds one checksum per page;
// it and the balance byte lie in the table page.
constexpr unsigned balance_byte_address = 0x3EBF;
constexpr unsigned checksum_table_address = 0x3EC0;
constexpr unsigned version_byte_address = 0x3FFB;
constexpr unsigned table_page = 62;

constexpr unsigned table_entry_address(unsigned page)
{
    return checksum_table_address + page;
}

// The largest accepted file: 16 KiB carried through untouched, then the ROM.
constexpr std::size_t max_image_length = 2 * rom_size;

struct rom_image {
    // One byte more than the largest accepted file, so that a longer file
    // reads as too long instead of being cut to an accepted length.
    unsigned char data[max_image_length + 1];
    std::size_t length;           // bytes read: 8192, 16384 or 32768 once accepted
    std::int32_t logical_offset;  // buffer index = logical address + logical_offset
    unsigned first_page;          // lowest page the file holds: 0, or 32 for 8 KiB
};

// The one image of the run.
extern rom_image rom;

// Reads the file at path into rom and checks its length and version byte.
// On failure prints one line saying why and returns false.
bool load_rom_image(const char *path);

// The byte at a logical address of the loaded image, for reading or writing.
// Only addresses of the pages that the file holds are valid.
unsigned char &rom_byte(unsigned address);

#endif
