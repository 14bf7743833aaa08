#include "checksum.h"

#include "output_file.h"
#include "rom_image.h"

#include <cstdio>

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

int save_rom_image(const char *path)
{
    switch (write_output_file(path, rom.data, rom.length)) {
    case output_result::written:
        std::printf("updated checksums in %s\n", path);
        return 0;
    case output_result::cannot_open:
        std::printf("cannot open output file %s\n", path);
        return 1;
    case output_result::write_failed:
        break;
    }
    std::printf("error writing output file %s\n", path);
    return 1;
}
