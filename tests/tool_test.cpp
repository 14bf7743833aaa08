// Runs the built tool on generated images in a scratch folder and checks
// what it prints, its exit status and the files it leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *banner = "Quorin ROM checksum tool V1.0\nWritten by the tolvek developers.\n\n";
constexpr const char *all_good = "checksum is OK!\n";

// A Windows build of the tool, where this names one: the tests then run it
// under Wine in place of the tool built beside them.
const char *const windows_tool = std::getenv("TOLVEK_WINDOWS_EXE");

// What runs the tool where this system cannot: for a Windows build Wine,
// printing nothing of its own and with addresses not randomised (otherwise
// it now and then fails to start a program, finding taken an address that
// Windows keeps free); for a cross build the emulator that runs these tests.
#ifndef TOLVEK_EMULATOR
#define TOLVEK_EMULATOR ""
#endif
const char *const emulator = windows_tool != nullptr ? "env WINEDEBUG=-all setarch -R wine" : TOLVEK_EMULATOR;
const bool emulated = *emulator != '\0';
// A build with the sanitizers, whose runtime, as an emulator does, needs
// descriptors of its own.
#ifdef TOLVEK_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

constexpr long rom_size = 16384;
constexpr long table = 0x3EC0;
constexpr long balance_byte = 0x3EBF;

// An image with varied content, a table that matches little of it, and the
// given version byte, fifth from the end.
std::string make_image(long length, unsigned char version = 0x21)
{
    std::string image(static_cast<std::size_t>(length), '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 13 + i / 256);
    if (image.size() >= 5)
        image[image.size() - 5] = static_cast<char>(version);
    return image;
}

unsigned char byte_at(const std::string &image, long index)
{
    return static_cast<unsigned char>(image.at(static_cast<std::size_t>(index)));
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
            char line[80];
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
            ASSERT_EQ(byte_at(output, i), byte_at(input, i)) << "byte " << i;
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
        // A copy of the tool in a folder that an unprivileged user can reach,
        // or beside it where an emulator runs it.
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        const std::string copy = emulated ? dir + ".tool" : path("tolvek");
        if (windows_tool == nullptr) {
            ASSERT_EQ(std::system(("cp " TOLVEK_PATH " " + copy).c_str()), 0);
        }
        if (emulated) {
            // ./tolvek runs the tool through its emulator, which must not die
            // of a file-size limit, as SIGXFSZ would make Wine do.
            write("tolvek", std::string("#!/bin/sh\ntrap '' XFSZ\nexec ") + emulator + " '" +
                                (windows_tool != nullptr ? windows_tool : copy) + "' \"$@\"\n");
            ASSERT_EQ(chmod(path("tolvek").c_str(), 0755), 0);
        }
    }
    void TearDown() override
    {
        if (dir.empty())
            return;  // no scratch folder was made
        EXPECT_EQ(std::system(("chmod -R u+w " + dir + "; rm -rf " + dir + " " + dir + ".*").c_str()), 0);
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
        const int status = std::system(("exec >" + dir + ".out 2>" + dir + ".err; cd " + dir +
                                        " && export AS_USER='" + as_user + "' && (" + command + ")")
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

// Rows that test what Windows does not have, left out for the Windows tool,
// or what no emulator or sanitized build can show, left out there too: each
// reason, and the rows it holds for.
struct left_out {
    bool wrapped;
    const char *reason, *rows;
};
const left_out left_out_rows[] = {
    {true, "a limit on descriptors, which an emulator's or a sanitizer's own count against",
     "NewFileOnStreamNumber"},
    {false, "symbolic links as POSIX makes them",
     "LinkLoop RelativeLink ShortLink AbsoluteLink LinkChain FortyLinks LinkMovedMeanwhile"},
    {false, "flock, to hold a lock as another program would", "FileMovedMeanwhile"},
    {false, "POSIX mode bits, owners, set-ID bits and the umask",
     "KeepsMode NewFileMode AnotherUsersFile SetuidOfAnotherUser OwnSetuidFile OwnSetuidFileWriteFails "
     "WriteOnlyFile WriteOnlyFileWriteFails"},
    {false, "POSIX ACLs, extended attributes, inode flags and capabilities",
     "KeepsAclAndAttributes NoAclInDefaultAclFolder KeepsInodeFlags Capabilities"},
    {false, "setpriv; Wine runs only for the owner of its prefix",
     "ReadOnlyFile ReadOnlyFolder ReadOnlyFolderNewFile UnreadableFolderNewFile StickyFolder"},
    {false, "/dev/stdout and /dev/fd/N, the names POSIX gives open descriptors",
     "StdoutAppended StdoutFd StderrAppended StdoutPipe StdoutSocket StdoutAppendFails StdoutFileFails "
     "DeletedThroughFd"},
    {false,
     "a standard stream that Wine inherits from a POSIX shell, whose volume Wine cannot tell "
     "(SameFileAsStdoutInCmd runs it from a command prompt)",
     "SameFileAsStdout"},
    {false, "strace, to send POSIX signals or hold a system call back, and SIGPIPE",
     "InterruptedByRealTimeSignal WaitInterrupted OldBytesUnopened OldBytesUnread ModeChangedMeanwhile "
     "NameTakenMeanwhile NewNameTakenMeanwhile NewNameMadeMeanwhile TakeTurns TakeTurnsHardLinked "
     "TakeTurnsNewFile CloseFails UpdateReportPiped NewFileFlushed FolderFlushFails LengthCannotBeSet "
     "PutBackFlushed UpdateWritesTheTableBlock FifoWithoutReader CheckWaitsForWrite NewFileWrittenMeanwhile "
     "OutputUnexamined HangupBlocked StdoutAppendersTakeTurns"},
    {false, "a path as long as POSIX allows", "LongPath"},
};

// Why the row is left out for the tool under test; null where it runs.
const char *left_out_reason(const char *row)
{
    for (const left_out &l : left_out_rows) {
        if ((windows_tool != nullptr || (l.wrapped && (emulated || sanitized))) &&
            (" " + std::string(l.rows) + " ").find(" " + std::string(row) + " ") != std::string::npos)
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
            GTEST_SKIP() << GetParam().name << " is left out here: " << reason;
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
// Devices named null and full. Root makes its own nodes, and skips where
// none that works can be made here; another user, who cannot make them,
// links the system's own, which the tool cannot replace.
const char *const devices = "if [ $(id -u) -ne 0 ]; then ln -s /dev/null null && ln -s /dev/full full; "
                            "else mknod null c 1 3 && mknod full c 1 7 && true >null || exit 77; fi";
#define WITH_STRACE "strace -o /dev/null true || exit 77"
// Begins a setup that only root can make (ownership, mounts, settings).
#define ROOT_ONLY "[ -n \"$AS_USER\" ] || exit 77; "
// Runs what follows under strace. A sanitized build must not look for
// leaks at exit, which cannot be done under strace; the tool allocates
// nothing anyway.
#define STRACE "ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null "
#define STRACE_TO_STDOUT "ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/stdout "
// Updates o.rom, a copy of in.rom, with the last call of the named kind
// that the update makes failing with the error given.
#define LAST_CALL_FAILS(call, error)                                                                         \
    "cp in.rom o.rom && n=$(" STRACE_TO_STDOUT "-e trace=" call " ./tolvek in.rom o.rom | grep -c ^" call    \
    ") && cp in.rom o.rom && " STRACE "-e trace=" call " -e inject=" call ":error=" error ":when=$n "        \
    "./tolvek in.rom o.rom"
// Runs what follows once a run that is held in a system call has the file
// locked, so that it happens while that run writes the file; within 5 s, or
// not at all.
#define WHILE_LOCKED(file)                                                                                   \
    "i=0; until [ -e " file " ] && ! flock -n " file " true || [ $((i += 1)) -gt 100 ]; do sleep 0.05; "     \
    "done; [ $i -le 100 ] && "
// Runs what follows with the signal named next sent to it as it starts to
// flush a file.
#define SIGNAL_ON_FSYNC STRACE "-e trace=fsync -e inject=fsync:signal="
// Runs what follows with the calls named next listed in ./trace, which
// CALLS_TRACED prints as "pwrite64 o.rom, 512, 15872" and "fsync d": what
// reaches the disk, and what is flushed, which only a crash would show.
#define TRACE_CALLS "ASAN_OPTIONS=detect_leaks=0 strace -qq -y -s 0 -e signal=none -o trace -e trace="
#define CALLS_TRACED "sed -E 's/\\(.*\\/(.*)>/ \\1/; s/, \"\"\\.\\.\\.//; s/\\) *= .*//' trace"

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
        // A new file is flushed with its folder before it is reported, or it
        // is removed; one that cannot be moved off a closed standard
        // stream's number is removed too, and with one descriptor free
        // above the streams, it is written.
        scenario{"NewFileFlushed", "mkdir d; " WITH_STRACE, TRACE_CALLS "fsync ./tolvek in.rom d/new.rom",
                 "updated checksums in d/new.rom\n", 0, "cmp d/new.rom ref.rom && " CALLS_TRACED,
                 "fsync new.rom\nfsync d\n"},
        scenario{"FolderFlushFails", WITH_STRACE,
                 STRACE "-e trace=fsync -e inject=fsync:error=EIO:when=2 ./tolvek in.rom new.rom",
                 "error writing output file new.rom\n", 1, "ls -A", untouched},
        scenario{"NewFileOnStreamNumber", "true",
                 "exec 2>&- 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; (ulimit -n 3; exec ./tolvek in.rom new.rom) "
                 ">said; ulimit -n 4; ./tolvek in.rom new2.rom",
                 "updated checksums in new2.rom\n", 0, "tail -n 1 said && cmp new2.rom ref.rom && ls -A",
                 "cannot open output file new.rom\nin.rom\nnew2.rom\nref.rom\nsaid\ntolvek\n"},
        // Where the system will not set a file's length (a FUSE vfat), it is
        // set only where the file is longer than the image, as cp does.
        scenario{
            "LengthCannotBeSet", "printf old >o.rom && " WITH_STRACE,
            STRACE
            "-e trace=ftruncate -e inject=ftruncate:error=EPERM ./tolvek in.rom o.rom >/dev/null && " STRACE
            "-e trace=ftruncate -e inject=ftruncate:error=EPERM ./tolvek in.rom new.rom",
            "updated checksums in new.rom\n", 0, "cmp o.rom ref.rom && cmp new.rom ref.rom", ""},
        // Permission bits and links are kept.
        scenario{"KeepsMode", "cp in.rom a.rom && chmod 641 a.rom", "./tolvek a.rom a.rom",
                 "updated checksums in a.rom\n", 0, "cmp a.rom ref.rom && stat -c %a a.rom", "641\n"},
        scenario{"NewFileMode", "true", "umask 002; ./tolvek in.rom new.rom",
                 "updated checksums in new.rom\n", 0, "cmp new.rom ref.rom && stat -c %a new.rom", "664\n"},
        scenario{"RelativeLink", "mkdir links && cp in.rom real.rom && ln -s ../real.rom links/out.rom",
                 "./tolvek in.rom links/out.rom", "updated checksums in links/out.rom\n", 0,
                 "test -L links/out.rom && cmp real.rom ref.rom", ""},
        scenario{"ShortLink", "cp in.rom real.rom && ln -s real.rom a-longer-name.rom",
                 "./tolvek in.rom a-longer-name.rom", "updated checksums in a-longer-name.rom\n", 0,
                 "test -L a-longer-name.rom && cmp real.rom ref.rom", ""},
        scenario{"AbsoluteLink", "mkdir links && cp in.rom real.rom && ln -s \"$PWD/real.rom\" links/abs.rom",
                 "./tolvek in.rom links/abs.rom", "updated checksums in links/abs.rom\n", 0,
                 "test -L links/abs.rom && cmp real.rom ref.rom", ""},
        scenario{"LinkChain",
                 "mkdir links && cp in.rom real.rom && ln -s ../real.rom links/out.rom && ln -s "
                 "links/out.rom chain.rom",
                 "./tolvek in.rom chain.rom", "updated checksums in chain.rom\n", 0,
                 "test -L chain.rom && test -L links/out.rom && cmp real.rom ref.rom", ""},
        scenario{"FortyLinks",
                 "cp in.rom real.rom && t=real.rom && for i in $(seq 40); do ln -s $t l$i; t=l$i; done",
                 "./tolvek in.rom l40", "updated checksums in l40\n", 0,
                 "test -L l40 && cmp real.rom ref.rom", ""},
        scenario{"DanglingLink", "ln -s nowhere.rom dangling.rom", "./tolvek in.rom dangling.rom",
                 "cannot open output file dangling.rom\n", 1, "ls -A",
                 "dangling.rom\nin.rom\nref.rom\ntolvek\n"},
        scenario{
            "LongPath",
            "p=$(printf '%0254d/' $(seq 16))xy/ && mkdir -p $p && echo ${p}abcdefghijkl >name "
            "&& " WITH_STRACE,
            TRACE_CALLS "fsync ./tolvek in.rom $(cat name) >said", nullptr, 0,
            "cmp $(cat name) ref.rom && test \"$(tail -n 1 said)\" = \"updated checksums in $(cat name)\" && "
            "grep -c ^fsync trace",
            "2\n"},
        // An existing file is written where it stands, and keeps everything
        // but its bytes: owner, mode, ACL, attributes, inode flags, links.
        scenario{"KeepsAclAndAttributes",
                 "cp in.rom f.rom && chmod 640 f.rom && setfacl -m u:65534:rw f.rom && "
                 "setfattr -n user.note -v kept f.rom || exit 77",
                 "./tolvek in.rom f.rom", "updated checksums in f.rom\n", 0,
                 "cmp f.rom ref.rom && getfacl -cn f.rom && "
                 "getfattr --only-values -n user.note f.rom",
                 "user::rw-\nuser:65534:rw-\ngroup::r--\nmask::rw-\nother::---\n\nkept"},
        scenario{"NewFileTakesDefaultAcl",
                 "mkdir d && setfacl -d -m u::rw,g::rw,o::r,u:65534:rw d || exit 77",
                 "umask 077; ./tolvek in.rom d/new.rom", "updated checksums in d/new.rom\n", 0,
                 "cmp d/new.rom ref.rom && getfacl -cn d/new.rom",
                 "user::rw-\nuser:65534:rw-\ngroup::rw-\nmask::rw-\nother::r--\n\n"},
        scenario{"KeepsInodeFlags", "cp in.rom f.rom && chattr +d f.rom || exit 77", "./tolvek in.rom f.rom",
                 "updated checksums in f.rom\n", 0,
                 "cmp f.rom ref.rom && lsattr f.rom | cut -d' ' -f1 | "
                 "tr -dc d",
                 "d"},
        scenario{
            "NoAclInDefaultAclFolder",
            "mkdir d && cp in.rom d/f.rom && chmod 640 d/f.rom && setfattr -n user.note -v kept d/f.rom && "
            "setfacl -d -m u:65534:rw d || exit 77",
            "./tolvek in.rom d/f.rom", "updated checksums in d/f.rom\n", 0,
            "cmp d/f.rom ref.rom && getfacl -cn d/f.rom && getfattr --only-values -n user.note d/f.rom",
            "user::rw-\ngroup::r--\nother::---\n\nkept"},
        scenario{"AnotherUsersFile", ROOT_ONLY "cp in.rom f.rom && chown 65534 f.rom",
                 "./tolvek in.rom f.rom", "updated checksums in f.rom\n", 0,
                 "cmp f.rom ref.rom && stat -c '%u %g' f.rom", "65534 0\n"},
        scenario{"Capabilities",
                 "cp in.rom f.rom && setfattr -n user.note -v kept f.rom && setcap cap_net_raw+ep f.rom || "
                 "exit 77",
                 "./tolvek in.rom f.rom", "updated checksums in f.rom\n", 0,
                 "cmp f.rom ref.rom && getcap f.rom && getfattr --only-values -n user.note f.rom", "kept"},
        // Set-ID bits stay only where a write would keep them, and a write
        // that fails sets them again where the tool may.
        scenario{"OwnSetuidFile",
                 "mkdir -m 777 own && cp in.rom own/s.rom && { [ -z \"$AS_USER\" ] || chown 65534:65534 "
                 "own/s.rom; } && "
                 "chmod 4755 own/s.rom",
                 "$AS_USER ./tolvek in.rom own/s.rom", "updated checksums in own/s.rom\n", 0,
                 "cmp own/s.rom ref.rom && stat -c %A own/s.rom", "-rwxr-xr-x\n"},
        scenario{"SetuidOfAnotherUser", ROOT_ONLY "cp in.rom f.rom && chown 65534 f.rom && chmod 4755 f.rom",
                 "./tolvek f.rom f.rom", "updated checksums in f.rom\n", 0,
                 "cmp f.rom ref.rom && stat -c '%A %u' f.rom", "-rwsr-xr-x 65534\n"},
        scenario{"HardLink", "cp in.rom a.rom && ln a.rom b.rom", "./tolvek in.rom a.rom",
                 "updated checksums in a.rom\n", 0, "cmp b.rom ref.rom && stat -c %h a.rom", "2\n"},
        scenario{"OwnSetuidFileWriteFails",
                 "mkdir -m 777 own && printf old >own/s.rom && { [ -z \"$AS_USER\" ] || chown 65534:65534 "
                 "own/s.rom; } && chmod 4755 own/s.rom",
                 "ulimit -f 8; $AS_USER ./tolvek in.rom own/s.rom", "error writing output file own/s.rom\n",
                 1, "cat own/s.rom && stat -c %A own/s.rom", "old-rwsr-xr-x\n"},
        // A write that fails puts back what the file held, whatever its
        // length, and flushes it. Over an image, only the table's block is
        // written, and flushed.
        scenario{"WriteFailsOtherLength", "printf old >o.rom && ln o.rom link.rom && : >e.rom",
                 "ulimit -f 16; ./tolvek in.rom e.rom >/dev/null; ./tolvek in.rom o.rom",
                 "error writing output file o.rom\n", 1, "cat o.rom && wc -c <e.rom", "old0\n"},
        // One of 64 KiB is put back too; a longer one cannot be, but is not
        // emptied either.
        scenario{"LargeFilesWriteFails",
                 "yes old | head -c 65536 >a.rom && cp a.rom a.old && yes old | head -c 65537 >b.rom",
                 "ulimit -f 16; ./tolvek in.rom a.rom >/dev/null; ./tolvek in.rom b.rom",
                 "error writing output file b.rom\n", 1, "cmp a.rom a.old && wc -c <b.rom", "65537\n"},
        scenario{"PutBackFlushed", "printf old >o.rom && " WITH_STRACE,
                 "ulimit -f 16; " TRACE_CALLS "pwrite64,fsync ./tolvek in.rom o.rom",
                 "error writing output file o.rom\n", 1, "cat o.rom && " CALLS_TRACED " | tail -n 2",
                 "oldpwrite64 o.rom, 3, 0\nfsync o.rom\n"},
        scenario{"UpdateWritesTheTableBlock", "cp in.rom o.rom && " WITH_STRACE,
                 TRACE_CALLS "pwrite64,fsync ./tolvek in.rom o.rom", "updated checksums in o.rom\n", 0,
                 "cmp o.rom ref.rom && " CALLS_TRACED, "pwrite64 o.rom, 512, 15872\nfsync o.rom\n"},
        // A file whose old bytes cannot be read, though it may be, is not
        // written: the last open and the last read of a run are for them.
        scenario{"OldBytesUnopened", WITH_STRACE, LAST_CALL_FAILS("openat", "EMFILE"),
                 "error writing output file o.rom\n", 1, "cmp o.rom in.rom", ""},
        scenario{"OldBytesUnread", WITH_STRACE, LAST_CALL_FAILS("read", "EIO"),
                 "error writing output file o.rom\n", 1, "cmp o.rom in.rom", ""},
        // Nor is one that cannot be examined once opened, or once locked.
        scenario{"OutputUnexamined", "cp in.rom o.rom && " WITH_STRACE,
                 "n=$(" STRACE_TO_STDOUT "-e trace=openat,newfstatat ./tolvek in.rom o.rom | "
                 "awk '/^openat.*\"o\\.rom\", O_WRONLY/ {print n; exit} /^newfstatat/ {n++}') && "
                 "cp in.rom o.rom && for k in 1 2; do " STRACE
                 "-e trace=newfstatat -e inject=newfstatat:error=EIO:when=$((n + k)) ./tolvek in.rom o.rom | "
                 "tail -n 1 >>said; done",
                 nullptr, 0, "cmp o.rom in.rom && cat said",
                 "cannot open output file o.rom\nerror writing output file o.rom\n"},
        // Nor is one whose name, while the run waited for its lock, came to
        // stand for another file (a link moved, or another file moved onto
        // it), even where no old bytes are read from it.
        scenario{"LinkMovedMeanwhile", "cp in.rom a.rom && cp ref.rom b.rom && ln -s a.rom l.rom",
                 "{ flock -o a.rom sleep 5 & h=$!; " WHILE_LOCKED(
                     "a.rom") "{ ./tolvek in.rom l.rom & t=$!; "
                              "i=0; until grep -q \"> FLOCK.*:$(stat -c %i a.rom) \" /proc/locks || [ $((i "
                              "+= 1)) -gt 100 ]; "
                              "do sleep 0.05; done; ln -sfn b.rom l.rom; kill $h; wait $t; }; }",
                 "error writing output file l.rom\n", 1, "cmp a.rom in.rom && cmp b.rom ref.rom", ""},
        scenario{
            "FileMovedMeanwhile", "echo other >other && : >f.rom",
            "{ flock -o f.rom sleep 5 & h=$!; " WHILE_LOCKED(
                "f.rom") "{ ./tolvek in.rom f.rom & t=$!; "
                         "i=0; until grep -q \"> FLOCK.*:$(stat -c %i f.rom) \" /proc/locks || [ $((i "
                         "+= 1)) -gt 100 ]; "
                         "do sleep 0.05; done; mv f.rom moved.rom && mv other f.rom; kill $h; wait $t; }; }",
            "error writing output file f.rom\n", 1, "cat f.rom && wc -c <moved.rom", "other\n0\n"},
        // One that may be written but not read is written without them.
        scenario{"WriteOnlyFile", "cp in.rom o.rom && chmod 222 o.rom && chmod 777 .",
                 "$AS_USER ./tolvek in.rom o.rom", "updated checksums in o.rom\n", 0,
                 "chmod 644 o.rom && cmp o.rom ref.rom", ""},
        // If that write fails, the file stays as the write left it, never
        // emptied: here the first half, the same image's, went through.
        scenario{"WriteOnlyFileWriteFails", "cp in.rom o.rom && chmod 222 o.rom && chmod 777 .",
                 "ulimit -f 16; $AS_USER ./tolvek in.rom o.rom", "error writing output file o.rom\n", 1,
                 "chmod 644 o.rom && cmp o.rom in.rom", ""},
        // A file is written where it stands wherever the system lets us
        // write it, and needs no room beside it.
        scenario{"StickyFolder", "mkdir -m 1777 sticky && cp in.rom sticky/f.rom && chmod 666 sticky/f.rom",
                 "$AS_USER ./tolvek in.rom sticky/f.rom", "updated checksums in sticky/f.rom\n", 0,
                 "cmp sticky/f.rom ref.rom", ""},
        scenario{
            "MountPoint",
            "cp in.rom real.rom && touch b.rom && mount --bind real.rom b.rom && umount b.rom || exit 77",
            "mount --bind real.rom b.rom && trap 'umount b.rom' EXIT && ./tolvek in.rom b.rom",
            "updated checksums in b.rom\n", 0, "cmp real.rom ref.rom", ""},
        scenario{
            "FullDisk", "mkdir small && mount -t tmpfs -o size=20k tmpfs small && umount small || exit 77",
            "mount -t tmpfs -o size=20k tmpfs small && trap 'umount small' EXIT && cp in.rom small/a.rom && "
            "./tolvek in.rom small/a.rom && cmp small/a.rom ref.rom && ls -A small",
            "updated checksums in small/a.rom\na.rom\n", 0, "true", ""},
        // A link that the system would not follow for us is not followed.
        scenario{
            "ProtectedLink",
            ROOT_ONLY "sysctl -qw fs.protected_symlinks=$(sysctl -n fs.protected_symlinks) || exit 77; "
                      "cp in.rom victim && mkdir -m 1777 st && $AS_USER ln -s \"$PWD/victim\" st/o.rom",
            "old=$(sysctl -n fs.protected_symlinks) && trap 'sysctl -qw fs.protected_symlinks=$old' EXIT && "
            "sysctl -qw fs.protected_symlinks=1 && ./tolvek in.rom st/o.rom",
            "cannot open output file st/o.rom\n", 1, "cmp victim in.rom", ""},
        // The tool's own output receives the image in order, after the
        // banner and before the last line, wherever it goes.
        scenario{"StdoutAppended", "echo keep >log", "./tolvek in.rom /dev/stdout >>log", nullptr, 0,
                 "{ echo keep; ./tolvek | head -n 3; cat ref.rom; echo 'updated checksums in /dev/stdout'; } "
                 "| cmp - log",
                 ""},
        scenario{"StdoutFd", "true", "./tolvek in.rom /dev/fd/1 >log", nullptr, 0,
                 "{ ./tolvek | head -n 3; cat ref.rom; echo 'updated checksums in /dev/fd/1'; } | cmp - log",
                 ""},
        scenario{
            "SameFileAsStdout", "true", "./tolvek in.rom both.rom >both.rom", nullptr, 0,
            "printf 'Quorin ROM checksum tool V1.0\\nWritten by the tolvek developers.\\n\\n' >want && "
            "cat ref.rom >>want && printf 'updated checksums in both.rom\\n' >>want && cmp want both.rom",
            ""},
        scenario{"StderrAppended", "echo keep >log", "./tolvek in.rom /dev/stderr 2>>log >/dev/null", nullptr,
                 0, "{ echo keep; cat ref.rom; } | cmp - log", ""},
        scenario{
            "StdoutPipe", "true", "(./tolvek in.rom /dev/stdout; echo $? >status) | cat >log", nullptr, 0,
            "test $(cat status) = 0 && "
            "{ ./tolvek | head -n 3; cat ref.rom; echo 'updated checksums in /dev/stdout'; } | cmp - log",
            ""},
        // Even where the system will not open it by name, as a socket.
        scenario{
            "StdoutSocket", "command -v socat >/dev/null || exit 77",
            "socat -u EXEC:'./tolvek in.rom /dev/stdout' - >log", nullptr, 0,
            "{ ./tolvek | head -n 3; cat ref.rom; echo 'updated checksums in /dev/stdout'; } | cmp - log",
            ""},
        // A file that the image ended is cut back if the write fails, and
        // the error line follows the banner, wherever the file stood.
        scenario{"StdoutAppendFails", "head -c 10000 /dev/zero >log",
                 "ulimit -f 20; ./tolvek in.rom /dev/stdout >>log", nullptr, 1,
                 "{ head -c 10000 /dev/zero; ./tolvek | head -n 3; echo 'error writing output file "
                 "/dev/stdout'; } "
                 "| cmp - log",
                 ""},
        scenario{"StdoutFileFails", "true", "ulimit -f 10; ./tolvek in.rom /dev/stdout >log", nullptr, 1,
                 "{ ./tolvek | head -n 3; echo 'error writing output file /dev/stdout'; } | cmp - log", ""},
        // Runs that append to one file through their output take turns, so
        // that one cutting its image back cuts none of another's.
        scenario{"StdoutAppendersTakeTurns", "echo prior >log && " WITH_STRACE,
                 "{ " STRACE "-e trace=write,ftruncate -e inject=write:error=EIO:when=2 "
                 "-e inject=ftruncate:delay_enter=1000000 ./tolvek in.rom log >>log & " WHILE_LOCKED(
                     "log") "./tolvek in.rom log >>log; wait $!; }",
                 nullptr, 1,
                 "wc -c <log && grep -ao 'updated checksums in log' log && "
                 "grep -ao 'error writing output file log' log",
                 "16575\nupdated checksums in log\nerror writing output file log\n"},
        // A closed standard stream is not the output, nor is one that only
        // reads; the output is opened off a closed one's number.
        scenario{"StdinClosed", "cp in.rom o.rom",
                 "./tolvek in.rom o.rom <&- >/dev/null && ./tolvek in.rom new.rom <&-",
                 "updated checksums in new.rom\n", 0, "cmp o.rom ref.rom && cmp new.rom ref.rom", ""},
        scenario{"StdoutClosed", "cp in.rom a.rom", "./tolvek in.rom a.rom >&-", nullptr, 1,
                 "cmp a.rom ref.rom", ""},
        scenario{"StderrClosed", "head -c 32768 /dev/zero >a.rom", "./tolvek in.rom a.rom 2>&-",
                 "updated checksums in a.rom\n", 0, "cmp a.rom ref.rom", ""},
        scenario{"StderrReadOnly", "cp in.rom a.rom", "./tolvek in.rom a.rom 2<a.rom",
                 "updated checksums in a.rom\n", 0, "cmp a.rom ref.rom", ""},
        scenario{"DeletedThroughFd", "true",
                 "exec 3<>log.txt && rm log.txt && ./tolvek in.rom /dev/fd/3 && cmp /dev/fd/3 ref.rom",
                 "updated checksums in /dev/fd/3\n", 0, "ls -A", untouched},
        // A signal during the save waits until the output is whole, then
        // ends the run, whatever the signal; one that the caller ignores or
        // blocks stays so. The fault sweep below sends SIGINT everywhere.
        scenario{"InterruptedByRealTimeSignal", WITH_STRACE,
                 "{ " SIGNAL_ON_FSYNC "40 ./tolvek in.rom in.rom; } 2>/dev/null", nullptr, 168,
                 "cmp in.rom ref.rom && ls -A", untouched},
        // A new output whose name another file took meanwhile is not removed.
        scenario{"NewNameTakenMeanwhile", WITH_STRACE,
                 "echo precious >p && { " STRACE "-e inject=pwrite64:error=ENOSPC:delay_enter=1000000 "
                 "./tolvek in.rom new.rom >/dev/null & " WHILE_LOCKED("new.rom") "mv p new.rom; wait $!; }",
                 nullptr, 1, "cat new.rom", "precious\n"},
        // What another program does to the output while it is written stands:
        // a new mode is kept, and a file moved onto the name is left alone;
        // the image went nowhere, so the run fails.
        scenario{"ModeChangedMeanwhile", WITH_STRACE,
                 "cp in.rom f.rom && { " STRACE
                 "-e inject=fsync:delay_enter=1000000:when=1 ./tolvek in.rom f.rom & " WHILE_LOCKED(
                     "f.rom") "chmod 600 f.rom; wait $!; }",
                 "updated checksums in f.rom\n", 0, "cmp f.rom ref.rom && stat -c %a f.rom", "600\n"},
        scenario{"NameTakenMeanwhile", WITH_STRACE,
                 "cp in.rom f.rom && echo other >other && { " STRACE
                 "-e inject=fsync:delay_enter=1000000:when=1 "
                 "./tolvek in.rom f.rom & " WHILE_LOCKED("f.rom") "mv other f.rom; wait $!; }",
                 "error writing output file f.rom\n", 1, "cat f.rom", "other\n"},
        // Runs on one output take turns: while one is held in its write, the
        // other waits, and then writes its own whole image over it.
        scenario{
            "TakeTurns", WITH_STRACE,
            "cp in.rom o.rom && tail -c 8192 in.rom >half.rom && ./tolvek half.rom half.ref >/dev/null && "
            "{ " STRACE "-e inject=pwrite64:delay_enter=1000000 ./tolvek in.rom o.rom >first & " WHILE_LOCKED(
                "o.rom") "./tolvek half.rom o.rom >second; wait $!; }",
            nullptr, 0, "cmp o.rom half.ref && tail -qn 1 first second",
            "updated checksums in o.rom\nupdated checksums in o.rom\n"},
        scenario{"TakeTurnsHardLinked", WITH_STRACE,
                 "cp in.rom o.rom && ln o.rom link.rom && tail -c 8192 in.rom >half.rom && "
                 "./tolvek half.rom half.ref >/dev/null && "
                 "{ " STRACE
                 "-e inject=pwrite64:delay_enter=1000000 ./tolvek half.rom o.rom >first & " WHILE_LOCKED(
                     "o.rom") "./tolvek in.rom link.rom >second; wait $!; }",
                 nullptr, 0, "cmp o.rom ref.rom && tail -qn 1 first second",
                 "updated checksums in o.rom\nupdated checksums in link.rom\n"},
        scenario{"TakeTurnsNewFile", WITH_STRACE,
                 "tail -c 8192 in.rom >half.rom && ./tolvek half.rom half.ref >/dev/null && "
                 "{ " STRACE
                 "-e inject=pwrite64:delay_enter=1000000 ./tolvek in.rom o.rom >first & " WHILE_LOCKED(
                     "o.rom") "./tolvek half.rom o.rom >second; wait $!; }",
                 nullptr, 0, "cmp o.rom half.ref && tail -qn 1 first second",
                 "updated checksums in o.rom\nupdated checksums in o.rom\n"},
        // A check while a run writes the file sees the old image or the new
        // one: here it waits, as the update cuts the file to an 8 KiB image.
        scenario{"CheckWaitsForWrite", "cp in.rom o.rom && tail -c 8192 in.rom >half.rom && " WITH_STRACE,
                 "{ " STRACE
                 "-e trace=ftruncate -e inject=ftruncate:delay_enter=1000000 ./tolvek half.rom o.rom "
                 ">/dev/null & " WHILE_LOCKED("o.rom") "./tolvek o.rom; }",
                 all_good, 0, "true", ""},
        // A new file that another run wrote while its maker waited for the
        // lock is the other's: the maker, failing to open it for its old
        // bytes (where a run of its own opens the folder), leaves it alone.
        scenario{"NewFileWrittenMeanwhile", "tail -c 8192 in.rom >half.rom && " WITH_STRACE,
                 "n=$(" STRACE_TO_STDOUT "-e trace=openat ./tolvek in.rom dry.rom | grep -c ^openat) && "
                 "rm dry.rom && ./tolvek half.rom half.ref >/dev/null && { " STRACE
                 "-e trace=flock,openat -e inject=flock:delay_enter=1000000:when=3 "
                 "-e inject=openat:error=EMFILE:when=$n ./tolvek in.rom new.rom >first & "
                 "i=0; until [ -e new.rom ] || [ $((i += 1)) -gt 100 ]; do sleep 0.05; done; "
                 "./tolvek half.rom new.rom >second; wait $!; }",
                 nullptr, 1, "cmp new.rom half.ref && tail -qn 1 first second",
                 "error writing output file new.rom\nupdated checksums in new.rom\n"},
        // A file that the update does not change is still new to make.
        scenario{"UnchangedGetsNewTime", "cp ref.rom o.rom && touch -d 2000-01-01 o.rom",
                 "./tolvek in.rom o.rom", "updated checksums in o.rom\n", 0,
                 "cmp o.rom ref.rom && test $(stat -c %Y o.rom) -gt 946684800", ""},
        // Once the image is flushed, a failing close changes nothing: the
        // output's is the last close of a run.
        scenario{"CloseFails", WITH_STRACE, "ln in.rom link.rom && " LAST_CALL_FAILS("close", "EIO"),
                 "updated checksums in o.rom\n", 0, "cmp o.rom ref.rom", ""},
        // A run that finds the new output made by another meanwhile writes
        // it as an existing file: here it is held as it is about to make it.
        scenario{"NewNameMadeMeanwhile", WITH_STRACE,
                 "n=$(" STRACE_TO_STDOUT
                 "-e trace=openat ./tolvek in.rom o.rom | grep -c ^openat) && rm o.rom && "
                 "tail -c 8192 in.rom >half.rom && { " STRACE
                 "-e trace=openat -e inject=openat:delay_enter=1000000:when=$((n - 1)) ./tolvek in.rom o.rom "
                 ">first & sleep 0.5; ./tolvek half.rom o.rom >second; wait $!; }",
                 nullptr, 0, "cmp o.rom ref.rom && tail -qn 1 first second",
                 "updated checksums in o.rom\nupdated checksums in o.rom\n"},
        scenario{"HangupIgnored", WITH_STRACE,
                 "trap '' HUP; " SIGNAL_ON_FSYNC "SIGHUP ./tolvek in.rom in.rom",
                 "updated checksums in in.rom\n", 0, "cmp in.rom ref.rom", ""},
        scenario{"HangupBlocked", WITH_STRACE,
                 SIGNAL_ON_FSYNC "SIGHUP env --block-signal=HUP ./tolvek in.rom in.rom",
                 "updated checksums in in.rom\n", 0, "cmp in.rom ref.rom", ""},
        // A run waiting for another program's lock, even on the new file it
        // made, ends at a signal, before it writes.
        scenario{"WaitInterrupted", WITH_STRACE,
                 "{ " STRACE "-e trace=flock -e inject=flock:error=EAGAIN:signal=SIGTERM:when=3 "
                 "./tolvek in.rom new.rom; } 2>/dev/null",
                 nullptr, 143, "test ! -s new.rom", ""},
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
        scenario{"UnreadableFolderNewFile", "mkdir -m 333 shut", "$AS_USER ./tolvek in.rom shut/new.rom",
                 "updated checksums in shut/new.rom\n", 0, "chmod 755 shut && cmp shut/new.rom ref.rom", ""},
        // Devices and FIFOs are written straight through.
        scenario{"NullDevice", devices, "./tolvek in.rom null", "updated checksums in null\n", 0,
                 "test -c null", ""},
        scenario{"FullDevice", devices, "./tolvek in.rom full", "error writing output file full\n", 1,
                 "test -c full", ""},
        scenario{"Fifo", "mkfifo fifo", "cat fifo >got & ./tolvek in.rom fifo; s=$?; wait; exit $s",
                 "updated checksums in fifo\n", 0, "test -p fifo && cmp got ref.rom", ""},
        // One whose reader is gone fails the write, as a full device does
        // (the image's write is held until the reader has left).
        scenario{"FifoWithoutReader", "mkfifo fifo && " WITH_STRACE,
                 "true <fifo & " STRACE "-e trace=write -e inject=write:delay_enter=300000:when=2 "
                 "./tolvek in.rom fifo",
                 "error writing output file fifo\n", 1, "test -p fifo", ""},
        // A report that cannot be written makes a failed run.
        scenario{"VerifyReportLost", devices, "./tolvek ref.rom >full", nullptr, 1, "true", ""},
        // Its last line is as long as a path may be, and fails as it is
        // printed, not when the run ends.
        scenario{"UpdateReportLost", devices,
                 "p=$(printf '%0200d/' $(seq 20))o.rom && mkdir -p ${p%/*} && ./tolvek in.rom $p >full",
                 nullptr, 1, "cmp $(printf '%0200d/' $(seq 20))o.rom ref.rom", ""},
        scenario{"ReportOverSizeLimit", "true",
                 "(ulimit -f 0; exec ./tolvek in.rom >said); echo $? >status; "
                 "(ulimit -f 0; exec ./tolvek missing.rom >said); echo $? >>status",
                 nullptr, 0, "cat status", "1\n1\n"},
        scenario{"UpdateReportPiped", "true", "(sleep 0.1; ./tolvek in.rom new.rom; echo $? >status) | true",
                 nullptr, 0, "cmp new.rom ref.rom && cat status", "141\n"},
        // Runs on one output take turns: each succeeds, and the output is
        // one run's whole image.
        scenario{
            "ParallelRuns",
            "cp in.rom in2.rom && printf x | dd of=in2.rom bs=1 seek=9 conv=notrunc 2>/dev/null && "
            "./tolvek in2.rom ref2.rom >/dev/null && cp in.rom out.rom",
            "for i in 1 2 3 4 5 6; do for in in in in2; do { ./tolvek $in.rom out.rom; echo $?; } "
            ">said-$in-$i & done; done; wait",
            nullptr, 0,
            "tail -qn 2 said-* | sort | uniq -c | sed 's/^ *//' && { cmp -s out.rom ref.rom || cmp "
            "out.rom ref2.rom; } && rm said-* && ls -A",
            "12 0\n12 updated checksums in out.rom\nin.rom\nin2.rom\nout.rom\nref.rom\nref2.rom\ntolvek\n"}),
    [](const ::testing::TestParamInfo<scenario> &row) { return std::string(row.param.name); });

// The fault sweep. Each case is run once under strace to list the system
// calls that the tool makes from the opening of its input on; then once per
// call and occurrence with that one call failing, and once with SIGINT
// arriving as it is made; and where the update is a single write, once
// with SIGKILL. The output must then be its old bytes or the new image,
// whole, as the report says, and no other file may appear.
struct sweep_case {
    const char *name, *setup, *command;
    bool one_write;       // the image goes out in one write over a file of its length
    bool through_stdout;  // the output is the file that standard output appends to
};

void PrintTo(const sweep_case &c, std::ostream *out)
{
    *out << c.name;
}

// The calls of a trace from the first file opened by a relative name (the
// input) on, as strace's injection wants them: "name:when=N".
std::vector<std::string> calls_after_input(const std::string &trace)
{
    std::map<std::string, int> occurrences;
    std::vector<std::string> calls;
    std::istringstream lines(trace);
    bool input_opened = false;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t paren = line.find('(');
        if (paren == std::string::npos || std::isalpha(static_cast<unsigned char>(line[0])) == 0)
            continue;  // a signal's line
        const std::string name = line.substr(0, paren);
        const int occurrence = ++occurrences[name];
        input_opened = input_opened || (line.rfind("openat(AT_FDCWD, \"", 0) == 0 && line[18] != '/');
        if (input_opened)
            calls.push_back(name + ":when=" + std::to_string(occurrence));
    }
    return calls;
}

class Sweep : public Tool, public ::testing::WithParamInterface<sweep_case> {
  protected:
    // Sets the case up and runs it once, listing the calls it makes.
    void SetUp() override
    {
        Tool::SetUp();
        const sweep_case &c = GetParam();
        if (emulated)
            GTEST_SKIP() << "the sweep is left out under an emulator: strace sees its calls, not the tool's";
        if (run(WITH_STRACE).status != 0)
            GTEST_SKIP() << "strace cannot trace here";
        write("in.rom", make_image(16384));
        ASSERT_EQ(run(std::string("./tolvek in.rom ref.rom >/dev/null && ") + c.setup).status, 0);
        old = output();
        old_identity = identity();
        before = run("ls -A").out;
        const result done = run(STRACE_TO_STDOUT "-o " + dir + ".trace " + c.command);
        ASSERT_EQ(done.status, 0);
        after = run("ls -A").out;
        image = read("ref.rom");
        ASSERT_EQ(state(done.out).first, "updated");
        done_said = state(done.out).second;
        error_line = "error writing output file " + done_said.substr(done_said.rfind(' ') + 1);
        calls = calls_after_input(slurp(dir + ".trace"));
        ASSERT_GT(calls.size(), 10U);
    }

    std::string output() const { return access(path("o.rom").c_str(), F_OK) == 0 ? read("o.rom") : missing; }
    std::string identity() const { return run("stat -c '%u %g %a' o.rom").out; }

    // What a run left in the output, by name, and what it printed. Through
    // standard output both are in the file: its old content, then what the
    // run printed, with the image after the banner where it was written.
    std::pair<std::string, std::string> state(const std::string &printed) const
    {
        std::string now = output();
        std::string said = printed;
        const std::size_t banner_length = std::strlen(banner);
        const sweep_case &c = GetParam();
        if (c.through_stdout && now.compare(0, old.size(), old) == 0) {
            said = now.substr(old.size());
            const bool imaged =
                said.size() > banner_length && said.compare(banner_length, image.size(), image) == 0;
            if (imaged)
                said.erase(banner_length, image.size());
            now = imaged ? image : old;
        }
        if (now == image)
            return {"updated", said};
        if (now == old)
            return {old == missing ? "missing" : "old", said};
        return {"broken, " + std::to_string(now.size()) + " bytes", said};
    }

    // What is wrong with what a run left, or "" for nothing. A run that says
    // it updated the output did, and one that says it failed left it as it
    // was; one killed, or that could not print its report, left it whole.
    std::string fault(const result &r, bool failing_call) const
    {
        const auto [now, said] = state(r.out);
        const std::string old_name = old == missing ? "missing" : "old";
        if (r.status == 0 && failing_call && (said != done_said || now != "updated"))
            return "said it updated, left " + now;
        if (said.find("error writing") != std::string::npos &&
            ((said != banner + error_line && said != error_line) || now != old_name))
            return "said it failed, left " + now;
        if (now.find("broken") != std::string::npos || said.size() > 200)
            return "status " + std::to_string(r.status) + ", left " + now;
        if (run("ls -A").out != (now == "missing" ? before : after))
            return "left other files";
        return old != missing && identity() != old_identity ? "changed owner or mode" : "";
    }

    // Runs the case from the old output, with the call made to fail or
    // interrupted as it is made.
    result run_injected(const std::string &call, const std::string &how) const
    {
        if (old == missing)
            unlink(path("o.rom").c_str());
        else
            write("o.rom", old);  // in place, keeping links and mode
        const std::string name = call.substr(0, call.find(':'));
        return run(STRACE "-e trace=" + name + " -e inject=" + name + ":" + how +
                   call.substr(call.find(':')) + " " + GetParam().command);
    }

    const std::string missing = "(no file)";
    std::string old, old_identity, before, after, image, done_said, error_line;
    std::vector<std::string> calls;
};

TEST_P(Sweep, LeavesTheOutputOldOrNew)
{
    const sweep_case &c = GetParam();
    int runs = 0;
    for (const char *how : {"error=EIO", "signal=SIGINT", "signal=SIGKILL"}) {
        if (std::strcmp(how, "signal=SIGKILL") == 0 && !c.one_write)
            continue;
        for (const std::string &call : calls) {
            EXPECT_EQ(fault(run_injected(call, how), how[0] == 'e'), "") << call << " " << how;
            ++runs;
        }
    }
    std::printf("%s: %zu calls, %d runs\n", c.name, calls.size(), runs);
}

INSTANTIATE_TEST_SUITE_P(
    Tool, Sweep,
    ::testing::Values(
        sweep_case{"InPlace", "cp in.rom o.rom", "./tolvek o.rom o.rom", true, false},
        sweep_case{"SameLength", "head -c 16384 /dev/zero >o.rom", "./tolvek in.rom o.rom", true, false},
        sweep_case{"OtherLength", "yes old | head -c 20000 >o.rom", "./tolvek in.rom o.rom", false, false},
        sweep_case{"HardLinked", "cp in.rom o.rom && ln o.rom link.rom", "./tolvek in.rom o.rom", true,
                   false},
        sweep_case{"NewFile", "true", "./tolvek in.rom o.rom", false, false},
        sweep_case{"Stdout", "echo old >o.rom", "./tolvek in.rom /dev/stdout >>o.rom", false, true}),
    [](const ::testing::TestParamInfo<sweep_case> &row) { return std::string(row.param.name); });

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
    // And on a console, which Wine makes on a terminal, as they were given.
    scenario{"UnicodeNameOnConsole", "command -v script >/dev/null || exit 77",
             "script -qec './tolvek in.rom 漢字.rom' /dev/null </dev/null >screen", nullptr, 0,
             "cmp 漢字.rom ref.rom && grep -c 'updated checksums in 漢字\\.rom' screen", "1\n"},
    // Names that cannot be opened or created as a file: nothing is made.
    scenario{
        "DeviceNames", "true", "for n in PRN LPT1 COM9; do ./tolvek in.rom $n; done >said", nullptr, 1,
        "grep -vx -e 'Quorin ROM checksum tool V1.0' -e 'Written by the tolvek developers.' -e '' said && "
        "rm said && ls -A",
        "cannot open output file PRN\ncannot open output file LPT1\ncannot open output file COM9\nin.rom\n"
        "ref.rom\ntolvek\n"},
    scenario{
        "OverlongName", "true", "./tolvek in.rom $(printf %0300d 0) >said", nullptr, 1,
        "test \"$(tail -n 1 said)\" = \"cannot open output file $(printf %0300d 0)\" && rm said && ls -A",
        untouched},
    // The file that standard output goes to is the tool's own output only on
    // the same volume; where a volume's serial number is unknown (Wine gives
    // a stream inherited from a POSIX shell none, nor tmpfs), a file of the
    // same ID cannot be told from it, and nothing is written.
    scenario{"StdoutOnAnotherVolume",
             ROOT_ONLY "mkdir a b && mount -t tmpfs -o size=64k tmpfs a && umount a || exit 77",
             "mount -t tmpfs -o size=64k tmpfs a && mount -t tmpfs -o size=64k tmpfs b && "
             "trap 'umount a b' EXIT && : >a/log && cp in.rom b/out.rom && "
             "test $(stat -c %i a/log) = $(stat -c %i b/out.rom) && "
             "./tolvek in.rom b/out.rom >a/log; cmp b/out.rom in.rom && cat a/log",
             "cannot open output file b/out.rom\n", 0, "true", ""},
    scenario{"SameFileAsStdoutUnknownVolume", "true", "./tolvek in.rom both.rom >both.rom", nullptr, 1,
             "{ ./tolvek | head -n 3; echo 'cannot open output file both.rom'; } | cmp - both.rom", ""},
    // A command prompt's redirection, whose handle tells its volume, and
    // where the tool's own output goes through that stream; one that fails
    // part way through leaves the file as it was, then the error line.
    scenario{"SameFileAsStdoutInCmd", "true",
             "WINEDEBUG=-all setarch -R wine cmd /c \"Z:$TOLVEK_WINDOWS_EXE in.rom both.rom >both.rom\"",
             nullptr, 0,
             "printf 'Quorin ROM checksum tool V1.0\\nWritten by the tolvek developers.\\n\\n' >want && "
             "cat ref.rom >>want && printf 'updated checksums in both.rom\\n' >>want && cmp want both.rom",
             ""},
    // A stream that only reads is not the tool's own output: here the file is
    // held by the command prompt, which shares it only for reading.
    scenario{"StderrReadOnlyInCmd", "cp in.rom a.rom",
             "WINEDEBUG=-all setarch -R wine cmd /c \"Z:$TOLVEK_WINDOWS_EXE in.rom a.rom <a.rom 2>&0\"",
             "cannot open output file a.rom\n", 1, "cmp a.rom in.rom", ""},
    scenario{
        "StdoutInCmdCutBack", "head -c 10000 /dev/zero >log",
        "trap '' XFSZ; ulimit -f 20; WINEDEBUG=-all setarch -R wine cmd /c \"Z:$TOLVEK_WINDOWS_EXE in.rom "
        "log >>log\"",
        nullptr, 1,
        "{ head -c 10000 /dev/zero; ./tolvek | head -n 3; echo 'error writing output file log'; } | cmp - "
        "log",
        ""},
    // A file whose type cannot be told is not taken for a device and written
    // over from its start: here Wine's examination that tells it fails.
    scenario{
        "TypeUnknown",
        WITH_STRACE "; head -c 16384 /dev/zero >o.rom && cat in.rom >>o.rom && "
                    "cp o.rom orig.rom",
        "strace -qq -P \"$PWD/o.rom\" -o trace -e trace=newfstatat,fstatfs ./tolvek in.rom o.rom >said && "
        "cp orig.rom o.rom && n=$(awk '/^newfstatat/ {n++} /^fstatfs/ {k = n} END {print k}' trace) && "
        "strace -qq -P \"$PWD/o.rom\" -o /dev/null -e trace=newfstatat "
        "-e inject=newfstatat:error=EIO:when=$n ./tolvek in.rom o.rom",
        "cannot open output file o.rom\n", 1, "cmp o.rom orig.rom", ""},
    // A new file that another run wrote before its creator locked it is
    // written as an existing one, whole: the creator is held as soon as it
    // has asked Wine to make it (on a slow machine, the other run may come
    // after it instead).
    scenario{"NewFileWrittenBeforeLock",
             WITH_STRACE "; head -c 16384 /dev/zero >big.rom && cat in.rom >>big.rom && "
                         "./tolvek big.rom big.ref >/dev/null",
             "strace -qq -o trace -e trace=writev,newfstatat ./tolvek in.rom o.rom >said && rm o.rom && "
             "n=$(awk '/^writev/ {n++} /o\\.rom.*ENOENT/ {k = n + 1} END {print k}' trace) && "
             "{ strace -qq -o /dev/null -e trace=writev -e inject=writev:delay_exit=2000000:when=$n "
             "./tolvek in.rom o.rom >first & "
             "i=0; until [ -e o.rom ] || [ $((i += 1)) -gt 100 ]; do sleep 0.05; done; "
             "./tolvek big.rom o.rom >second; wait $!; }",
             nullptr, 0, "{ cmp -s o.rom ref.rom || cmp o.rom big.ref; } && tail -qn 1 first second",
             "updated checksums in o.rom\nupdated checksums in o.rom\n"},
};
INSTANTIATE_TEST_SUITE_P(
    Windows, Output,
    ::testing::ValuesIn(windows_rows, windows_rows + (windows_tool != nullptr ? std::size(windows_rows) : 0)),
    [](const ::testing::TestParamInfo<scenario> &row) { return std::string(row.param.name); });

}  // namespace
