// Runs the built tool on generated images in a scratch folder and checks
// what it prints, its exit status and the files it leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using byte_string = std::vector<unsigned char>;
using name_list = std::vector<std::string>;

const std::string banner = "Quorin ROM checksum tool V1.0\nWritten by the tolvek developers.\n\n";
const std::string all_good = "checksum is OK!\n";

constexpr long rom_size = 16384;
constexpr long table = 0x3EC0;
constexpr long balance_byte = 0x3EBF;

// An image with varied content, a table that matches little of it, and the
// given version byte, fifth from the end.
byte_string make_image(std::size_t length, unsigned char version = 0x21)
{
    byte_string image(length);
    for (std::size_t i = 0; i < length; ++i)
        image[i] = static_cast<unsigned char>(i * 13 + i / 256);
    if (length >= 5)
        image[length - 5] = version;
    return image;
}

// Where logical address 0 lies in the file: the ROM ends with the file.
long rom_start(const byte_string &image) { return static_cast<long>(image.size()) - rom_size; }
long first_page(const byte_string &image) { return image.size() == 8192 ? 32 : 0; }

// The checksum rule in closed form, independent of the tool's loop: the
// plain sum folded into 1 to 255, and 0 only for a page of zeros.
unsigned checksum(const byte_string &image, long page)
{
    const auto start = image.begin() + rom_start(image) + page * 256;
    unsigned sum = 0;
    std::for_each(start, start + 256, [&sum](unsigned char b) { sum += b; });
    return sum == 0 ? 0 : (sum - 1) % 255 + 1;
}

// What verify mode should print for an image.
std::string verify_report(const byte_string &image)
{
    std::string report;
    for (long page = first_page(image); page < 64; ++page) {
        const unsigned stored = image[rom_start(image) + table + page];
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
void expect_updated(const byte_string &input, const byte_string &output)
{
    ASSERT_EQ(output.size(), input.size());
    const long start = rom_start(input);
    for (long i = 0; i < static_cast<long>(input.size()); ++i) {
        const bool may_change = i == start + balance_byte ||
                                (i >= start + table + first_page(input) && i < start + table + 64);
        if (!may_change) {
            ASSERT_EQ(output[i], input[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(output[start + table + 62], 1);
    EXPECT_EQ(verify_report(output), all_good);
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
        ASSERT_EQ(std::system(("cp " TOLVEK_PATH " " + dir + "/tolvek").c_str()), 0);
    }
    void TearDown() override { std::system(("chmod -R u+w " + dir + " && rm -rf " + dir).c_str()); }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    void write(const std::string &name, const byte_string &content) const
    {
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char *>(content.data()),
                                                          static_cast<std::streamsize>(content.size()));
    }
    byte_string read(const std::string &name) const
    {
        std::ifstream file(path(name), std::ios::binary);
        return byte_string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::string read_text(const std::string &name) const
    {
        const byte_string content = read(name);
        return std::string(content.begin(), content.end());
    }

    // Runs a shell command in the scratch folder, where ./tolvek is the tool.
    result run(const std::string &command) const
    {
        const int status = std::system(("cd " + dir + " && (" + command + ") >.out 2>.err").c_str());
        result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(".out"), read_text(".err")};
        unlink(path(".out").c_str());
        unlink(path(".err").c_str());
        return r;
    }
    void expect_run(const std::string &command, const std::string &report, int status) const
    {
        const result r = run(command);
        EXPECT_EQ(r.out, banner + report) << command;
        EXPECT_EQ(r.status, status) << command;
        EXPECT_EQ(r.err, "") << command;
    }

    // The files in the scratch folder, but the tool itself.
    name_list files() const
    {
        name_list names;
        DIR *folder = opendir(dir.c_str());
        while (const dirent *entry = readdir(folder)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "tolvek")
                names.push_back(name);
        }
        closedir(folder);
        std::sort(names.begin(), names.end());
        return names;
    }
    mode_t mode(const std::string &name) const
    {
        struct stat status {};
        lstat(path(name).c_str(), &status);
        return status.st_mode;
    }

    // Runs what follows as an unprivileged user, since permissions do not
    // bind root.
    static std::string unprivileged()
    {
        return geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
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
        unlink(path("in.rom").c_str());
        const byte_string image = make_image(static_cast<std::size_t>(std::max(c.length, 0L)), c.version);
        if (c.length >= 0)
            write(c.input, image);
        expect_run(std::string("./tolvek ") + c.input, c.message, 1);
        expect_run(std::string("./tolvek ") + c.input + " out.rom", c.message, 1);
        if (c.length >= 0) {
            EXPECT_EQ(read(c.input), image);
        }
        EXPECT_EQ(access(path("out.rom").c_str(), F_OK), -1) << c.message;
    }
}

// Each accepted size, with its first pages' table entries wrong: no line
// names a page that the file does not hold.
struct sized_image {
    std::size_t length;
    unsigned char version;
};
const sized_image accepted_images[] = {{8192, 0x15}, {16384, 0x99}, {32768, 0x21}};

byte_string make_sized_image(const sized_image &c)
{
    byte_string image = make_image(c.length, c.version);
    if (c.length == 32768)
        image[0x3FFB] = 0xAA;  // the first half is never looked at
    return image;
}

TEST_F(Tool, VerifiesEachPageOfEachSize)
{
    for (const sized_image &c : accepted_images) {
        const byte_string image = make_sized_image(c);
        write("in.rom", image);
        const std::string report = verify_report(image);
        ASSERT_NE(report, all_good);
        expect_run("./tolvek in.rom", report, 0);
        EXPECT_EQ(read("in.rom"), image);
    }
}

TEST_F(Tool, UpdatesOnlyTheTableAndTheBalanceByte)
{
    for (const sized_image &c : accepted_images) {
        const byte_string image = make_sized_image(c);
        write("in.rom", image);
        expect_run("./tolvek in.rom out.rom ignored.rom", "updated checksums in out.rom\n", 0);
        const byte_string updated = read("out.rom");
        expect_updated(image, updated);
        expect_run("./tolvek out.rom", all_good, 0);

        expect_run("./tolvek out.rom again.rom", "updated checksums in again.rom\n", 0);
        EXPECT_EQ(read("again.rom"), updated);
        expect_run("./tolvek in.rom in.rom", "updated checksums in in.rom\n", 0);
        EXPECT_EQ(read("in.rom"), updated);
        EXPECT_EQ(files(), (name_list{"again.rom", "in.rom", "out.rom"}));
    }
}

TEST_F(Tool, KeepsPermissionBitsAndLinks)
{
    write("in.rom", make_image(16384));
    ASSERT_EQ(chmod(path("in.rom").c_str(), 0604), 0);
    expect_run("./tolvek in.rom in.rom", "updated checksums in in.rom\n", 0);
    EXPECT_EQ(mode("in.rom"), S_IFREG | 0604);
    expect_run("umask 027; ./tolvek in.rom new.rom", "updated checksums in new.rom\n", 0);
    EXPECT_EQ(mode("new.rom"), S_IFREG | 0640);

    // A relative link names a file relative to its own folder; the file it
    // names is made if missing, and the link stays a link.
    ASSERT_EQ(mkdir(path("links").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../real.rom", path("links/out.rom").c_str()), 0);
    for (int run = 0; run < 2; ++run) {
        expect_run("./tolvek in.rom links/out.rom", "updated checksums in links/out.rom\n", 0);
        EXPECT_TRUE(S_ISLNK(mode("links/out.rom")));
        EXPECT_EQ(read("real.rom"), read("in.rom"));
    }
}

TEST_F(Tool, RefusesOutputsThatCannotBeOpened)
{
    struct refusal {
        const char *setup, *output;
        name_list files;
    };
    const refusal cases[] = {
        {"true", "missing/out.rom", {}},
        {"mkdir folder", "folder", {"folder"}},
        {"true", "''", {}},
        {"true", "new/", {}},
        {"ln -s loop loop", "loop", {"loop"}},
    };
    write("in.rom", make_image(16384));
    for (const refusal &c : cases) {
        ASSERT_EQ(run(c.setup).status, 0);
        const std::string shown = std::string(c.output) == "''" ? "" : c.output;
        expect_run(std::string("./tolvek in.rom ") + c.output, "cannot open output file " + shown + "\n", 1);
        name_list expected = c.files;
        expected.push_back("in.rom");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(files(), expected) << c.output;
        run("rm -rf folder loop");
    }
    EXPECT_EQ(read("in.rom"), make_image(16384));
}

TEST_F(Tool, FailedWriteLeavesTheOriginalIntact)
{
    // The file-size limit stops the write half way.
    const byte_string image = make_image(16384);
    write("in.rom", image);
    expect_run("ulimit -f 16; ./tolvek in.rom in.rom", "error writing output file in.rom\n", 1);
    expect_run("ulimit -f 16; ./tolvek in.rom out.rom", "error writing output file out.rom\n", 1);
    EXPECT_EQ(read("in.rom"), image);
    EXPECT_EQ(files(), name_list{"in.rom"});
}

TEST_F(Tool, PermissionsProtectFilesAsForAPlainWrite)
{
    if (geteuid() == 0 && std::system("command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "needs setpriv to drop root's privileges";
    const byte_string image = make_image(16384);
    write("in.rom", image);
    expect_run("./tolvek in.rom reference.rom", "updated checksums in reference.rom\n", 0);

    // A read-only file in a folder where anyone may make files.
    write("locked.rom", image);
    ASSERT_EQ(chmod(path("locked.rom").c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    expect_run(unprivileged() + "./tolvek in.rom locked.rom", "cannot open output file locked.rom\n", 1);
    EXPECT_EQ(read("locked.rom"), image);

    // A writable file in a read-only folder is written directly; a new file
    // cannot be made there.
    ASSERT_EQ(mkdir(path("shut").c_str(), 0755), 0);
    write("shut/open.rom", image);
    ASSERT_EQ(chmod(path("shut/open.rom").c_str(), 0666), 0);
    ASSERT_EQ(chmod(path("shut").c_str(), 0555), 0);
    expect_run(unprivileged() + "./tolvek in.rom shut/open.rom", "updated checksums in shut/open.rom\n", 0);
    EXPECT_EQ(read("shut/open.rom"), read("reference.rom"));
    expect_run(unprivileged() + "./tolvek in.rom shut/new.rom", "cannot open output file shut/new.rom\n", 1);
    EXPECT_EQ(files(), (name_list{"in.rom", "locked.rom", "reference.rom", "shut"}));
    EXPECT_EQ(run("ls shut").out, "open.rom\n");
}

TEST_F(Tool, WritesDevicesAndFifosStraightThrough)
{
    if (run("mknod null c 1 3 && mknod full c 1 7").status != 0)
        GTEST_SKIP() << "cannot make device nodes here";
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    write("in.rom", make_image(8192));
    expect_run("./tolvek in.rom reference.rom", "updated checksums in reference.rom\n", 0);

    expect_run("./tolvek in.rom null", "updated checksums in null\n", 0);
    expect_run("./tolvek in.rom full", "error writing output file full\n", 1);
    expect_run("cat fifo >received & ./tolvek in.rom fifo; status=$?; wait; exit $status",
               "updated checksums in fifo\n", 0);
    EXPECT_EQ(read("received"), read("reference.rom"));
    EXPECT_TRUE(S_ISCHR(mode("null")) && S_ISCHR(mode("full")) && S_ISFIFO(mode("fifo")));

    // A report that cannot be written makes a failed run.
    EXPECT_EQ(run("./tolvek in.rom >full").status, 1);
    EXPECT_EQ(run("./tolvek in.rom out.rom >full").status, 1);
}

}  // namespace
