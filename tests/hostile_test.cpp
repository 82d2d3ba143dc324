// SPDX-License-Identifier: GPL-3.0-or-later
// ombrel-cli and the engine against hostile folders, names, limits and
// signals: what an attacker who can add entries to the output folder, an
// image with a crafted name, a full disk or an impatient user can do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hiding/carrier.h"
#include "hiding/channel.h"
#include "hiding/payload.h"
#include "hiding/shown_name.h"
#include "imagelib/bmp.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

enum class Stdout { kCapture, kFull, kClosed };

struct Launch {
    std::vector<std::string> args;
    std::string directory;  // the child's working directory
    Stdout out = Stdout::kCapture;
    rlim_t fileSizeLimit = RLIM_INFINITY;
    bool held = false;  // waits for Release() before it starts the program
};

struct Outcome {
    int status = -1;  // exit status, -1 unless it exited
    int signal = 0;   // the signal that ended it, 0 if none
    bool hung = false;
    std::string out, err;
};

// ombrel-cli in a child process, started with fork so that its limits,
// streams and pid are ours to set and know before it runs.
class Child {
  public:
    explicit Child(const Launch& launch) {
        std::vector<std::string> argv = {OMBREL_CLI};
        argv.insert(argv.end(), launch.args.begin(), launch.args.end());
        std::vector<char*> pointers;
        for (std::string& a : argv) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        const std::string outPath = capture_.File("stdout"), errPath = capture_.File("stderr");
        const char* out = launch.out == Stdout::kFull ? "/dev/full" : outPath.c_str();
        int gate[2] = {-1, -1};
        if (launch.held && ::pipe(gate) != 0) ADD_FAILURE() << "pipe";

        pid_ = ::fork();
        if (pid_ == 0) {  // only async-signal-safe calls from here to exec
            if (launch.held) {
                char go;
                ::close(gate[1]);
                if (::read(gate[0], &go, 1) != 1) ::_exit(126);
            }
            if (::chdir(launch.directory.c_str()) != 0) ::_exit(126);
            const int in = ::open("/dev/null", O_RDONLY);
            const int o = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || o < 0 || e < 0) ::_exit(126);
            ::dup2(in, 0);
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (launch.out == Stdout::kClosed) ::close(1);
            const rlimit limit{launch.fileSizeLimit, launch.fileSizeLimit};
            if (launch.fileSizeLimit != RLIM_INFINITY) ::setrlimit(RLIMIT_FSIZE, &limit);
            for (int number : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) ::signal(number, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execv(pointers[0], pointers.data());
            ::_exit(127);
        }
        if (launch.held) {
            ::close(gate[0]);
            gate_ = gate[1];
        }
        outPath_ = outPath;
        errPath_ = errPath;
    }
    ~Child() {
        if (gate_ >= 0) ::close(gate_);
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    void Release() {
        const char go = 1;
        if (::write(gate_, &go, 1) != 1) ADD_FAILURE() << "cannot release the child";
        ::close(gate_);
        gate_ = -1;
    }

    // Waits for the end, or kills the child after `seconds` (a hang).
    Outcome Wait(int seconds = 30) {
        Outcome outcome;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int wait = 0;
        for (;;) {
            const pid_t done = ::waitpid(pid_, &wait, WNOHANG);
            if (done == pid_) break;
            if (done < 0 && errno != EINTR) return outcome;
            if (std::chrono::steady_clock::now() > deadline) {
                outcome.hung = true;
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &wait, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        reaped_ = true;
        if (WIFEXITED(wait)) outcome.status = WEXITSTATUS(wait);
        if (WIFSIGNALED(wait) && !outcome.hung) outcome.signal = WTERMSIG(wait);
        const Bytes out = ReadFileBytes(outPath_), err = ReadFileBytes(errPath_);
        outcome.out.assign(out.begin(), out.end());
        outcome.err.assign(err.begin(), err.end());
        return outcome;
    }

  private:
    TempDir capture_;
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    int gate_ = -1;
    bool reaped_ = false;
};

Outcome RunCli(Launch launch) {
    Child child(launch);
    return child.Wait();
}

// Names in a folder that a write may have left behind.
std::vector<std::string> Leftovers(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        if (name.starts_with(".ombrel-")) names.push_back(name);
    }
    return names;
}

// A folder with a base image, a data file, an image carrying it, and an
// empty folder to decode into; `victim` is a file outside that folder.
class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        const Bytes photo = MakePhoto(64, 48);
        ASSERT_TRUE(PixWriteBMP(base.c_str(), photo.data(), 64, 48));
        WriteFileBytes(data, secret);
        WriteFileBytes(victim, victimBytes);
        fs::create_directory(out);
        ASSERT_EQ(Cli({"encode", "-m", "777", base, data, carrier}).status, 0);
    }

    Outcome Cli(std::vector<std::string> args) {
        return RunCli({std::move(args), dir.path().string()});
    }

    // Encodes a data file of this name, for a decode to bring back.
    std::string CarrierFor(const std::string& name) {
        const std::string file = dir.File(name), image = dir.File("named.bmp");
        WriteFileBytes(file, secret);
        EXPECT_EQ(Cli({"encode", "-m", "777", base, file, image}).status, 0) << name;
        return image;
    }

    TempDir dir;
    const std::string base = dir.File("base.bmp");
    const std::string data = dir.File("secret.dat");
    const std::string carrier = dir.File("carrier.bmp");
    const std::string out = dir.File("out");
    const std::string target = out + "/secret.dat";
    const std::string victim = dir.File("victim");
    const Bytes secret = RandomBytes(300, 7);
    const Bytes victimBytes = {'m', 'i', 'n', 'e'};
};

// Entries planted, before the program starts, at every name it could
// once be predicted to write its temporary file under (its pid and a
// serial number, with and without the output's extension).
struct PlantCase {
    const char* name;
    bool encode;  // else a decode into the output folder
    bool fifo;    // else a link to the victim
};
void PrintTo(const PlantCase& c, std::ostream* os) {
    *os << c.name;
}
const PlantCase kPlants[] = {
    {"DecodeLink", false, false},
    {"DecodeFifo", false, true},
    {"EncodeLink", true, false},
    {"EncodeFifo", true, true},
};

class PlantedTemporary : public Hostile, public ::testing::WithParamInterface<PlantCase> {};

TEST_P(PlantedTemporary, NeverOpened) {
    const PlantCase& plant = GetParam();
    const std::string folder = plant.encode ? dir.path().string() : out;
    const std::string output = dir.File("written.bmp");
    Launch launch{plant.encode ? std::vector<std::string>{"encode", "-m", "777", base, data, output}
                               : std::vector<std::string>{"decode", "-o", out, carrier},
                  dir.path().string()};
    launch.held = true;
    Child child(launch);
    for (int serial = 1; serial <= 3; ++serial) {
        for (const char* extension : {"", ".bmp"}) {
            const std::string at = folder + "/.ombrel-" + std::to_string(child.pid()) + "-" +
                                   std::to_string(serial) + extension;
            if (plant.fifo)
                ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0) << at;
            else
                fs::create_symlink(victim, at);
        }
    }
    child.Release();
    const Outcome outcome = child.Wait(10);
    EXPECT_FALSE(outcome.hung);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadFileBytes(victim), victimBytes);
    const std::string written = plant.encode ? output : target;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(written))) << written;
    if (plant.encode) {
        EXPECT_EQ(Cli({"detect", output}).out, "777\n");
    } else {
        EXPECT_EQ(ReadFileBytes(target), secret);
    }
    EXPECT_EQ(Leftovers(folder).size(), 6u);  // the planted entries, left alone
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedTemporary, ::testing::ValuesIn(kPlants),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hostile, ForcedDecodeReplacesALinkAtTheStoredName) {
    fs::create_symlink(victim, target);
    const Outcome outcome = Cli({"decode", "-f", "-o", out, carrier});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadFileBytes(victim), victimBytes);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
    EXPECT_EQ(ReadFileBytes(target), secret);
    EXPECT_TRUE(Leftovers(dir.path().string()).empty());
    EXPECT_TRUE(Leftovers(out).empty());
}

// A write past `ulimit -f` fails as on a full disk, for every format, and
// leaves the file that was there and nothing else.
struct LimitCase {
    const char* name;
    std::vector<std::string> args;  // in the test's folder
    const char* kept;               // a file the failed write must leave as it was
    rlim_t limit;
};
void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}
const LimitCase kLimits[] = {
    {"Bmp", {"encode", "-f", "-m", "777", "base.bmp", "secret.dat", "x.bmp"}, "x.bmp", 2000},
    {"Pcx", {"encode", "-f", "-m", "777", "base.bmp", "secret.dat", "x.pcx"}, "x.pcx", 2000},
    {"Png", {"encode", "-f", "-m", "777", "base.bmp", "secret.dat", "x.png"}, "x.png", 2000},
    {"Tiff", {"encode", "-f", "-m", "777", "base.bmp", "secret.dat", "x.tif"}, "x.tif", 2000},
    {"Bmp8", {"encode", "-f", "-m", "7/8", "base.bmp", "secret.dat", "x.bmp"}, "x.bmp", 2000},
    {"Decode", {"decode", "-f", "carrier.bmp"}, "secret.dat", 100},
};

class FileSizeLimit : public Hostile, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(FileSizeLimit, FailsAsAFullDisk) {
    const LimitCase& c = GetParam();
    const std::string kept = dir.File(c.kept);
    const Bytes before = {'o', 'l', 'd'};
    WriteFileBytes(kept, before);
    Launch launch{c.args, dir.path().string()};
    launch.fileSizeLimit = c.limit;
    const Outcome outcome = RunCli(launch);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Unable to write to file\n");
    EXPECT_EQ(ReadFileBytes(kept), before);
    EXPECT_TRUE(Leftovers(dir.path().string()).empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, FileSizeLimit, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return std::string(info.param.name); });

// Several entries, the disk full inside one: the file half-written and
// the folders the decode made all go.
TEST_F(Hostile, FullDiskInsideOneOfSeveralEntriesLeavesNothing) {
    fs::create_directories(dir.path() / "set/sub");
    WriteFileBytes(dir.File("set/sub/a.bin"), RandomBytes(600, 4));
    const std::string key = dir.File("key");
    WriteFileBytes(key, Bytes{'k', 'e', 'y', '\n'});
    const std::string sealed = dir.File("sealed.png");
    ASSERT_EQ(Cli({"encode", "-m", "sealed", "--passphrase-file", key, base, dir.File("set"),
                   sealed})
                  .status,
              0);
    Launch launch{{"decode", "--passphrase-file", key, "-o", out, sealed}, dir.path().string()};
    launch.fileSizeLimit = 100;
    const Outcome outcome = RunCli(launch);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Unable to write to file\n");
    EXPECT_TRUE(fs::is_empty(out)) << fs::directory_iterator(out)->path();
}

// A stop signal during a long write: the temporary file goes, and the
// program ends as the signal says.
class StopSignal : public Hostile, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, RemovesTheTemporaryFile) {
    const int number = GetParam();
    const uint32_t side = 2500;  // an 18.75 MB output, written in tens of milliseconds
    const std::string big = dir.File("big.bmp");
    const Bytes photo = MakePhoto(side, side);
    ASSERT_TRUE(PixWriteBMP(big.c_str(), photo.data(), side, side));
    const std::string folder = dir.File("write");
    fs::create_directory(folder);

    // The child may win the race against the kill, on a busy machine
    // often: try again then.
    bool interrupted = false;
    for (int attempt = 0; attempt < 12 && !interrupted; ++attempt) {
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
        Child child({{"encode", "-m", "777", big, data, folder + "/out.bmp"}, folder});
        alignas(inotify_event) char events[4096];
        bool seen = false;
        while (!seen) {
            pollfd ready{watch, POLLIN, 0};
            ASSERT_EQ(::poll(&ready, 1, 20000), 1) << "no temporary file was created";
            const ssize_t got = ::read(watch, events, sizeof events);
            ASSERT_GT(got, 0);
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len > 0 && std::string(event->name).starts_with(".ombrel-")) seen = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        ::kill(child.pid(), number);
        const Outcome outcome = child.Wait();
        ::close(watch);
        EXPECT_TRUE(Leftovers(folder).empty());
        // Finished first, or renamed into place just before the signal came:
        // either way the output is whole.
        if (outcome.status == 0 || fs::exists(folder + "/out.bmp")) {
            uint32_t width = 0, height = 0;
            HGLOBAL whole = PixReadBMP((folder + "/out.bmp").c_str(), &width, &height);
            EXPECT_NE(whole, nullptr);
            if (whole) GlobalFree(whole);
            fs::remove(folder + "/out.bmp");
            continue;
        }
        interrupted = true;
        EXPECT_EQ(outcome.signal, number) << outcome.status << outcome.err;
        EXPECT_FALSE(fs::exists(folder + "/out.bmp"));
    }
    EXPECT_TRUE(interrupted);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM,
                                           SIGPIPE),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Output that cannot reach standard output is a failure, said on standard
// error.
struct StdoutCase {
    const char* name;
    std::vector<std::string> args;  // in the test's folder
    Stdout out;
};
void PrintTo(const StdoutCase& c, std::ostream* os) {
    *os << c.name;
}
const StdoutCase kStdouts[] = {
    {"CapacityJsonFull", {"capacity", "--json", "base.bmp"}, Stdout::kFull},
    {"CapacityFull", {"capacity", "base.bmp"}, Stdout::kFull},
    {"DetectFull", {"detect", "carrier.bmp"}, Stdout::kFull},
    {"DecodeFull", {"decode", "-o", "out", "carrier.bmp"}, Stdout::kFull},
    {"DetectClosed", {"detect", "carrier.bmp"}, Stdout::kClosed},
    {"DecodeClosed", {"decode", "-o", "out", "carrier.bmp"}, Stdout::kClosed},
};

class StandardOutput : public Hostile, public ::testing::WithParamInterface<StdoutCase> {};

TEST_P(StandardOutput, LostOutputIsAFailure) {
    Launch launch{GetParam().args, dir.path().string()};
    launch.out = GetParam().out;
    const Outcome outcome = RunCli(launch);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.err.starts_with("Unable to write to standard output: ")) << outcome.err;
}

INSTANTIATE_TEST_SUITE_P(Streams, StandardOutput, ::testing::ValuesIn(kStdouts),
                         [](const auto& info) { return std::string(info.param.name); });

// Stored names reach the terminal escaped, and the file itself keeps the
// name as stored.
struct NameCase {
    const char* name;
    std::string stored;
    std::string shown;
};
void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.name;
}
const NameCase kNames[] = {
    {"TerminalTitle", "a\x1b]0;pwned\x07.txt", "a\\x1b]0;pwned\\x07.txt"},
    {"Newline", "line\nbreak.txt", "line\\nbreak.txt"},
    {"CarriageReturn", "ok.txt\rfake", "ok.txt\\rfake"},
    {"TabAndDelete", "t\tx\x7f", "t\\tx\\x7f"},
    {"Backspaces", "evil\b\b\b\bgood", "evil\\x08\\x08\\x08\\x08good"},
    {"InvalidUtf8", "caf\xe9\xff.txt", "caf\\xe9\\xff.txt"},
    {"C1Control",
     "csi\xc2\x9b"
     "2J",
     "csi\\xc2\\x9b2J"},
    {"RightToLeftOverride",
     "ann\xe2\x80\xae"
     "exe.txt",
     "ann\\u202eexe.txt"},
};

class StoredName : public Hostile, public ::testing::WithParamInterface<NameCase> {};

TEST_P(StoredName, ShownEscaped) {
    const NameCase& name = GetParam();
    const std::string image = CarrierFor(name.stored);
    const Outcome decoded = Cli({"decode", "-o", out, image});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, out + "/" + name.shown + "\n");
    EXPECT_EQ(ReadFileBytes(out + "/" + name.stored), secret);

    // The question about the existing file names it escaped as well.
    const Outcome again = Cli({"decode", "-o", out, image});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, out + "/" + name.shown + " exists; left alone (-f replaces it)\n");
}

INSTANTIATE_TEST_SUITE_P(Names, StoredName, ::testing::ValuesIn(kNames),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hostile, HiddenNameIsWrittenAndSaid) {
    const Outcome decoded = Cli({"decode", "-o", out, CarrierFor(".bash_aliases")});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, out + "/.bash_aliases\n");
    EXPECT_EQ(decoded.err, out + "/.bash_aliases is a hidden file: its name starts with a dot\n");
    EXPECT_EQ(ReadFileBytes(out + "/.bash_aliases"), secret);
}

TEST_F(Hostile, NameTooLongForTheFileSystemIsNamed) {
    // 258 bytes: within what a payload may store, past the 255 a Linux file
    // system takes.
    const std::string name(258, 'n');
    Bytes payload = {'O', 'm', '6', '6', '6', 0, 0, 0};
    for (uint32_t v : {static_cast<uint32_t>(name.size() + 1), 1u})
        for (int shift = 0; shift < 32; shift += 8) payload.push_back(uint8_t(v >> shift));
    payload.insert(payload.end(), name.begin(), name.end());
    payload.push_back(0);
    payload.push_back(42);
    Bytes pixels = MakePhoto(64, 48);
    Embed666(pixels.data(), 64 * 48, payload.data(), payload.size());
    const std::string crafted = dir.File("long.bmp");
    ASSERT_TRUE(PixWriteBMP(crafted.c_str(), pixels.data(), 64, 48));

    const Outcome decoded = Cli({"decode", "-o", out, crafted});
    EXPECT_EQ(decoded.status, 1);
    EXPECT_EQ(decoded.err, "Unable to open file " + out + "/" + name + ": File name too long\n");
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(ShownName, EscapesOnlyWhatActsOnATerminal) {
    EXPECT_EQ(ShownName("plain name.txt"), "plain name.txt");
    EXPECT_EQ(ShownName("\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xb7"),
              "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xb7");
    EXPECT_EQ(ShownName(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(ShownName("back\\slash"), "back\\\\slash");
    // Overlong, surrogate and cut-short sequences are bytes, not characters.
    EXPECT_EQ(ShownName("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(ShownName("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(ShownName("end\xe2\x80"), "end\\xe2\\x80");
    // Invisible and layout characters, each between two letters.
    const struct {
        const char* utf8;
        const char* shown;
    } invisible[] = {
        {"\xc2\xad", "\\u00ad"},     {"\xe2\x80\x8b", "\\u200b"}, {"\xe2\x80\x8e", "\\u200e"},
        {"\xe2\x80\x8f", "\\u200f"}, {"\xe2\x80\xa8", "\\u2028"}, {"\xe2\x80\xa9", "\\u2029"},
        {"\xe2\x80\xaa", "\\u202a"}, {"\xe2\x80\xae", "\\u202e"}, {"\xe2\x81\xa6", "\\u2066"},
        {"\xe2\x81\xa9", "\\u2069"}, {"\xef\xbb\xbf", "\\ufeff"},
    };
    for (const auto& c : invisible)
        EXPECT_EQ(ShownName(std::string("a") + c.utf8 + "b"), std::string("a") + c.shown + "b")
            << c.shown;
    // Joiners shape scripts and emoji; they stay.
    EXPECT_EQ(ShownName("a\xe2\x80\x8d"
                        "b"),
              "a\xe2\x80\x8d"
              "b");
    EXPECT_TRUE(IsHiddenName("user/.profile"));
    EXPECT_FALSE(IsHiddenName(".user/profile"));
}

// A carrier read in steps notices a file rewritten between them, or while
// one step read it, so a decode never joins two files.
TEST(CarrierIdentity, ARewriteBetweenReadsIsNoticed) {
    TempDir dir;
    const std::string path = dir.File("carrier.bmp");
    const uint32_t side = 64;
    Bytes first = MakePhoto(side, side);
    ASSERT_TRUE(PixWriteBMP(path.c_str(), first.data(), side, side));

    Carrier steady(path, false);
    ASSERT_EQ(steady.Reach(3 * side), 0);
    ASSERT_EQ(steady.Reach(3 * side * side), 0);
    EXPECT_FALSE(steady.Changed());

    Carrier carrier(path, false);
    ASSERT_EQ(carrier.Reach(3 * side), 0);
    Bytes second = first;
    for (uint8_t& byte : second) byte ^= 1;
    ASSERT_TRUE(PixWriteBMP(path.c_str(), second.data(), side, side));  // same size, in place
    // A clock tick may not pass between the two writes: move the time on.
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    ASSERT_EQ(carrier.Reach(3 * side * side), 0);
    EXPECT_TRUE(carrier.Changed());
}

}  // namespace
