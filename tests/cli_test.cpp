// Black-box tests of ombrel-cli: each runs the built program with standard
// input from /dev/null and reads back its output, errors and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "hiding/payload.h"
#include "hiding/runs.h"
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

// Runs ombrel-cli with `args` in `directory` (the test's own when empty).
Outcome RunCli(const std::vector<std::string>& args, const std::string& directory = {}) {
    TempDir capture;
    const std::string outPath = capture.File("stdout"), errPath = capture.File("stderr");
    std::vector<std::string> argv = {OMBREL_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Outcome outcome;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return outcome;
    }
    int wait = 0;
    while (::waitpid(pid, &wait, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wait)) outcome.status = WEXITSTATUS(wait);
    outcome.out = Text(ReadFileBytes(outPath));
    outcome.err = Text(ReadFileBytes(errPath));
    return outcome;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
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
     FitMessage(Method78, kPayloadHeaderSize + sizeof "big.dat" + kBigData),
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
    EXPECT_EQ(report.out, CapacityText(100, 100) + "\n");

    const Outcome square = RunCli({"capacity", "--json", dir.File("square.bmp")});
    EXPECT_EQ(square.status, 0) << square.err;
    EXPECT_EQ(square.out,
              "{\"width\":100,\"height\":100,\"capacity\":"
              "{\"7/8\":1234,\"6/8\":2484,\"886\":2484,\"777\":3734,\"666\":7484}}\n");

    // Too small for the header: negative, as the report prints it.
    const Outcome tiny = RunCli({"capacity", "--json", dir.File("tiny.bmp")});
    EXPECT_EQ(tiny.out,
              "{\"width\":10,\"height\":10,\"capacity\":"
              "{\"7/8\":-4,\"6/8\":9,\"886\":9,\"777\":21,\"666\":59}}\n");
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

}  // namespace
