// SPDX-License-Identifier: GPL-3.0-or-later
// Black-box tests of ombrel-cli: each runs the built program with standard
// input from /dev/null and reads back its output, errors and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "hiding/payload.h"
#include "hiding/runs.h"
#include "hiding/sealed.h"
#include "hiding/sealed_run.h"
#include "hiding/shown_name.h"
#include "imagelib/bmp.h"
#include "tests/test_util.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;  // exit status, -1 when the program did not exit normally
    std::string out;
    std::string err;
};

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The program and `args` as the null-ended array that exec takes.
struct CliArgv {
    explicit CliArgv(const std::vector<std::string>& args) : strings{OMBREL_CLI} {
        strings.insert(strings.end(), args.begin(), args.end());
        for (std::string& a : strings) pointers.push_back(a.data());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

// ombrel-cli started with `args` in `directory` (the test's own when
// empty); Wait() collects what it printed and how it ended.
class CliProcess {
  public:
    explicit CliProcess(const std::vector<std::string>& args, const std::string& directory = {}) {
        CliArgv argv(args);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        if (posix_spawn(&pid_, argv.pointers[0], &actions, nullptr, argv.pointers.data(),
                        environ) != 0) {
            ADD_FAILURE() << "cannot start " << OMBREL_CLI;
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    Outcome Wait() {
        Outcome outcome;
        if (pid_ < 0) return outcome;
        int wait = 0;
        while (::waitpid(pid_, &wait, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (WIFEXITED(wait)) outcome.status = WEXITSTATUS(wait);
        outcome.out = Text(ReadFileBytes(outPath_));
        outcome.err = Text(ReadFileBytes(errPath_));
        return outcome;
    }

  private:
    TempDir capture_;
    const std::string outPath_ = capture_.File("stdout"), errPath_ = capture_.File("stderr");
    pid_t pid_ = -1;
};

Outcome RunCli(const std::vector<std::string>& args, const std::string& directory = {}) {
    return CliProcess(args, directory).Wait();
}

void WriteBase(const std::string& path, uint32_t width, uint32_t height) {
    const Bytes rgb = MakePhoto(width, height);
    ASSERT_TRUE(PixWriteBMP(path.c_str(), rgb.data(), width, height)) << path;
}

const char* Name(HidingMethod method) {
    return GetMethodInfo(method).name;
}

// A base image, a data file for it and an empty directory to decode into.
class CliFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteBase(base, 64, 48);  // 3072 pixels: 7/8 carries 384 bytes
        WriteFileBytes(data, secret);
        fs::create_directory(outDir);
    }

    TempDir dir;
    const std::string base = dir.File("base.bmp");
    const std::string data = dir.File("secret.dat");
    const std::string outDir = dir.File("out");
    const Bytes secret = RandomBytes(300, 7);
};

struct RoundTripCase {
    HidingMethod method;
    const char* output;
};
const RoundTripCase kRoundTrips[] = {
    {Method78, "carrier.bmp"},  {Method68, "carrier.bmp"},  {Method886, "carrier.png"},
    {Method777, "carrier.bmp"}, {Method666, "carrier.bmp"},
};

class CliRoundTrip : public CliFiles, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(CliRoundTrip, EncodeDetectDecode) {
    const HidingMethod method = GetParam().method;
    const std::string carrier = dir.File(GetParam().output);

    const Outcome encoded = RunCli({"encode", "-m", Name(method), base, data, carrier});
    EXPECT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(encoded.err, "");  // no progress line when standard error is no terminal
    EXPECT_EQ(encoded.out, "");

    const Outcome detected = RunCli({"detect", carrier});
    EXPECT_EQ(detected.status, 0) << detected.err;
    EXPECT_EQ(detected.out, std::string(Name(method)) + "\n");

    // Without -o the file lands in the current directory.
    const Outcome decoded = RunCli({"decode", "-q", carrier}, outDir);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.err, "");
    EXPECT_EQ(decoded.out, "secret.dat\n");
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);
}

INSTANTIATE_TEST_SUITE_P(Methods, CliRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) {
                             return std::string("Method") +
                                    std::to_string(static_cast<int>(info.param.method));
                         });

TEST_F(CliFiles, DefaultMethodIsSevenEighths) {
    const std::string carrier = dir.File("carrier.bmp");
    ASSERT_EQ(RunCli({"encode", base, data, carrier}).status, 0);
    EXPECT_EQ(RunCli({"detect", carrier}).out, "7/8\n");
}

TEST_F(CliFiles, ExistingFileReplacedOnlyWithForce) {
    const std::string carrier = dir.File("carrier.bmp");
    ASSERT_EQ(RunCli({"encode", "-m", "777", base, data, carrier}).status, 0);
    const std::string target = outDir + "/secret.dat";
    const Bytes old = {'o', 'l', 'd'};
    WriteFileBytes(target, old);

    const Outcome kept = RunCli({"decode", "-o", outDir, carrier});
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(kept.out, "");
    EXPECT_NE(kept.err.find(target + " exists"), std::string::npos) << kept.err;
    EXPECT_EQ(ReadFileBytes(target), old);

    // A trailing slash on the directory does not double up in the path.
    const Outcome replaced = RunCli({"decode", "-f", "-o", outDir + "/", carrier});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(replaced.out, target + "\n");
    EXPECT_EQ(ReadFileBytes(target), secret);
    EXPECT_EQ(fs::directory_iterator(outDir)->path().filename(), "secret.dat");
}

TEST_F(CliFiles, EncodeReplacesOnlyWithForce) {
    const std::string carrier = dir.File("carrier.bmp");
    const Bytes old = {'o', 'l', 'd'};
    WriteFileBytes(carrier, old);
    const Outcome kept = RunCli({"encode", "-m", "777", base, data, carrier});
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(kept.err, carrier + " exists; left alone (-f replaces it)\n");
    EXPECT_EQ(ReadFileBytes(carrier), old);

    const Outcome replaced = RunCli({"encode", "-f", "-m", "777", base, data, carrier});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(RunCli({"decode", "-o", outDir, carrier}).status, 0);
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);
}

// An output that is one of the inputs, under any name, is refused even
// with -f, and both inputs stay as they were.
TEST_F(CliFiles, EncodeNeverWritesOverItsInputs) {
    const Bytes baseBefore = ReadFileBytes(base), dataBefore = ReadFileBytes(data);
    fs::create_symlink(base, dir.File("base-link.bmp"));
    fs::create_hard_link(data, dir.File("data-link.bmp"));
    const std::pair<std::string, const char*> cases[] = {
        {base, "base image"},
        {dir.File("base-link.bmp"), "base image"},
        {data, "data file"},
        {dir.File("data-link.bmp"), "data file"},
    };
    for (const auto& [output, what] : cases) {
        const Outcome outcome = RunCli({"encode", "-f", "-m", "777", base, data, output});
        EXPECT_EQ(outcome.status, 1) << output;
        EXPECT_EQ(outcome.err, "The output image " + output + " is the " + what +
                                   " itself; choose another name for the output\n");
        EXPECT_EQ(ReadFileBytes(base), baseBefore);
        EXPECT_EQ(ReadFileBytes(data), dataBefore);
    }
}

// A base that is no image is said to be unreadable, not too small.
TEST_F(CliFiles, UnreadableBaseIsNamed) {
    const Outcome outcome = RunCli({"encode", "-m", "777", data, data, dir.File("o.bmp")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind("Unable to read the base image " + data + ":\n", 0), 0u)
        << outcome.err;
    EXPECT_FALSE(fs::exists(dir.File("o.bmp")));
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
};
const UsageCase kUsageErrors[] = {
    {"NoCommand", {}},
    {"UnknownCommand", {"hide", "base.bmp"}},
    {"UnknownOption", {"detect", "--frobnicate", "base.bmp"}},
    {"MissingOperands", {"encode", "base.bmp"}},
    {"UnknownMethod", {"encode", "-m", "5/8", "base.bmp", "base.bmp", "x.bmp"}},
    {"MissingInput", {"detect", "absent.bmp"}},
    {"MissingDirectory", {"decode", "-o", "absent", "base.bmp"}},
    {"ExtraOperand", {"capacity", "base.bmp", "base.bmp"}},
};

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, ExitsTwo) {
    TempDir dir;
    WriteBase(dir.File("base.bmp"), 8, 8);
    const Outcome outcome = RunCli(GetParam().args, dir.path().string());
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(Errors, CliUsage, ::testing::ValuesIn(kUsageErrors),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs that fail or refuse: exit 1, the system's message on standard error
// and nothing on standard output.
struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // run in a directory holding the files below
    std::string message;
    const char* mustNotExist;
};
const uint32_t kBigData = 500;  // more than 7/8 carries in 64 x 48 pixels
const RefusalCase kRefusals[] = {
    {"DataTooBig",
     {"encode", "base.bmp", "big.dat", "out.bmp"},
     FitMessage(Method78, kPayloadHeaderSize + sizeof "big.dat" + kBigData, 64, 48),
     "out.bmp"},
    {"DataMissing",
     {"encode", "base.bmp", "none.dat", "out.bmp"},
     "Unable to read file none.dat:\nNo such file or directory",
     "out.bmp"},
    {"BaseMissing",
     {"encode", "none.bmp", "big.dat", "out.bmp"},
     "Unable to read the base image none.bmp:\nNo such file or directory",
     "out.bmp"},
    {"NotEncodedDetect", {"detect", "base.bmp"}, kNotEncodedText, nullptr},
    {"NotEncodedDecode", {"decode", "base.bmp"}, kNotEncodedText, nullptr},
    // The writer's code as the dialog shows it: no 24-bit JPEG output.
    {"ErrorCode",
     {"encode", "-m", "886", "base.bmp", "big.dat", "out.jpg"},
     PixErrorMessage(kPixErrParam),
     "out.jpg"},
    {"CapacityNotImage", {"capacity", "big.dat"}, kNotAnImageText, nullptr},
    {"CapacityJsonNotImage", {"capacity", "--json", "big.dat"}, kNotAnImageText, nullptr},
};

class CliRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CliRefusal, ExitsOneWithMessage) {
    TempDir dir;
    WriteBase(dir.File("base.bmp"), 64, 48);
    WriteFileBytes(dir.File("big.dat"), RandomBytes(kBigData, 3));
    const Outcome outcome = RunCli(GetParam().args, dir.path().string());
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, GetParam().message + "\n");
    EXPECT_EQ(outcome.out, "");
    if (GetParam().mustNotExist) {
        EXPECT_FALSE(fs::exists(dir.File(GetParam().mustNotExist)));
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, CliRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliCapacity, ReportAndJson) {
    TempDir dir;
    WriteBase(dir.File("square.bmp"), 100, 100);
    WriteBase(dir.File("tiny.bmp"), 10, 10);

    const Outcome report = RunCli({"capacity", dir.File("square.bmp")});
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(report.out,
              CapacityText(100, 100) + "\n" + JpegCapacityRow(dir.File("square.bmp"), 90) + "\n");

    const Outcome square = RunCli({"capacity", "--json", dir.File("square.bmp")});
    EXPECT_EQ(square.status, 0) << square.err;
    EXPECT_EQ(square.out,
              "{\"width\":100,\"height\":100,\"capacity\":"
              "{\"7/8\":1234,\"6/8\":2484,\"886\":2484,\"777\":3734,\"666\":7484,"
              "\"sealed\":3588},\"sealed_hides_well\":213,"
              "\"jpeg\":{\"bytes\":380,\"hides_well\":54,\"estimated\":true}}\n");

    // Too small for the header: negative, as the report prints it.
    const Outcome tiny = RunCli({"capacity", "--json", dir.File("tiny.bmp")});
    EXPECT_EQ(tiny.out,
              "{\"width\":10,\"height\":10,\"capacity\":"
              "{\"7/8\":-4,\"6/8\":9,\"886\":9,\"777\":21,\"666\":59,\"sealed\":-125},\"sealed_hides_well\":0,"
              "\"jpeg\":{\"bytes\":-51,\"hides_well\":0,\"estimated\":true}}\n");
}

TEST(CliInfo, VersionAndHelp) {
    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("ombrel-cli ") + OMBREL_VERSION + "\n");

    const Outcome help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"encode", "decode", "detect", "capacity"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;

    const Outcome commandHelp = RunCli({"encode", "--help"});
    EXPECT_EQ(commandHelp.status, 0);
    EXPECT_NE(commandHelp.out.find("--method"), std::string::npos) << commandHelp.out;
}

// Every process's command line, as another user's `ps` shows it.
std::string PsArgs() {
    std::string text;
    FILE* ps = ::popen("ps -eo args", "r");
    if (ps == nullptr) return text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, ps)) > 0) text.append(buffer, got);
    ::pclose(ps);
    return text;
}

constexpr char kPassphrase[] = "tangerine-Wombat-47";
constexpr char kTooMuchToHideWell[] =
    "The file takes 310 bytes; this picture hides up to 0 bytes well. Past that a carrier is "
    "easier to tell from an untouched picture: a larger picture or a smaller file hides better.";

class CliSealed : public CliFiles {
  protected:
    void SetUp() override {
        CliFiles::SetUp();
        const std::string line = std::string(kPassphrase) + "\n";
        WriteFileBytes(passphraseFile, Bytes(line.begin(), line.end()));
    }
    const std::string passphraseFile = dir.File("passphrase");
    const std::string carrier = dir.File("carrier.png");
};

TEST_F(CliSealed, RoundTripWithAPassphraseFile) {
    const Outcome encoded = RunCli(
        {"encode", "-m", "sealed", "--passphrase-file", passphraseFile, base, data, carrier});
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    // Too much for so small a picture to hide well: said, and done anyway.
    EXPECT_EQ(encoded.err + encoded.out, std::string(kTooMuchToHideWell) + "\n");

    // Without the passphrase no one can tell, and the program does not ask.
    const Outcome detected = RunCli({"detect", carrier});
    EXPECT_EQ(detected.status, 1);
    EXPECT_EQ(detected.err, std::string(kNotEncodedText) + "\n");
    const Outcome unasked = RunCli({"decode", "-o", outDir, carrier});
    EXPECT_EQ(unasked.status, 1);
    EXPECT_EQ(unasked.err, std::string(kNotEncodedText) + "\n");
    EXPECT_EQ(RunCli({"detect", "--passphrase-file", passphraseFile, carrier}).out, "sealed\n");

    const std::string wrongFile = dir.File("wrong");
    WriteFileBytes(wrongFile, {'t', 'a', 'n', 'g', 'e', 'r', 'i', 'n', 'e'});
    const Outcome wrong = RunCli({"decode", "-o", outDir, "--passphrase-file", wrongFile, carrier});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, std::string(kSealedFailedMessage) + "\n");
    EXPECT_TRUE(fs::is_empty(outDir));

    const Outcome decoded =
        RunCli({"decode", "-o", outDir, "--passphrase-file", passphraseFile, carrier});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, outDir + "/secret.dat\n");
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);

    // No terminal to ask on and no file: a usage error, nothing written.
    const std::string other = dir.File("other.png");
    const Outcome unsealed = RunCli({"encode", "-m", "sealed", base, data, other});
    EXPECT_EQ(unsealed.status, 2);
    EXPECT_NE(unsealed.err.find("--passphrase-file"), std::string::npos) << unsealed.err;
    EXPECT_FALSE(fs::exists(other));
}

// The passphrase file is a pipe this test fills, so the program is alive
// while `ps` looks, before and after it has read the passphrase.
TEST_F(CliSealed, JpegOutputsFromAJpegAndFromAPictureAtAQuality) {
    const std::string jpeg = CorpusDir() + "/jpeg/libjpeg-turbo/testorig.jpg";
    const std::string picture = dir.File("picture.bmp");
    WriteBase(picture, 240, 160);
    const struct {
        std::vector<std::string> options;
        std::string base, said;
    } encodes[] = {
        {{}, jpeg, ""},
        {{"--quality", "80"}, jpeg,
         "The base is a JPEG: its coefficients are kept as they are, --quality is not used\n"},
        {{"--quality", "80"}, picture, ""},
    };
    for (const auto& e : encodes) {
        SCOPED_TRACE(e.base);
        const std::string out = dir.File("carrier.jpg");
        fs::remove(out);
        std::vector<std::string> args = {"encode", "-m", "sealed", "--passphrase-file",
                                         passphraseFile};
        args.insert(args.end(), e.options.begin(), e.options.end());
        args.insert(args.end(), {e.base, data, out});
        const Outcome encoded = RunCli(args);
        ASSERT_EQ(encoded.status, 0) << encoded.err;
        EXPECT_EQ(encoded.err.substr(0, e.said.size()), e.said);
        EXPECT_EQ(RunCli({"detect", "--passphrase-file", passphraseFile, out}).out, "sealed\n");
        fs::remove_all(outDir);
        fs::create_directory(outDir);
        const Outcome decoded = RunCli({"decode", "-o", outDir, "--passphrase-file", passphraseFile, out});
        EXPECT_EQ(decoded.status, 0) << decoded.err;
        EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);
    }

    // A quality that could not apply is a usage error; nothing is written.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"encode", "-m", "666", "--quality", "80", base, data,
                                   dir.File("q.png")},
          std::vector<std::string>{"encode", "-m", "sealed", "--passphrase-file", passphraseFile,
                                   "--quality", "80", base, data, dir.File("q.png")},
          std::vector<std::string>{"encode", "-m", "sealed", "--passphrase-file", passphraseFile,
                                   "--quality", "0", base, data, dir.File("q.jpg")}}) {
        const Outcome refused = RunCli(args);
        EXPECT_EQ(refused.status, 2) << refused.err;
        EXPECT_FALSE(fs::exists(args.back()));
    }
}

TEST_F(CliSealed, PassphraseFromAFileNeverShowsInPs) {
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    CliProcess encode({"encode", "-m", "sealed", "--passphrase-file", pipe, base, data, carrier});
    const std::string before = PsArgs();
    EXPECT_NE(before.find(pipe), std::string::npos) << "ps does not show the program";
    EXPECT_EQ(before.find(kPassphrase), std::string::npos);
    const int fd = ::open(pipe.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string line = std::string(kPassphrase) + "\n";
    ASSERT_EQ(::write(fd, line.data(), line.size()), ssize_t(line.size()));
    EXPECT_EQ(PsArgs().find(kPassphrase), std::string::npos);
    ::close(fd);
    const Outcome encoded = encode.Wait();
    EXPECT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(RunCli({"detect", "--passphrase-file", passphraseFile, carrier}).out, "sealed\n");
}

// A passphrase that cannot apply is a usage error, never silently dropped
// with the file hidden in clear.
TEST_F(CliSealed, PassphraseWhereNoneAppliesIsAUsageError) {
    const Outcome clear =
        RunCli({"encode", "-m", "777", "--passphrase-file", passphraseFile, base, data, carrier});
    EXPECT_EQ(clear.status, 2);
    EXPECT_NE(clear.err.find("777"), std::string::npos) << clear.err;
    EXPECT_NE(clear.err.find("sealed"), std::string::npos) << clear.err;
    EXPECT_FALSE(fs::exists(carrier));

    const std::string plain = dir.File("plain.bmp");
    ASSERT_EQ(RunCli({"encode", "-m", "777", base, data, plain}).status, 0);
    const std::vector<std::string> commands[] = {
        {"decode", "-o", outDir, "--passphrase-file", passphraseFile, plain},
        {"detect", "--passphrase-file", passphraseFile, plain},
    };
    for (const auto& command : commands) {
        const Outcome outcome = RunCli(command);
        EXPECT_EQ(outcome.status, 2) << command[0] << ": " << outcome.err;
        EXPECT_NE(outcome.err.find("777"), std::string::npos) << outcome.err;
    }
    EXPECT_TRUE(fs::is_empty(outDir));
}

// What editors put around a line is not part of the passphrase; the rest is.
TEST_F(CliSealed, PassphraseFileLineEnds) {
    ASSERT_EQ(
        RunCli({"encode", "-m", "sealed", "--passphrase-file", passphraseFile, base, data, carrier})
            .status,
        0);
    const std::string pw = kPassphrase;
    const struct {
        std::string text;
        bool opens;
    } cases[] = {
        {pw, true},
        {pw + "\r", true},
        {pw + "\r\n", true},
        {pw + "\r\r\n", true},
        {"\xef\xbb\xbf" + pw + "\r\n", true},
        {pw + "\nsecond line", true},
        {" " + pw, false},
        {pw + " \n", false},
        {"\xef\xbb\xbf\xef\xbb\xbf" + pw, false},
    };
    for (const auto& c : cases) {
        const std::string file = dir.File("variant");
        WriteFileBytes(file, Bytes(c.text.begin(), c.text.end()));
        const Outcome decoded =
            RunCli({"decode", "-f", "-o", outDir, "--passphrase-file", file, carrier});
        EXPECT_EQ(decoded.status, c.opens ? 0 : 1) << ShownName(c.text) << ": " << decoded.err;
    }
}

// An encode over an image that already carries a file: the decode gives
// the new file, or the encode refused and wrote nothing. Never the old file.
TEST_F(CliSealed, NewPayloadNeverDecodesToTheOld) {
    const std::string fresh = dir.File("fresh.txt");
    const Bytes freshBytes = RandomBytes(40, 11);
    WriteFileBytes(fresh, freshBytes);
    for (int old = 0; old < kMethodListCount; ++old) {
        for (int now = 0; now < kMethodListCount; ++now) {
            const auto oldMethod = static_cast<HidingMethod>(old);
            const auto newMethod = static_cast<HidingMethod>(now);
            const std::string pair = std::string(Name(oldMethod)) + " then " + Name(newMethod);
            const std::string first = dir.File("first.bmp"), second = dir.File("second.bmp");
            const std::string into = dir.File("into");
            fs::remove(first), fs::remove(second), fs::remove_all(into);
            fs::create_directory(into);
            std::vector<std::string> args = {"encode", "-m", Name(oldMethod)};
            if (oldMethod == MethodSealed)
                args.insert(args.end(), {"--passphrase-file", passphraseFile});
            args.insert(args.end(), {base, data, first});
            ASSERT_EQ(RunCli(args).status, 0) << pair;

            args = {"encode", "-m", Name(newMethod)};
            if (newMethod == MethodSealed)
                args.insert(args.end(), {"--passphrase-file", passphraseFile});
            args.insert(args.end(), {first, fresh, second});
            const Outcome encoded = RunCli(args);
            if (encoded.status != 0) {
                EXPECT_EQ(encoded.status, 1) << pair << ": " << encoded.err;
                EXPECT_FALSE(fs::exists(second)) << pair;
                continue;
            }
            args = {"decode", "-o", into};
            if (newMethod == MethodSealed)
                args.insert(args.end(), {"--passphrase-file", passphraseFile});
            args.push_back(second);
            const Outcome decoded = RunCli(args);
            EXPECT_EQ(decoded.status, 0) << pair << ": " << decoded.err;
            EXPECT_EQ(decoded.out, into + "/fresh.txt\n") << pair;
            EXPECT_FALSE(fs::exists(into + "/secret.dat")) << pair;
            if (decoded.status == 0) {
                EXPECT_EQ(ReadFileBytes(into + "/fresh.txt"), freshBytes) << pair;
            }
        }
    }
}

// ombrel-cli on a pseudo-terminal of its own, each prompt answered with the
// next of `answers`; `ps` is read at each prompt, while the program waits.
struct TerminalRun {
    int status = -1;
    std::string screen;           // everything the terminal showed
    std::vector<std::string> ps;  // one snapshot a prompt
};
TerminalRun RunOnTerminal(const std::vector<std::string>& args,
                          const std::vector<std::string>& answers) {
    CliArgv argv(args);
    TerminalRun run;
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(argv.pointers[0], argv.pointers.data());
        ::_exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "forkpty failed";
        return run;
    }
    size_t answered = 0;
    for (;;) {
        pollfd ready = {terminal, POLLIN, 0};
        if (::poll(&ready, 1, 60000) <= 0) {
            ADD_FAILURE() << "no answer from the program; the screen shows: " << run.screen;
            ::kill(pid, SIGKILL);
            break;
        }
        char buffer[256];
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;  // the program has gone
        run.screen.append(buffer, static_cast<size_t>(got));
        if (answered < answers.size() &&
            run.screen.ends_with("Passphrase: ") + run.screen.ends_with("Passphrase again: ")) {
            run.ps.push_back(PsArgs());
            const std::string line = answers[answered++] + "\n";
            EXPECT_EQ(::write(terminal, line.data(), line.size()), ssize_t(line.size()));
        }
    }
    ::close(terminal);
    int wait = 0;
    while (::waitpid(pid, &wait, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wait)) run.status = WEXITSTATUS(wait);
    return run;
}

TEST_F(CliSealed, PassphraseOnATerminalIsNeitherEchoedNorInPs) {
    const TerminalRun encoded = RunOnTerminal({"encode", "-q", "-m", "sealed", base, data, carrier},
                                              {kPassphrase, kPassphrase});
    EXPECT_EQ(encoded.status, 0) << encoded.screen;
    EXPECT_EQ(encoded.screen,
              "Passphrase: \r\nPassphrase again: \r\n" + std::string(kTooMuchToHideWell) + "\r\n");
    ASSERT_EQ(encoded.ps.size(), 2u);
    for (const std::string& ps : encoded.ps) {
        EXPECT_NE(ps.find(carrier), std::string::npos) << "ps does not show the program";
        EXPECT_EQ(ps.find(kPassphrase), std::string::npos);
    }

    // A decode asks once, when no method's signature is found.
    const TerminalRun decoded =
        RunOnTerminal({"decode", "-q", "-o", outDir, carrier}, {kPassphrase});
    EXPECT_EQ(decoded.status, 0) << decoded.screen;
    EXPECT_EQ(decoded.screen, "Passphrase: \r\n" + outDir + "/secret.dat\r\n");
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);

    // Two different entries: refused before anything is written.
    const std::string other = dir.File("other.png");
    const TerminalRun mismatch =
        RunOnTerminal({"encode", "-q", "-m", "sealed", base, data, other}, {kPassphrase, "x"});
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_NE(mismatch.screen.find("The passphrases do not match"), std::string::npos)
        << mismatch.screen;
    EXPECT_FALSE(fs::exists(other));
}

// What is wrong with the file comes first, not a question it cannot use.
TEST_F(CliSealed, NotAPictureSaysSoBeforeAskingForAPassphrase) {
    const std::string notPicture = dir.File("notes.png");
    WriteFileBytes(notPicture, {'j', 'u', 's', 't', ' ', 't', 'e', 'x', 't', '\n'});
    const TerminalRun run = RunOnTerminal({"decode", "-o", outDir, notPicture}, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.screen.find("Passphrase"), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find("PNG"), std::string::npos) << run.screen;
    EXPECT_TRUE(fs::is_empty(outDir));
}

// ombrel-cli with `args` and /dev/null for its streams: its exit status and
// its peak resident memory in KiB.
std::pair<int, long> RunMeasured(const std::vector<std::string>& args) {
    CliArgv argv(args);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd : {0, 1, 2}) ::dup2(null, fd);
        ::execv(argv.pointers[0], argv.pointers.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

// The fit is found while compressing: a huge file that cannot fit is
// neither held nor read whole, and one that compresses into the room
// streams in and comes back whole.
TEST_F(CliSealed, DataFilesLargerThanTheRoomStream) {
    const std::string huge = dir.File("huge.bin");
    const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);  // sparse: no disk
    ::close(fd);
    const std::string random = dir.File("random.bin");
    WriteFileBytes(random, RandomBytes(1 << 20, 5));
    for (const std::string& data : {huge, random}) {
        const auto [status, peakKiB] = RunMeasured(
            {"encode", "-m", "sealed", "--passphrase-file", passphraseFile, base, data, carrier});
        EXPECT_EQ(status, 1) << data;
        EXPECT_LT(peakKiB, 256 * 1024) << data;
        EXPECT_FALSE(fs::exists(carrier)) << data;
    }

    const std::string zeros = dir.File("zeros.bin");
    const Bytes zeroBytes(300000, 0);  // far above the room, yet compresses into it
    WriteFileBytes(zeros, zeroBytes);
    ASSERT_EQ(RunCli({"encode", "-m", "sealed", "--passphrase-file", passphraseFile, base, zeros,
                      carrier})
                  .status,
              0);
    const Outcome decoded =
        RunCli({"decode", "-o", outDir, "--passphrase-file", passphraseFile, carrier});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(ReadFileBytes(outDir + "/zeros.bin"), zeroBytes);
}

// A record that inflates far beyond the picture is written as it inflates,
// never held whole.
TEST_F(CliSealed, ARecordInflatesStraightIntoItsFile) {
    const std::string roomy = dir.File("roomy.bmp");
    WriteBase(roomy, 256, 256);
    const std::string zeros = dir.File("zeros.bin");
    const off_t size = off_t{320} << 20;
    const int fd = ::open(zeros.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);  // sparse: no disk
    ::close(fd);
    const Outcome encoded = RunCli(
        {"encode", "-m", "sealed", "--passphrase-file", passphraseFile, roomy, zeros, carrier});
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    fs::remove(zeros);

    const auto [status, peakKiB] =
        RunMeasured({"decode", "-o", outDir, "--passphrase-file", passphraseFile, carrier});
    EXPECT_EQ(status, 0);
    EXPECT_LT(peakKiB, 160 * 1024);
    const std::string out = outDir + "/zeros.bin";
    ASSERT_EQ(fs::file_size(out), uint64_t(size));
    std::FILE* file = std::fopen(out.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> tail(1 << 16, 1);
    std::fseek(file, -long(tail.size()), SEEK_END);
    EXPECT_EQ(std::fread(tail.data(), 1, tail.size(), file), tail.size());
    std::fclose(file);
    EXPECT_EQ(tail, std::vector<uint8_t>(tail.size(), 0));
}

}  // namespace

TEST_F(CliSealed, SeveralFilesAndAFolder) {
    fs::create_directories(dir.path() / "docs/sub");
    WriteFileBytes(dir.File("docs/a.txt"), {'a'});
    WriteFileBytes(dir.File("docs/sub/b.txt"), {'b', 'b'});
    const std::vector<std::string> inputs = {dir.File("docs"), data};

    // The five methods keep their one file.
    const Outcome refused = RunCli({"encode", "-m", "777", base, inputs[0], carrier});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("-m sealed"), std::string::npos) << refused.err;

    // Nor is any of them written over, the last one included.
    const Outcome over = RunCli({"encode", "-f", "-m", "sealed", "--passphrase-file",
                                 passphraseFile, base, inputs[0], inputs[1], data});
    EXPECT_EQ(over.status, 1);
    EXPECT_EQ(over.err, "The output image " + data + " is the data file itself; choose another " +
                            "name for the output\n");
    EXPECT_EQ(ReadFileBytes(data), secret);

    const Outcome encoded = RunCli({"encode", "-m", "sealed", "--passphrase-file", passphraseFile,
                                    base, inputs[0], inputs[1], carrier});
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    const Outcome listed = RunCli({"list", "--passphrase-file", passphraseFile, carrier});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "0\tdocs/\n1\tdocs/a.txt\n0\tdocs/sub/\n2\tdocs/sub/b.txt\n300\tsecret.dat\n");
    EXPECT_TRUE(fs::is_empty(outDir));

    const std::string written = outDir + "/docs/a.txt\n" + outDir + "/docs/sub/b.txt\n" + outDir +
                                "/secret.dat\n";
    const std::vector<std::string> decode = {"decode", "-o", outDir, "--passphrase-file",
                                             passphraseFile, carrier};
    const Outcome decoded = RunCli(decode);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, written);
    EXPECT_EQ(ReadFileBytes(outDir + "/docs/sub/b.txt"), (Bytes{'b', 'b'}));
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);

    // Again: each file is there, left alone without -f and said so.
    WriteFileBytes(outDir + "/secret.dat", {'o', 'l', 'd'});
    const Outcome kept = RunCli(decode);
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(kept.out, "");
    EXPECT_NE(kept.err.find(outDir + "/secret.dat exists; left alone"), std::string::npos)
        << kept.err;
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), (Bytes{'o', 'l', 'd'}));
    std::vector<std::string> forced = decode;
    forced.insert(forced.begin() + 1, "-f");
    const Outcome replaced = RunCli(forced);
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(replaced.out, written);
    EXPECT_EQ(ReadFileBytes(outDir + "/secret.dat"), secret);
}
