// The page checksum, and verifying, updating and saving the checksum table
// of the loaded image.
#ifndef TOLVEK_CHECKSUM_H
#define TOLVEK_CHECKSUM_H

// The end-around-carry sum of the page's 256 bytes: 0 only for a page of
// zeros, otherwise 1 to 255.
unsigned char page_checksum(unsigned page);

// Prints one line for each page whose table entry differs from its
// checksum, or "checksum is OK!" when none does.
void verify_checksums();

// Rewrites the table entries of the pages that the file holds and sets the
// balance byte, so that every one of those pages checks out.
void update_checksums();

// Writes the image to path without ever leaving a damaged file behind and
// prints one line saying how it went. Returns the exit status: 0 or 1.
int save_rom_image(const char *path);

#endif
