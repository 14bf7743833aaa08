// The checksum rule and the balance byte, on images placed straight in memory.
#include "checksum.h"
#include "rom_image.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A whole 16 KiB ROM of the given byte, version 2.1.
void fill_rom(unsigned char byte)
{
    std::memset(rom.data, byte, sizeof rom.data);
    rom.length = rom_size;
    rom.logical_offset = 0;
    rom.first_page = 0;
    rom_byte(version_byte_address) = 0x21;
}

TEST(PageChecksum, IsTheEndAroundCarrySum)
{
    struct page_case {
        unsigned char first, second, rest, expected;
    };
    const page_case cases[] = {
        {0x00, 0x00, 0x00, 0x00},  // only a page of zeros gives 0
        {0xFF, 0xFF, 0xFF, 0xFF},  // 255 is the largest checksum
        {0x80, 0x90, 0x00, 0x11},  // 0x110 less 255, not 256
        {0x80, 0x7F, 0x00, 0xFF},  // a non-zero multiple of 255 gives 0xFF, never 0
        {0x01, 0x01, 0x01, 0x01},  // 256 ones
    };
    for (const page_case &c : cases) {
        fill_rom(0x01);  // neighbouring pages must not count
        std::memset(&rom_byte(5 * page_size), c.rest, page_size);
        rom_byte(5 * page_size) = c.first;
        rom_byte(5 * page_size + 1) = c.second;
        EXPECT_EQ(page_checksum(5), c.expected) << "first byte " << int{c.first};
    }
}

TEST(UpdateChecksums, BalancesTheTablePageToOne)
{
    // In a zero ROM of version 2.1 the table page sums to 0x22 with its
    // entries and a zero balance byte; one more byte in it sets that sum.
    struct balance_case {
        unsigned char extra, balance;
    };
    const balance_case cases[] = {
        {0x00, 0xDE},
        {0xDD, 0x01},
        {0xDE, 0x00},  // sums to 1 already: 0x00, although 0xFF balances too
        {0xDF, 0xFE},
    };
    for (const balance_case &c : cases) {
        fill_rom(0x00);
        rom_byte(table_page * page_size) = c.extra;
        update_checksums();
        EXPECT_EQ(rom_byte(balance_byte_address), c.balance) << "extra byte " << int{c.extra};
        EXPECT_EQ(rom_byte(table_entry_address(table_page)), 1);
        EXPECT_EQ(page_checksum(table_page), 1);
        EXPECT_EQ(rom_byte(table_entry_address(63)), 0x21);
    }
}

}  // namespace
