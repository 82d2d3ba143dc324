// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/runs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <new>
#include <random>
#include <thread>
#include <utility>

#include "working/working_image.h"
#include "hiding/channel.h"
#include "hiding/palette.h"
#include "hiding/sealed_run.h"
#include "imagelib/pix.h"
#include "tests/alloc_failure.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// Files of this process cannot grow past `bytes` while it lives: a write
// beyond fails with EFBIG, as on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

  private:
    rlimit previous_{};
    void (*previousHandler_)(int);
};

// The names in a directory, to see that nothing was left behind.
std::vector<std::string> Listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Records what a run shows and answers its questions from a script.
class FakeDialog : public DialogPort {
  public:
    std::string base, data, output, outputDirectory;
    std::deque<bool> yesNoAnswers;
    std::deque<std::string> fileAnswers;
    std::vector<std::string> events;    // status, progress and pauses, in order
    std::vector<std::string> messages;  // message and question texts
    std::string status = "before";
    std::string capacity;
    int progress = -1;
    std::function<void()> onFirstStep;  // runs at the first progress step

    std::string BaseImagePath() override { return base; }
    std::string DataFilePath() override { return data; }
    std::string OutputImagePath() override { return output; }
    int MethodIndex() override { return 0; }
    void SetStatus(const std::string& text) override {
        status = text;
        events.push_back("status:" + text);
    }
    void SetProgressPosition(int position) override {
        progress = position;
        events.push_back("progress=" + std::to_string(position));
    }
    void StepProgress() override {
        ++progress;
        events.push_back("step");
        if (onFirstStep) std::exchange(onFirstStep, nullptr)();
    }
    void SetCapacityText(const std::string& text) override { capacity = text; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool AskYesNo(const std::string& text) override {
        messages.push_back(text);
        if (yesNoAnswers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text;
            return false;
        }
        bool answer = yesNoAnswers.front();
        yesNoAnswers.pop_front();
        return answer;
    }
    std::string AskOutputFile(const std::string&) override {
        std::string answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    void Pause(unsigned milliseconds) override {
        events.push_back("pause " + std::to_string(milliseconds));
    }
    std::string OutputDirectory() override { return outputDirectory; }
    // Three-way answers to an existing extracted file, when scripted.
    std::deque<ExistsAnswer> existsAnswers;
    ExistsAnswer AskExisting(const std::string& shown) override {
        if (existsAnswers.empty()) return DialogPort::AskExisting(shown);
        messages.push_back(shown + " exists");
        const ExistsAnswer answer = existsAnswers.front();
        existsAnswers.pop_front();
        return answer;
    }
    // Where a refused write goes instead, when set.
    std::function<bool(const std::string& path, const std::string& reason, std::string* chosen)>
        elsewhere;
    bool OfferElsewhere(const std::string& path, const std::string& reason,
                        std::string* chosen) override {
        return elsewhere && elsewhere(path, reason, chosen);
    }
};

class RunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir.path() / "out");
        dialog.base = dir.File("base.bmp");
        dialog.data = dir.File("secret.dat");
        dialog.outputDirectory = dir.File("out");
        photo = MakePhoto(kWidth, kHeight);
        ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), photo.data(), kWidth, kHeight));
        secret = RandomBytes(150, 9);
        WriteFileBytes(dialog.data, secret);
    }

    // Encodes, detects and decodes; returns the method found.
    int RoundTrip(HidingMethod method, const std::string& outputName) {
        dialog.output = dir.File(outputName);
        EXPECT_EQ(EncodeRun(dialog, method), 0) << outputName;
        EXPECT_TRUE(dialog.messages.empty()) << dialog.messages.front();
        const int found = DetectMethod(dialog, dialog.output);
        if (found >= 0) {
            EXPECT_EQ(DecodeRun(dialog, static_cast<HidingMethod>(found), dialog.output), 0);
        }
        return found;
    }

    static constexpr uint32_t kWidth = 67, kHeight = 45;
    TempDir dir;
    FakeDialog dialog;
    Bytes photo, secret;
};

}  // namespace

TEST_F(RunTest, EveryMethodIntoEveryFormatItWrites) {
    const std::vector<std::string> eightBit = {"c.bmp", "c.pcx", "c.png", "c.tif", "c.TIFF"};
    const std::vector<std::string> channel = {"c.bmp", "c.pcx", "c.png", "c.tif", "c.tiff"};
    for (int m = 0; m < kMethodCount; ++m) {
        const auto method = static_cast<HidingMethod>(m);
        for (const std::string& name : GetMethodInfo(method).indexed ? eightBit : channel) {
            if (name == "c.TIFF") continue;  // 8-bit TIFF is written only as .tif
            SCOPED_TRACE(std::string(GetMethodInfo(method).name) + " " + name);
            fs::remove_all(dir.path() / "out");
            fs::create_directory(dir.path() / "out");
            fs::remove(dir.File(name));
            EXPECT_EQ(RoundTrip(method, name), method);
            EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), secret);
            EXPECT_EQ(dialog.status, "Extracted " + dir.File("out") + "/secret.dat");
            EXPECT_TRUE(dialog.messages.empty());
        }
    }
}

TEST_F(RunTest, PaletteOutputShowsTheReducedImage) {
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method68), 0);
    uint32_t width = 0, height = 0;
    RGBQUAD palette[256] = {};
    const Bytes indices = TakeBlock(PixReadBMP8(dialog.output.c_str(), &width, &height, palette));
    ASSERT_EQ(indices.size(), size_t{kWidth} * kHeight);

    Bytes reduced(indices.size());
    RGBQUAD reducedPalette[256] = {};
    ASSERT_TRUE(PixQuantize(photo.data(), reduced.data(), kWidth, kHeight, 64, reducedPalette));
    for (size_t j = 0; j < indices.size(); ++j) {
        ASSERT_EQ(indices[j] >> 2, reduced[j]) << j;
        const RGBQUAD& shown = palette[indices[j]];
        const RGBQUAD& want = reducedPalette[reduced[j]];
        ASSERT_EQ(shown.rgbRed, want.rgbRed);
        ASSERT_EQ(shown.rgbGreen, want.rgbGreen);
        ASSERT_EQ(shown.rgbBlue, want.rgbBlue);
    }
}

TEST_F(RunTest, StatusAndProgressInOrder) {
    dialog.output = dir.File("c.png");
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);
    EXPECT_EQ(dialog.events,
              (std::vector<std::string>{"progress=0", "step", "status:Reading", "step", "step",
                                        "status:Set up", "status:Encoding", "step",
                                        "status:Writing", "step", "status:", "pause 750"}));
    dialog.events.clear();
    ASSERT_EQ(DecodeRun(dialog, Method666, dialog.output), 0);
    EXPECT_EQ(dialog.events,
              (std::vector<std::string>{
                  "status:Reading", "progress=0", "step", "step", "step", "status:Decoding", "step",
                  "status:Extracted " + dir.File("out/secret.dat"), "step", "pause 750"}));

    dialog.output = dir.File("c8.bmp");
    dialog.events.clear();
    ASSERT_EQ(EncodeRun(dialog, Method78), 0);
    EXPECT_EQ(dialog.events,
              (std::vector<std::string>{"progress=0", "step", "status:Reading", "step", "step",
                                        "status:Set up", "status:Encoding", "step",
                                        "status:Writing", "step", "status:", "pause 750"}));
}

TEST_F(RunTest, EncodeRefusals) {
    // Too big: the fit message, nothing written, status as it was.
    WriteFileBytes(dialog.data, Bytes(2000, 1));
    dialog.output = dir.File("c.bmp");
    EXPECT_EQ(EncodeRun(dialog, Method78), 0);
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0],
              "Data file will not fit in specified image!\nAn image containing at least 16216 "
              "pixels is required to hide this file\nThe 7/8 method can carry 360 bytes in "
              "this image; this file needs 2011 bytes");
    EXPECT_EQ(dialog.status, "before");
    EXPECT_FALSE(fs::exists(dialog.output));
    WriteFileBytes(dialog.data, secret);

    struct Case {
        const char* name;
        HidingMethod method;
        std::string base, data, output;
        int want;
    };
    const Case cases[] = {
        {"EmptyOutput", Method666, dialog.base, dialog.data, "", kPixErrParam},
        {"JpegOutput", Method666, dialog.base, dialog.data, dir.File("o.jpg"), kPixErrParam},
        {"TiffLongNameFor8Bit", Method68, dialog.base, dialog.data, dir.File("o.tiff"),
         kPixErrParam},
        {"NoSuchMethod", static_cast<HidingMethod>(kMethodCount), dialog.base, dialog.data,
         dir.File("o.bmp"), kPixErrParam},
    };
    for (const Case& c : cases) {
        dialog.base = c.base;
        dialog.data = c.data;
        dialog.output = c.output;
        EXPECT_EQ(EncodeRun(dialog, c.method), c.want) << c.name;
        if (!c.output.empty()) {
            EXPECT_FALSE(fs::exists(c.output)) << c.name;
        }
    }
    // A base image whose size cannot be read is named as the cause, not
    // the data file's fit.
    dialog.messages.clear();
    dialog.base = dir.File("picture.gif");
    WriteFileBytes(dialog.base, {1, 2, 3});
    dialog.output = dir.File("o.bmp");
    EXPECT_EQ(EncodeRun(dialog, Method666), 0);
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0].rfind("Unable to read the base image " + dialog.base + ":\n", 0), 0u)
        << dialog.messages[0];
    EXPECT_FALSE(fs::exists(dialog.output));
}

// A data file that cannot be read is named, with the system's reason,
// before anything is asked or written.
TEST_F(RunTest, UnreadableDataFileIsNamedWithItsReason) {
    const std::string locked = dir.File("locked.txt");
    WriteFileBytes(locked, {1});
    chmod(locked.c_str(), 0);
    fs::create_directory(dir.File("folder"));
    struct Case {
        std::string data;
        const char* reason;
    };
    std::vector<Case> cases = {{dir.File("none"), "No such file or directory"},
                               {dir.File("folder"), "Is a directory"}};
    if (geteuid() != 0) cases.push_back({locked, "Permission denied"});  // root reads anything
    dialog.output = dir.File("o.bmp");
    WriteFileBytes(dialog.output, {'o', 'l', 'd'});
    Passphrase passphrase;
    passphrase.Assign("opal", 4);
    for (const Case& c : cases) {
        for (HidingMethod method : {Method777, MethodSealed}) {
            if (method == MethodSealed && c.data == dir.File("folder")) continue;  // it takes folders
            dialog.messages.clear();
            dialog.data = c.data;
            EXPECT_EQ(method == MethodSealed ? EncodeSealedRun(dialog, passphrase)
                                             : EncodeRun(dialog, method),
                      0);
            EXPECT_EQ(dialog.messages,
                      std::vector<std::string>{"Unable to read file " + c.data + ":\n" + c.reason});
            EXPECT_EQ(ReadFileBytes(dialog.output), (Bytes{'o', 'l', 'd'}));
        }
    }
}

// An existing output is replaced only on the user's word.
TEST_F(RunTest, EncodeAsksBeforeReplacing) {
    dialog.output = dir.File("o.bmp");
    const Bytes old = {'o', 'l', 'd'};
    for (bool answer : {false, true}) {
        WriteFileBytes(dialog.output, old);
        dialog.messages.clear();
        dialog.yesNoAnswers = {answer};
        EXPECT_EQ(EncodeRun(dialog, Method777), 0);
        ASSERT_FALSE(dialog.messages.empty());
        EXPECT_EQ(dialog.messages[0], dialog.output + kReplaceQuestion);
        EXPECT_EQ(ReadFileBytes(dialog.output) == old, !answer);
    }
}

TEST_F(RunTest, DecodeMessages) {
    // An image without a payload.
    EXPECT_EQ(DetectMethod(dialog, dialog.base), -1);
    // A 777 payload read as 666.
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method777), 0);
    EXPECT_EQ(DecodeRun(dialog, Method666, dialog.output), 0);
    EXPECT_EQ(dialog.messages, (std::vector<std::string>{"This is not a Ombrel 666 file"}));

    // A header that claims more data than the image holds.
    dialog.messages.clear();
    Bytes pixels = photo;
    const uint8_t header[16] = {'O', 'm', '6', '6', '6', 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0, 0};
    Bytes payload(header, header + 16);
    payload.insert(payload.end(), {'x', 0});
    Embed666(pixels.data(), uint64_t{kWidth} * kHeight, payload.data(), payload.size());
    const std::string crafted = dir.File("crafted.bmp");
    ASSERT_TRUE(PixWriteBMP(crafted.c_str(), pixels.data(), kWidth, kHeight));
    EXPECT_EQ(DetectMethod(dialog, crafted), Method666);
    EXPECT_EQ(DecodeRun(dialog, Method666, crafted), 0);
    EXPECT_EQ(dialog.messages,
              (std::vector<std::string>{"Invalid Ombrel file (datasize too big for file)"}));

    // A payload whose name would leave the folder is written inside it.
    dialog.messages.clear();
    pixels = photo;
    payload = {'O', 'm', '6', '6', '6', 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0};
    for (char c : std::string("../evil\0", 8)) payload.push_back(static_cast<uint8_t>(c));
    payload.push_back(0);
    payload.push_back(42);
    Embed666(pixels.data(), uint64_t{kWidth} * kHeight, payload.data(), payload.size());
    ASSERT_TRUE(PixWriteBMP(crafted.c_str(), pixels.data(), kWidth, kHeight));
    EXPECT_EQ(DecodeRun(dialog, Method666, crafted), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/evil")), Bytes{42});
    EXPECT_FALSE(fs::exists(dir.File("evil")));

    // A file no reader takes, and one that is missing.
    EXPECT_EQ(DecodeRun(dialog, Method666, dir.File("none.bmp")), kPixErrOpen);
    EXPECT_EQ(DecodeRun(dialog, Method78, dir.File("none.bmp")), kPixErrOpen);
    // No 8-bit reader serves the extension and the library says nothing: a
    // failure all the same, not a silent success.
    PixSetLastError(0);
    EXPECT_EQ(DecodeRun(dialog, Method78, dir.File("c.gif")), kPixErrNotImage);
    EXPECT_EQ(DecodeRun(dialog, static_cast<HidingMethod>(-1), dialog.output), kPixErrParam);
    EXPECT_FALSE(ProbeMethod(dialog, static_cast<HidingMethod>(kMethodCount), dialog.output));
}

TEST_F(RunTest, CarrierCutShortBelowItsPayloadStillDecodes) {
    // A decode reads only the rows that hold the payload, so a carrier whose
    // lower half is lost gives its data back where a whole load fails.
    // Large enough that the PNG's image data spans several chunks.
    const Bytes large = MakePhoto(300, 200);
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), large.data(), 300, 200));
    const std::pair<HidingMethod, const char*> cases[] = {
        {Method777, "c.png"}, {Method666, "c.pcx"}, {Method78, "c.pcx"}};
    for (const auto& [method, name] : cases) {
        SCOPED_TRACE(std::string(GetMethodInfo(method).name) + " " + name);
        dialog.output = dir.File(name);
        fs::remove(dialog.output);
        ASSERT_EQ(EncodeRun(dialog, method), 0);
        Bytes bytes = ReadFileBytes(dialog.output);
        bytes.resize(bytes.size() / 2);
        WriteFileBytes(dialog.output, bytes);

        CWorkingImage whole;
        uint32_t width = 0, height = 0;
        RGBQUAD palette[256];
        if (GetMethodInfo(method).indexed) {
            EXPECT_EQ(ReadIndexedByExtension(dialog.output, &width, &height, palette), nullptr);
        } else {
            EXPECT_NE(whole.Load(dialog.output), 0);
        }
        fs::remove(dir.File("out/secret.dat"));
        EXPECT_EQ(DetectMethod(dialog, dialog.output), method);
        EXPECT_EQ(DecodeRun(dialog, method, dialog.output), 0);
        EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), secret);
        EXPECT_TRUE(dialog.messages.empty());
    }
}

TEST_F(RunTest, DecodeReadsAFileReplacedSinceDetectionAgain) {
    const std::string carrier = dir.File("c.bmp"), other = dir.File("other.bmp");
    dialog.output = carrier;
    ASSERT_EQ(EncodeRun(dialog, Method777), 0);
    dialog.output = other;
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);
    ASSERT_EQ(DetectMethod(dialog, carrier), Method777);
    fs::rename(other, carrier);
    EXPECT_EQ(DecodeRun(dialog, Method777, carrier), 0);
    EXPECT_EQ(dialog.messages, std::vector<std::string>{"This is not a Ombrel 777 file"});
    EXPECT_FALSE(fs::exists(dir.File("out/secret.dat")));
}

TEST_F(RunTest, FitIsTestedAgainOnTheLoadedImage) {
    // The base image shrinks between the size query and the load.
    dialog.output = dir.File("c.bmp");
    const Bytes small = MakePhoto(8, 8);
    dialog.onFirstStep = [&] { ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), small.data(), 8, 8)); };
    EXPECT_EQ(EncodeRun(dialog, Method666), 0);
    // 16 + 11 + 150 = 177 bytes; 666 needs 4 * 177 / 3 = 236 pixels.
    EXPECT_EQ(dialog.messages,
              std::vector<std::string>{"Data file will not fit in specified image!\nAn image "
                                       "containing at least 236 pixels is required to hide "
                                       "this file\nThe 666 method can carry 32 bytes in this "
                                       "image; this file needs 161 bytes"});
    EXPECT_FALSE(fs::exists(dialog.output));
}

TEST_F(RunTest, EncodeThatStopsBeforeWritingLeavesItsStatus) {
    dialog.output = dir.File("c.bmp");
    {
        RefuseArrays refuse(size_t{kWidth} * kHeight);  // the index buffer
        EXPECT_EQ(EncodeRun(dialog, Method78), kPixErrMemory);
        EXPECT_TRUE(refuse.refused());
    }
    EXPECT_EQ(dialog.events, (std::vector<std::string>{"progress=0", "step", "status:Reading",
                                                       "step", "step", "status:Set up"}));
    EXPECT_FALSE(fs::exists(dialog.output));

    // A writer that fails still closes the run.
    dialog.events.clear();
    dialog.output = dir.File("c.jpg");
    EXPECT_EQ(EncodeRun(dialog, Method777), kPixErrParam);
    EXPECT_EQ(dialog.status, "");
    EXPECT_EQ(dialog.events.back(), "pause 750");
}

TEST_F(RunTest, FailedWritesLeaveExistingFilesAlone) {
    const std::string carrier = dir.File("carrier.bmp");
    dialog.output = carrier;
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);

    // An output image that cannot be written whole.
    dialog.output = dir.File("c.bmp");
    WriteFileBytes(dialog.output, {1, 2, 3});
    dialog.yesNoAnswers = {true};  // replace it
    {
        FileSizeLimit limit(2000);  // the 67 x 45 BMP needs 9234 bytes
        EXPECT_EQ(EncodeRun(dialog, Method666), kPixErrWrite);
    }
    EXPECT_EQ(ReadFileBytes(dialog.output), (Bytes{1, 2, 3}));
    EXPECT_EQ(Listing(dir.path()),
              (std::vector<std::string>{"base.bmp", "c.bmp", "carrier.bmp", "out", "secret.dat"}));

    // An extracted file that cannot be written whole, over one the user
    // agreed to replace.
    const std::string existing = dir.File("out/secret.dat");
    WriteFileBytes(existing, {7});
    dialog.yesNoAnswers = {true};
    dialog.status = "before";
    {
        FileSizeLimit limit(100);  // the secret is 150 bytes
        EXPECT_EQ(DecodeRun(dialog, Method666, carrier), kPixErrWrite);
    }
    EXPECT_EQ(ReadFileBytes(existing), Bytes{7});
    EXPECT_EQ(Listing(dir.path() / "out"), std::vector<std::string>{"secret.dat"});
    EXPECT_EQ(dialog.status, "Decoding");
}

TEST_F(RunTest, LongestFileNamesTheSystemAllows) {
    // 255 bytes is the longest name a Linux file system takes; the stored
    // name then has 256 bytes with its zero, within the 260 a decode allows.
    const std::string dataName = "data." + std::string(250, 'x');
    const std::string outputName = std::string(251, 'o') + ".bmp";
    dialog.data = dir.File(dataName);
    WriteFileBytes(dialog.data, secret);
    dialog.output = dir.File(outputName);
    dialog.base = dir.File("base.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);
    ASSERT_TRUE(fs::exists(dialog.output));
    EXPECT_EQ(DecodeRun(dialog, Method666, dialog.output), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/" + dataName)), secret);
}

TEST_F(RunTest, OverwritePrompt) {
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method886), 0);
    const std::string existing = dir.File("out/secret.dat");
    const std::string prompt = existing + " exists\nOverwrite?\nNo to Rename";

    WriteFileBytes(existing, {7});
    dialog.yesNoAnswers = {true};
    ASSERT_EQ(DecodeRun(dialog, Method886, dialog.output), 0);
    EXPECT_EQ(dialog.messages, std::vector<std::string>{prompt});
    EXPECT_EQ(ReadFileBytes(existing), secret);

    WriteFileBytes(existing, {7});
    dialog.messages.clear();
    dialog.status = "before";
    dialog.yesNoAnswers = {false};
    dialog.fileAnswers = {""};
    ASSERT_EQ(DecodeRun(dialog, Method886, dialog.output), 0);
    EXPECT_EQ(ReadFileBytes(existing), Bytes{7});
    EXPECT_EQ(dialog.status, "Decoding");

    dialog.yesNoAnswers = {false};
    dialog.fileAnswers = {dir.File("renamed.dat")};
    ASSERT_EQ(DecodeRun(dialog, Method886, dialog.output), 0);
    EXPECT_EQ(ReadFileBytes(existing), Bytes{7});
    EXPECT_EQ(ReadFileBytes(dir.File("renamed.dat")), secret);
    EXPECT_EQ(dialog.status, "Extracted " + dir.File("renamed.dat"));

    // A folder that cannot take the file: a message naming the path, no
    // status, nothing left.
    dialog.status = "before";
    dialog.messages.clear();
    dialog.outputDirectory = dir.File("missing");
    EXPECT_EQ(DecodeRun(dialog, Method886, dialog.output), 0);
    EXPECT_EQ(dialog.messages,
              std::vector<std::string>{"Unable to open file " + dir.File("missing/secret.dat") +
                                       ": No such file or directory"});
    EXPECT_EQ(dialog.status, "Decoding");
}

// The window's three answers: Cancel writes nothing and asks nothing more.
TEST_F(RunTest, ExistingExtractedFileCanBeLeftAlone) {
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method886), 0);
    const std::string existing = dir.File("out/secret.dat");
    using Answer = DialogPort::ExistsAnswer;
    struct Case {
        Answer answer;
        std::string fileAnswer;  // for Save As
        Bytes kept;
    };
    const Case cases[] = {{Answer::Cancel, "", Bytes{7}},
                          {Answer::SaveAs, dir.File("other.dat"), Bytes{7}},
                          {Answer::Replace, "", secret}};
    for (const Case& c : cases) {
        WriteFileBytes(existing, {7});
        dialog.messages.clear();
        dialog.existsAnswers = {c.answer};
        if (!c.fileAnswer.empty()) dialog.fileAnswers = {c.fileAnswer};
        ASSERT_EQ(DecodeRun(dialog, Method886, dialog.output), 0);
        EXPECT_EQ(dialog.messages, std::vector<std::string>{existing + " exists"});
        EXPECT_EQ(ReadFileBytes(existing), c.kept);
        EXPECT_TRUE(dialog.fileAnswers.empty());
    }
    EXPECT_EQ(ReadFileBytes(dir.File("other.dat")), secret);
    EXPECT_EQ(Listing(dir.path() / "out"), std::vector<std::string>{"secret.dat"});
}

// A folder that refuses the file (a carrier on a read-only medium): the
// port may offer another place; cancelled, nothing is said or written.
TEST_F(RunTest, RefusedFolderOffersAnotherPlace) {
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method886), 0);
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec |
                                    fs::perms::others_exec);
    fs::permissions(dir.path() / "out", fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    fs::create_directory(dir.path() / "free");
    fs::permissions(dir.path() / "free", fs::perms::all);
    fs::permissions(dialog.output, fs::perms::owner_read | fs::perms::others_read);
    const auto check = [&] {
        int failures = 0;
        for (const std::string& chosen : {dir.File("free/secret.dat"), std::string()}) {
            dialog.messages.clear();
            std::string offered;
            dialog.elsewhere = [&](const std::string& path, const std::string& reason,
                                   std::string* answer) {
                offered = path + ": " + reason;
                *answer = chosen;
                return true;
            };
            failures += DecodeRun(dialog, Method886, dialog.output) != 0;
            failures += offered != dir.File("out/secret.dat") + ": Permission denied";
            failures += !dialog.messages.empty();
            failures += fs::exists(dir.File("free/secret.dat")) != !chosen.empty();
            fs::remove(dir.File("free/secret.dat"));
        }
        failures += !Listing(dir.path() / "out").empty();
        return failures;
    };
    // Root writes anywhere: the check runs as a user the folder refuses.
    if (geteuid() == 0) {
        EXPECT_EXIT(
            {
                if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(100);
                std::_Exit(check());
            },
            ::testing::ExitedWithCode(0), "");
    } else {
        EXPECT_EQ(check(), 0);
    }
    fs::permissions(dir.path() / "out", fs::perms::owner_all);
}

// Two decodes into one folder, both past the look for an existing file
// before either writes: one file results, and the other run asks.
TEST_F(RunTest, RacingDecodesNeverBothReplace) {
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);
    struct Racer : FakeDialog {
        std::barrier<>* start = nullptr;
        std::string OutputDirectory() override {  // asked just before the look
            start->arrive_and_wait();
            return FakeDialog::OutputDirectory();
        }
    };
    // The looks fall before either rename in only some rounds.
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        fs::remove(dir.File("out/secret.dat"));
        std::barrier<> start(2);
        Racer racers[2];
        for (Racer& racer : racers) {
            racer.outputDirectory = dir.File("out");
            racer.start = &start;
            racer.yesNoAnswers = {false};
            racer.fileAnswers = {""};
        }
        std::thread other([&] { EXPECT_EQ(DecodeRun(racers[0], Method666, dialog.output), 0); });
        EXPECT_EQ(DecodeRun(racers[1], Method666, dialog.output), 0);
        other.join();
        const int extracted = std::count_if(std::begin(racers), std::end(racers), [](auto& r) {
            return r.status.starts_with("Extracted ");
        });
        EXPECT_EQ(extracted, 1) << "round " << round;
        EXPECT_EQ(racers[0].messages.size() + racers[1].messages.size(), 1u) << "round " << round;
        EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), secret);
    }
}

TEST_F(RunTest, NewFilesTakeTheirModeFromTheUmask) {
    for (const mode_t mask : {022, 077, 002, 0277}) {
        fs::remove(dir.File("c.bmp"));
        fs::remove(dir.File("out/secret.dat"));
        dialog.output = dir.File("c.bmp");
        const mode_t previous = ::umask(mask);
        EXPECT_EQ(EncodeRun(dialog, Method666), 0);
        EXPECT_EQ(DecodeRun(dialog, Method666, dialog.output), 0);
        ::umask(previous);
        for (const std::string& path : {dialog.output, dir.File("out/secret.dat")}) {
            struct stat info {};
            ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
            EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << path << " umask " << mask;
        }
    }
}

TEST_F(RunTest, CapacityReport) {
    const std::string hundred = dir.File("h.bmp");
    const Bytes pixels(100 * 100 * 3, 0);
    ASSERT_TRUE(PixWriteBMP(hundred.c_str(), pixels.data(), 100, 100));
    dialog.base = hundred;
    CapacityReport(dialog);
    EXPECT_EQ(dialog.capacity,
              "Method : Bytes\n7/8    : 1234\n6/8    : 2484\n886    : 2484\n777    : 3734\n"
              "666    : 7484\nsealed : 3588 (well: 213)\n"
              "grey   : 1088 (well: 0)\n"
              "JPEG90 : ~-60 (well: 0)");  // black: no AC coefficient
    EXPECT_EQ(CapacityText(10, 10),
              "Method : Bytes\n7/8    : -4\n6/8    : 9\n886    : 9\n777    : 21\n666    : 59\n"
              "sealed : -125 (well: 0)");
    // The largest size a header can state; 666's figure is above 2^63.
    EXPECT_EQ(CapacityText(UINT32_MAX, UINT32_MAX),
              "Method : Bytes\n7/8    : 2305843008139952112\n6/8    : 4611686016279904240\n"
              "886    : 4611686016279904240\n777    : 6917529024419856368\n"
              "666    : 13835058048839712752\n"
              "sealed : 6917529024419856222 (well: 691752902441985476)");
    EXPECT_EQ(CapacityText(0, 0),
              "Method : Bytes\n7/8    : -16\n6/8    : -16\n886    : -16\n"
              "777    : -16\n666    : -16\nsealed : -162 (well: 0)");
    for (const std::string& path : {std::string(), dir.File("h.gif"), dir.File("none.png")}) {
        dialog.base = path;
        CapacityReport(dialog);
        EXPECT_EQ(dialog.capacity, "The image you have selected is not a valid image file");
    }
}

TEST(WorkingImage, ExtensionRules) {
    EXPECT_EQ(GetExtension("a/b.c/name.JPG  "), ".JPG");
    EXPECT_EQ(GetExtension("noext"), "");
    TempDir dir;
    const std::string path = dir.File("x.bmp");
    const Bytes pixels = MakePhoto(5, 3);
    ASSERT_TRUE(PixWriteBMP(path.c_str(), pixels.data(), 5, 3));
    fs::copy_file(path, dir.File("UPPER.BMP "));
    fs::copy_file(path, dir.File("plain"));
    fs::copy_file(path, dir.File("x.gif"));

    CWorkingImage image;
    EXPECT_EQ(image.Load(dir.File("UPPER.BMP ")), 0);
    EXPECT_EQ(image.width, 5u);
    EXPECT_EQ(image.formatCode, kSaveBmp);
    EXPECT_EQ(image.Load(""), kPixErrOpen);  // keeps what it holds
    EXPECT_TRUE(image.HasImage());
    EXPECT_EQ(image.fileName, dir.File("UPPER.BMP "));
    EXPECT_EQ(image.Load(dir.File("plain")), kPixErrNotImage);
    EXPECT_FALSE(image.HasImage());
    EXPECT_EQ(image.fileName, "");
    EXPECT_EQ(image.Load(dir.File("x.gif")), kPixErrNotImage);
    EXPECT_EQ(image.Save(dir.File("y.bmp"), kSaveBmp), kPixErrParam);
    EXPECT_FALSE(fs::exists(dir.File("y.bmp")));

    uint32_t size[2] = {9, 9};
    EXPECT_EQ(GetImageSizeByExtension("", size), kPixErrOpen);
    EXPECT_EQ(size[0], 9u);
    EXPECT_EQ(GetImageSizeByExtension(dir.File("x.gif"), size), kPixErrOpen);
    EXPECT_EQ(size[0], 0u);
    EXPECT_EQ(GetImageSizeByExtension(dir.File("UPPER.BMP "), size), 0);
    EXPECT_EQ(size[0], 5u);
    EXPECT_EQ(size[1], 3u);

    ASSERT_EQ(image.Load(path), 0);
    EXPECT_EQ(SaveByExtension(dir.File("y.jpg"), image), kPixErrParam);
    EXPECT_FALSE(fs::exists(dir.File("y.jpg")));
    RGBQUAD palette[256] = {};
    EXPECT_EQ(WriteIndexedByExtension(dir.File("y.tiff"), pixels.data(), 5, 3, palette),
              kPixErrParam);
    EXPECT_FALSE(fs::exists(dir.File("y.tiff")));
    EXPECT_EQ(SaveByExtension(dir.File("y.tiff"), image), 0);
    EXPECT_TRUE(fs::exists(dir.File("y.tiff")));

    std::unique_ptr<uint8_t[]> grey(image.MakeGrey(palette));
    ASSERT_NE(grey, nullptr);
    EXPECT_EQ(palette[200].rgbRed, 200);
    EXPECT_EQ(palette[200].rgbGreen, 200);
    EXPECT_EQ(palette[200].rgbBlue, 200);
}

TEST(WorkingImage, EverySaveTypeReadsBack) {
    TempDir dir;
    const Bytes pixels = MakePhoto(9, 7);
    const std::string base = dir.File("base.bmp");
    ASSERT_TRUE(PixWriteBMP(base.c_str(), pixels.data(), 9, 7));
    CWorkingImage image;
    ASSERT_EQ(image.Load(base), 0);
    for (int type = kSaveJpeg; type <= kSaveTiffGrey; ++type) {
        const char* extension = type <= kSaveJpegGrey  ? ".jpg"
                                : type <= kSavePngGrey ? ".png"
                                : type <= kSaveBmpGrey ? ".bmp"
                                : type <= kSavePcxGrey ? ".pcx"
                                                       : ".tif";
        const std::string path = dir.File("t" + std::to_string(type) + extension);
        EXPECT_EQ(image.Save(path, type), 0) << type;
        CWorkingImage back;
        EXPECT_EQ(back.Load(path), 0) << type;
        EXPECT_EQ(back.width, 9u);
        EXPECT_EQ(back.height, 7u);
    }
}

TEST(WorkingImage, FailedSavesReportTheirCode) {
    TempDir dir;
    const Bytes pixels = MakePhoto(9, 7);
    const std::string base = dir.File("base.bmp");
    ASSERT_TRUE(PixWriteBMP(base.c_str(), pixels.data(), 9, 7));
    CWorkingImage image;
    ASSERT_EQ(image.Load(base), 0);
    image.pngTextKeys = {"Title"};
    image.pngTextValues = {"Sky"};

    // The text list is emptied after the write, but not before its code is read.
    for (int type : {kSavePng, kSavePng8, kSavePngGrey}) {
        EXPECT_EQ(image.Save(dir.File("missing/x.png"), type), kPixErrOpen) << type;
        EXPECT_TRUE(PixState().pngTextsWrite.empty()) << type;
    }
    // 8-bit saves whose index buffer cannot be had write nothing and say so.
    for (int type : {kSavePng8, kSavePngGrey, kSaveBmp8, kSavePcxGrey, kSaveTiff8}) {
        const std::string path = dir.File("t" + std::to_string(type) + ".img");
        RefuseArrays refuse(9 * 7);
        EXPECT_EQ(image.Save(path, type), kPixErrMemory) << type;
        EXPECT_TRUE(refuse.refused()) << type;
        EXPECT_FALSE(fs::exists(path)) << type;
    }
}

TEST(WorkingImage, PngTextsTravelFromBaseToOutput) {
    TempDir dir;
    const Bytes pixels = MakePhoto(40, 30);
    const std::string base = dir.File("base.png");
    PixClearPNGText();
    PixAddPNGText("Title", "Sky", 0);
    PixAddPNGText("Author", "Me", 1);
    PixAddPNGText("Comment", "Three", 0);
    ASSERT_TRUE(PixWritePNG(base.c_str(), pixels.data(), 40, 30, 0.0));

    FakeDialog dialog;
    dialog.base = base;
    dialog.data = dir.File("d.txt");
    dialog.output = dir.File("out.png");
    WriteFileBytes(dialog.data, {1, 2, 3});
    ASSERT_EQ(EncodeRun(dialog, Method777), 0);
    CWorkingImage out;
    ASSERT_EQ(out.Load(dialog.output), 0);
    EXPECT_EQ(out.pngTextKeys, (std::vector<std::string>{"Title", "Author", "Comment"}));
    EXPECT_EQ(out.pngTextValues, (std::vector<std::string>{"Sky", "Me", "Three"}));
    // The compressed text was written back as a compressed chunk.
    EXPECT_EQ(out.pngTextCompressed, (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(PixGetPNGTextCount(), 3);
}

TEST_F(RunTest, ReplacedFilesKeepTheirMode) {
    // A decode over a file the user agreed to replace.
    dialog.output = dir.File("c.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);
    const std::string existing = dir.File("out/secret.dat");
    WriteFileBytes(existing, {7});
    fs::permissions(existing, fs::perms::owner_read | fs::perms::owner_write);
    dialog.yesNoAnswers = {true};
    ASSERT_EQ(DecodeRun(dialog, Method666, dialog.output), 0);
    EXPECT_EQ(ReadFileBytes(existing), secret);
    EXPECT_EQ(fs::status(existing).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // An encode's output is the user's own path: a link there still leads
    // to the file it names, which keeps its mode.
    const std::string real = dir.File("real.bmp");
    WriteFileBytes(real, {7});
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    dialog.output = dir.File("link.bmp");
    fs::create_symlink(real, dialog.output);
    dialog.yesNoAnswers = {true};  // replace what the link leads to
    ASSERT_EQ(EncodeRun(dialog, Method666), 0);
    EXPECT_TRUE(fs::is_symlink(dialog.output));
    EXPECT_EQ(DetectMethod(dialog, real), Method666);
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}
