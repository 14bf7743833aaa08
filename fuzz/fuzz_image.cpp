// Takes any bytes as the whole content of an image file, loads and verifies
// it, checks each page's checksum against the rule's definition, and when
// the image is accepted updates it and checks what an update must keep.
// Any breach aborts, which the fuzzer reports as a crash.
#include "checksum.h"
#include "rom_image.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

char image_path[] = "/tmp/tolvek-fuzz-XXXXXX";
unsigned char loaded[sizeof rom.data];
unsigned char updated[sizeof rom.data];

void require(bool holds, const char *invariant)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", invariant);
        std::abort();
    }
}

// The checksum rule as it is defined: a byte at a time, subtracting 255
// whenever the sum passes 255.
unsigned carried_sum(unsigned page)
{
    unsigned sum = 0;
    for (unsigned i = 0; i < page_size; ++i) {
        sum += rom_byte(page * page_size + i);
        if (sum > 255)
            sum -= 255;
    }
    return sum;
}

// Whether the update may change the byte at this index of the file: the
// table entries of the pages the file holds and the balance byte.
bool may_change(std::size_t index)
{
    const long address = static_cast<long>(index) - rom.logical_offset;
    return address == balance_byte_address ||
           (address >= table_entry_address(rom.first_page) && address <= table_entry_address(page_count - 1));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    // The reports are not looked at; writing them would only slow the run.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    const int fd = mkstemp(image_path);
    if (fd < 0)
        std::abort();
    close(fd);
    std::atexit([] { unlink(image_path); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::FILE *file = std::fopen(image_path, "wb");
    require(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0,
            "the input can be written to a file");
    if (!load_rom_image(image_path))
        return 0;
    verify_checksums();
    for (unsigned page = rom.first_page; page < page_count; ++page)
        require(page_checksum(page) == carried_sum(page), "the checksum follows its definition");

    std::memcpy(loaded, rom.data, rom.length);
    update_checksums();
    for (unsigned page = rom.first_page; page < page_count; ++page)
        require(page_checksum(page) == rom_byte(table_entry_address(page)), "the updated image verifies");
    require(rom_byte(table_entry_address(table_page)) == 1, "the table page's entry is 1");
    for (std::size_t i = 0; i < rom.length; ++i)
        require(rom.data[i] == loaded[i] || may_change(i), "only the table and the balance byte change");

    std::memcpy(updated, rom.data, rom.length);
    update_checksums();
    require(std::memcmp(rom.data, updated, rom.length) == 0, "a second update changes nothing");
    return 0;
}
