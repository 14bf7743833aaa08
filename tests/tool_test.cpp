// Runs the built tool on generated images in a scratch folder and checks
// what it prints, its exit status and the files it leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *banner = "Quorin ROM checksum tool V1.0\nWritten by the tolvek developers.\n\n";
constexpr const char *all_good = "checksum is OK!\n";

// A Windows build of the tool, where this names one: the tests then run it
// under Wine in place of the tool built beside them.
const char *const windows_tool = std::getenv("TOLVEK_WINDOWS_EXE");

constexpr long rom_size = 16384;
constexpr long table = 0x3EC0;
constexpr long balance_byte = 0x3EBF;

// An image with varied content, a table that matches little of it, and the
// given version byte, fifth from the end.
std::string make_image(long length, unsigned char version = 0x21)
{
    std::string image(static_cast<std::size_t>(length), '\0');
    for (long i = 0; i < length; ++i)
        image[i] = static_cast<char>(i * 13 + i / 256);
    if (length >= 5)
        image[length - 5] = static_cast<char>(version);
    return image;
}

unsigned char byte_at(const std::string &image, long index)
{
    return static_cast<unsigned char>(image[index]);
}

// Where logical address 0 lies in the file: the ROM ends with the file.
long rom_start(const std::string &image)
{
    return static_cast<long>(image.size()) - rom_size;
}
long first_page(const std::string &image)
{
    return image.size() == 8192 ? 32 : 0;
}

// The checksum rule as it is defined, a byte at a time with an end-around
// carry, independent of the tool's own way of computing it.
unsigned checksum(const std::string &image, long page)
{
    unsigned sum = 0;
    for (long i = 0; i < 256; ++i) {
        sum += byte_at(image, rom_start(image) + page * 256 + i);
        if (sum > 255)
            sum -= 255;
    }
    return sum;
}

// What verify mode should print for an image.
std::string verify_report(const std::string &image)
{
    std::string report;
    for (long page = first_page(image); page < 64; ++page) {
        const unsigned stored = byte_at(image, rom_start(image) + table + page);
        const unsigned computed = checksum(image, page);
        if (stored != computed) {
            char line[64];
            std::snprintf(line, sizeof line, "checksum error in page %ld: is %02x should be %02x\n", page,
                          stored, computed);
            report += line;
        }
    }
    return report.empty() ? all_good : report;
}

// Checks that output is input with a correct table: only the table entries
// of the file's pages and the balance byte changed, and all of them verify.
void expect_updated(const std::string &input, const std::string &output)
{
    ASSERT_EQ(output.size(), input.size());
    const long start = rom_start(input);
    for (long i = 0; i < static_cast<long>(input.size()); ++i) {
        const bool may_change =
            i == start + balance_byte || (i >= start + table + first_page(input) && i < start + table + 64);
        if (!may_change) {
            ASSERT_EQ(output[i], input[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(byte_at(output, start + table + 62), 1);
    EXPECT_EQ(verify_report(output), all_good);
}

std::string slurp(const std::string &file_path)
{
    std::ifstream file(file_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class Tool : public ::testing::Test {
  protected:
    struct result {
        int status;
        std::string out, err;
    };

    void SetUp() override
    {
        char name[] = "/tmp/tolvek-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        // A copy of the tool in a folder that an unprivileged user can reach.
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        if (windows_tool == nullptr) {
            ASSERT_EQ(std::system(("cp " TOLVEK_PATH " " + dir + "/tolvek").c_str()), 0);
        } else {
            // Wine prints nothing of its own, and does not die of a file-size
            // limit, which SIGXFSZ would make it do.
            write("tolvek", std::string("#!/bin/sh\ntrap '' XFSZ\nWINEDEBUG=-all exec wine '") +
                                windows_tool + "' \"$@\"\n");
            ASSERT_EQ(chmod(path("tolvek").c_str(), 0755), 0);
        }
    }
    void TearDown() override
    {
        if (dir.empty())
            return;  // no scratch folder was made
        std::system(("chmod -R u+w " + dir + "; rm -rf " + dir + " " + dir + ".*").c_str());
    }

    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::string read(const std::string &name) const { return slurp(path(name)); }
    void write(const std::string &name, const std::string &content) const
    {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    // Runs a shell command in the scratch folder, where ./tolvek is the tool
    // and $AS_USER drops root's privileges, which permissions do not bind.
    // What the command prints is kept beside the folder, not in it.
    result run(const std::string &command) const
    {
        const std::string as_user =
            geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
        const int status = std::system(("cd " + dir + " && export AS_USER='" + as_user + "' && (" + command +
                                        ") >" + dir + ".out 2>" + dir + ".err")
                                           .c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir + ".out"), slurp(dir + ".err")};
    }
    void expect_run(const std::string &command, const std::string &report, int status) const
    {
        const result r = run(command);
        EXPECT_EQ(r.out, banner + report) << command;
        EXPECT_EQ(r.status, status) << command;
        EXPECT_EQ(r.err, "") << command;
    }

    std::string dir;
};

TEST_F(Tool, PrintsUsageWithoutOperand)
{
    expect_run("./tolvek", "usage: tolvek in.rom [out.rom]\n", 1);
}

TEST_F(Tool, RejectsWhatIsNoImageInBothModes)
{
    struct rejection {
        const char *input;
        long length;  // of the input file; -1 for none
        unsigned char version;
        const char *message;
    };
    const rejection cases[] = {
        {"missing.rom", -1, 0, "cannot open input file missing.rom\n"},
        {"-x", -1, 0, "cannot open input file -x\n"},
        {".", -1, 0, "cannot open input file .\n"},  // a read error, not an empty file
        {"in.rom", 0, 0, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 8191, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 8193, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 16383, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 16385, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 32767, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 32769, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 65536, 0x21, "in.rom is not a quorin ROM file\n"},
        {"in.rom", 16384, 0x14, "in.rom: unsupported Quorin ROM version 1.4\n"},
        {"in.rom", 16384, 0x00, "in.rom: unsupported Quorin ROM version 0.0\n"},
        {"in.rom", 8192, 0x09, "in.rom: unsupported Quorin ROM version 0.9\n"},
        {"in.rom", 32768, 0x1A, "in.rom: invalid ROM version number 1a\n"},
        {"in.rom", 16384, 0xA5, "in.rom: invalid ROM version number a5\n"},
        {"in.rom", 16384, 0x0F, "in.rom: invalid ROM version number 0f\n"},
    };
    for (const rejection &c : cases) {
        const std::string image = make_image(std::max(c.length, 0L), c.version);
        unlink(path("in.rom").c_str());
        if (c.length >= 0)
            write(c.input, image);
        expect_run(std::string("./tolvek ") + c.input, c.message, 1);
        expect_run(std::string("./tolvek ") + c.input + " out.rom", c.message, 1);
        EXPECT_EQ(run("ls -A").out, c.length >= 0 ? "in.rom\ntolvek\n" : "tolvek\n");
        if (c.length >= 0) {
            EXPECT_EQ(read(c.input), image);
        }
    }
}

// One image of each accepted size, each with wrong table entries in pages
// that the file may not hold, and the 32 KiB one with an invalid version
// byte in the first half, which is never looked at.
std::string sized_image(long length)
{
    const unsigned char version = length == 8192 ? 0x15 : length == 16384 ? 0x99 : 0x21;
    std::string image = make_image(length, version);
    if (length == 32768)
        image[0x3FFB] = static_cast<char>(0xAA);
    return image;
}
const long accepted_lengths[] = {8192, 16384, 32768};

TEST_F(Tool, VerifiesEachPageOfEachSize)
{
    for (const long length : accepted_lengths) {
        const std::string image = sized_image(length);
        write("in.rom", image);
        const std::string report = verify_report(image);
        ASSERT_NE(report, all_good);
        expect_run("./tolvek in.rom", report, 0);
        EXPECT_EQ(read("in.rom"), image);
    }
}

TEST_F(Tool, UpdatesOnlyTheTableAndTheBalanceByte)
{
    for (const long length : accepted_lengths) {
        const std::string image = sized_image(length);
        write("in.rom", image);
        expect_run("./tolvek in.rom out.rom ignored.rom", "updated checksums in out.rom\n", 0);
        const std::string updated = read("out.rom");
        expect_updated(image, updated);
        expect_run("./tolvek out.rom", all_good, 0);

        expect_run("./tolvek out.rom again.rom", "updated checksums in again.rom\n", 0);
        EXPECT_EQ(read("again.rom"), updated);
        expect_run("./tolvek in.rom in.rom", "updated checksums in in.rom\n", 0);
        EXPECT_EQ(read("in.rom"), updated);
        EXPECT_EQ(run("ls -A").out, "again.rom\nin.rom\nout.rom\ntolvek\n");
    }
}

// A run of the tool on in.rom, a 16 KiB image, beside ref.rom, which is
// in.rom as the tool updates it. The setup and check are shell commands run
// in the scratch folder as the test's user; the run's command may prefix
// $AS_USER to run unprivileged. A setup that exits with 77 skips the case.
struct scenario {
    const char *name, *setup, *command;
    const char *report;  // printed after the banner; null for nothing at all
    int status;
    const char *check, *checked;  // the check must succeed and print checked
};

void PrintTo(const scenario &s, std::ostream *out)
{
    *out << s.name;
}

// Rows that test what Windows does not have, left out for the Windows tool.
struct left_out {
    const char *row, *reason;
};
const left_out left_out_on_windows[] = {
    {"LinkLoop", "a loop of symbolic links as POSIX makes them"},
    {"RelativeLink", "symbolic links as POSIX makes them"},
    {"ShortLink", "symbolic links as POSIX makes them"},
    {"AbsoluteLink", "symbolic links as POSIX makes them"},
    {"LinkChain", "symbolic links as POSIX makes them"},
    {"KeepsMode", "POSIX mode bits"},
    {"NewFileMode", "POSIX mode bits and the umask"},
    {"ReadOnlyFile", "setpriv; Wine runs only for the owner of its prefix"},
    {"ReadOnlyFolder", "setpriv; Wine runs only for the owner of its prefix"},
    {"ReadOnlyFolderNewFile", "setpriv; Wine runs only for the owner of its prefix"},
};

// Why the row is left out for the tool under test; null where it runs.
const char *left_out_reason(const char *row)
{
    for (const left_out &l : left_out_on_windows) {
        if (windows_tool != nullptr && std::strcmp(l.row, row) == 0)
            return l.reason;
    }
    return nullptr;
}

class Output : public Tool, public ::testing::WithParamInterface<scenario> {
  protected:
    void SetUp() override
    {
        Tool::SetUp();
        if (const char *reason = left_out_reason(GetParam().name))
            GTEST_SKIP() << GetParam().name << " is left out on Windows: " << reason;
    }
};

TEST_P(Output, IsWrittenOrLeftAlone)
{
    const scenario &s = GetParam();
    write("in.rom", make_image(16384));
    expect_run("./tolvek in.rom ref.rom", "updated checksums in ref.rom\n", 0);
    const int setup = run(s.setup).status;
    if (setup == 77)
        GTEST_SKIP() << s.setup;
    ASSERT_EQ(setup, 0) << s.setup;
    const result r = run(std::string(s.command));
    EXPECT_EQ(r.out, s.report ? std::string(banner) + s.report : "");
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.err, "");
    const result checked = run(s.check);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out, s.checked);
}

const char *const untouched = "in.rom\nref.rom\ntolvek\n";
const char *const no_mknod = "mknod null c 1 3 && mknod full c 1 7 || exit 77";

INSTANTIATE_TEST_SUITE_P(
    Tool, Output,
    ::testing::Values(
        // Outputs that cannot be opened: nothing is made or changed.
        scenario{"MissingFolder", "true", "./tolvek in.rom missing/out.rom",
                 "cannot open output file missing/out.rom\n", 1, "ls -A", untouched},
        scenario{"Folder", "mkdir folder", "./tolvek in.rom folder", "cannot open output file folder\n", 1,
                 "ls -A folder", ""},
        scenario{"EmptyPath", "true", "./tolvek in.rom ''", "cannot open output file \n", 1, "ls -A",
                 untouched},
        scenario{"FileAsFolder", "true", "./tolvek in.rom in.rom/out.rom",
                 "cannot open output file in.rom/out.rom\n", 1, "ls -A", untouched},
        scenario{"FolderPath", "true", "./tolvek in.rom new/", "cannot open output file new/\n", 1, "ls -A",
                 untouched},
        scenario{"LinkLoop", "ln -s loop loop", "./tolvek in.rom loop", "cannot open output file loop\n", 1,
                 "ls -A", "in.rom\nloop\nref.rom\ntolvek\n"},
        // A write stopped half way by the file-size limit leaves the original.
        scenario{"WriteFailsInPlace", "cp in.rom orig.rom", "ulimit -f 16; ./tolvek in.rom in.rom",
                 "error writing output file in.rom\n", 1, "cmp in.rom orig.rom && ls -A",
                 "in.rom\norig.rom\nref.rom\ntolvek\n"},
        scenario{"WriteFailsNew", "true", "ulimit -f 16; ./tolvek in.rom out.rom",
                 "error writing output file out.rom\n", 1, "ls -A", untouched},
        // Permission bits and links are kept.
        scenario{"KeepsMode", "cp in.rom a.rom && chmod 641 a.rom", "./tolvek a.rom a.rom",
                 "updated checksums in a.rom\n", 0, "cmp a.rom ref.rom && stat -c %a a.rom", "641\n"},
        scenario{"NewFileMode", "true", "umask 002; ./tolvek in.rom new.rom",
                 "updated checksums in new.rom\n", 0, "cmp new.rom ref.rom && stat -c %a new.rom", "664\n"},
        scenario{"RelativeLink", "mkdir links && ln -s ../real.rom links/out.rom",
                 "./tolvek in.rom links/out.rom", "updated checksums in links/out.rom\n", 0,
                 "test -L links/out.rom && cmp real.rom ref.rom", ""},
        scenario{"ShortLink", "cp in.rom real.rom && ln -s real.rom a-longer-name.rom",
                 "./tolvek in.rom a-longer-name.rom", "updated checksums in a-longer-name.rom\n", 0,
                 "test -L a-longer-name.rom && cmp real.rom ref.rom", ""},
        scenario{"AbsoluteLink", "mkdir links && ln -s \"$PWD/real.rom\" links/abs.rom",
                 "./tolvek in.rom links/abs.rom", "updated checksums in links/abs.rom\n", 0,
                 "test -L links/abs.rom && cmp real.rom ref.rom", ""},
        scenario{"LinkChain",
                 "mkdir links && ln -s ../real.rom links/out.rom && ln -s links/out.rom chain.rom",
                 "./tolvek in.rom chain.rom", "updated checksums in chain.rom\n", 0,
                 "test -L chain.rom && cmp real.rom ref.rom", ""},
        // Permissions protect a file as they would from a plain write.
        scenario{"ReadOnlyFile", "cp in.rom locked.rom && chmod 444 locked.rom && chmod 777 .",
                 "$AS_USER ./tolvek in.rom locked.rom", "cannot open output file locked.rom\n", 1,
                 "cmp locked.rom in.rom && ls -A", "in.rom\nlocked.rom\nref.rom\ntolvek\n"},
        scenario{"ReadOnlyFolder",
                 "mkdir shut && cp in.rom shut/open.rom && chmod 666 shut/open.rom && chmod 555 shut",
                 "$AS_USER ./tolvek in.rom shut/open.rom", "updated checksums in shut/open.rom\n", 0,
                 "cmp shut/open.rom ref.rom && ls -A shut", "open.rom\n"},
        scenario{"ReadOnlyFolderNewFile", "mkdir shut && chmod 555 shut",
                 "$AS_USER ./tolvek in.rom shut/new.rom", "cannot open output file shut/new.rom\n", 1,
                 "ls -A shut", ""},
        // Devices and FIFOs are written straight through, never replaced.
        scenario{"NullDevice", no_mknod, "./tolvek in.rom null", "updated checksums in null\n", 0,
                 "test -c null", ""},
        scenario{"FullDevice", no_mknod, "./tolvek in.rom full", "error writing output file full\n", 1,
                 "test -c full", ""},
        scenario{"Fifo", "mkfifo fifo", "cat fifo >got & ./tolvek in.rom fifo; s=$?; wait; exit $s",
                 "updated checksums in fifo\n", 0, "test -p fifo && cmp got ref.rom", ""},
        // A report that cannot be written makes a failed run.
        scenario{"VerifyReportLost", no_mknod, "./tolvek ref.rom >full", nullptr, 1, "true", ""},
        scenario{"UpdateReportLost", no_mknod, "./tolvek in.rom out.rom >full", nullptr, 1,
                 "cmp out.rom ref.rom", ""}),
    [](const ::testing::TestParamInfo<scenario> &info) { return std::string(info.param.name); });

// Rows for what only Windows has, run for the Windows tool alone.
const scenario windows_rows[] = {
    // Wine keeps the read-only attribute as a file with no write permission.
    scenario{"ReadOnlyAttribute", "cp in.rom locked.rom && chmod 444 locked.rom",
             "./tolvek in.rom locked.rom", "cannot open output file locked.rom\n", 1,
             "cmp locked.rom in.rom && ls -A", "in.rom\nlocked.rom\nref.rom\ntolvek\n"},
    scenario{"NulDevice", "true", "./tolvek in.rom NUL", "updated checksums in NUL\n", 0, "ls -A", untouched},
    scenario{"UnicodeNames", "cp in.rom Ĳsselmeer.rom", "./tolvek Ĳsselmeer.rom 漢字.rom",
             "updated checksums in 漢字.rom\n", 0, "cmp 漢字.rom ref.rom && LC_ALL=C ls -A",
             "in.rom\nref.rom\ntolvek\nĲsselmeer.rom\n漢字.rom\n"},
    // A file with a second name is written where it stands; a write that
    // fails half way puts the old bytes back, and a file too long to keep
    // its old bytes is refused.
    scenario{"HardLinkKept", "cp in.rom a.rom && ln a.rom b.rom", "./tolvek in.rom b.rom",
             "updated checksums in b.rom\n", 0, "cmp a.rom ref.rom && stat -c %h a.rom", "2\n"},
    scenario{"HardLinkWriteFails",
             "{ yes | head -c 16384; cat in.rom; } >big.rom && cp in.rom a.rom && ln a.rom b.rom",
             "ulimit -f 16; ./tolvek big.rom b.rom", "error writing output file b.rom\n", 1,
             "cmp a.rom in.rom && stat -c %h a.rom", "2\n"},
    scenario{"HardLinkTooLong", "head -c 100000 /dev/zero >a.rom && ln a.rom b.rom", "./tolvek in.rom b.rom",
             "cannot open output file b.rom\n", 1, "stat -c '%s %h' a.rom && tr -d '\\0' <a.rom",
             "100000 2\n"},
    // Standard output is binary: the report's lines end in "\n" alone, and
    // the image lies between them where the output is that same file.
    scenario{"SameFileAsStdout", "true", "./tolvek in.rom both.rom >both.rom", nullptr, 0,
             "printf 'Quorin ROM checksum tool V1.0\\nWritten by the tolvek developers.\\n\\n' >want && "
             "cat ref.rom >>want && printf 'updated checksums in both.rom\\n' >>want && cmp want both.rom",
             ""},
};
INSTANTIATE_TEST_SUITE_P(
    Windows, Output,
    ::testing::ValuesIn(windows_rows, windows_rows + (windows_tool != nullptr ? std::size(windows_rows) : 0)),
    [](const ::testing::TestParamInfo<scenario> &info) { return std::string(info.param.name); });

}  // namespace
