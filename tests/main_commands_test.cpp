#include "app/main_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>

#include "app/link_open.h"
#include "hiding/runs.h"
#include "imagelib/pix.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// A main dialog without a window: `controls` is what the user typed or
// picked, and everything the commands do to the dialog lands in `events`.
class FakeView : public MainView {
  public:
    MainFields controls;
    std::vector<std::string> events;
    std::vector<std::string> messages;
    std::vector<FileChoice> choices;
    std::deque<std::string> fileAnswers;
    std::deque<bool> yesNoAnswers;
    std::string outputDirectory;
    int waitDepth = 0;
    int waitsBegun = 0;

    void ReadControls() override {
        fields.baseImage = controls.baseImage;
        fields.dataFile = controls.dataFile;
        fields.outputImage = controls.outputImage;
        fields.inputFile = controls.inputFile;
        fields.method = controls.method;
        events.push_back("read");
    }
    void ShowFields() override {
        controls = fields;
        events.push_back("show:" + fields.status);
    }
    void SetProgressRange(int maximum) override {
        events.push_back("range " + std::to_string(maximum));
    }
    std::string ChooseFile(const FileChoice& choice) override {
        choices.push_back(choice);
        events.push_back("choose " + choice.title);
        if (fileAnswers.empty()) return {};
        std::string answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    void SetProgressPosition(int position) override {
        events.push_back("progress=" + std::to_string(position));
    }
    void StepProgress() override { events.push_back("step"); }
    void ShowMessage(const std::string& text) override {
        messages.push_back(text);
        events.push_back("message");
    }
    bool AskYesNo(const std::string& text) override {
        messages.push_back(text);
        const bool answer = yesNoAnswers.front();
        yesNoAnswers.pop_front();
        return answer;
    }
    void BeginWaitCursor() override {
        ++waitDepth;
        ++waitsBegun;
    }
    void EndWaitCursor() override { --waitDepth; }
    void Pause(unsigned milliseconds) override {
        events.push_back("pause " + std::to_string(milliseconds));
    }
    std::string OutputDirectory() override { return outputDirectory; }

    bool Saw(const std::string& event) const {
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    // Index of the first `event` at or after `from`, or -1.
    int Find(const std::string& event, int from = 0) const {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i] == event) return static_cast<int>(i);
        return -1;
    }
};

// Runs that return a chosen code and record how they were called.
struct ForcedRuns {
    static inline int encodeResult = 0, detectResult = -1, decodeResult = 0;
    static inline int method = -1, waitDepthInRun = -1;
    static inline std::string path;
    static inline std::vector<std::string> eventsAtRun;

    static int Encode(DialogPort& port, HidingMethod m) {
        method = m;
        waitDepthInRun = static_cast<FakeView&>(port).waitDepth;
        eventsAtRun = static_cast<FakeView&>(port).events;
        return encodeResult;
    }
    static int Detect(DialogPort&, const std::string& p) {
        path = p;
        return detectResult;
    }
    static int Decode(DialogPort&, HidingMethod m, const std::string& p) {
        method = m;
        path = p;
        return decodeResult;
    }
    static constexpr RunTable kTable = {Encode, Detect, Decode};
};

class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ForcedRuns::encodeResult = ForcedRuns::decodeResult = 0;
        ForcedRuns::detectResult = -1;
        ForcedRuns::method = ForcedRuns::waitDepthInRun = -1;
        ForcedRuns::path.clear();
        view.outputDirectory = dir.File("out");
        fs::create_directory(view.outputDirectory);
        photo = dir.File("photo.bmp");
        const Bytes rgb = MakePhoto(kWidth, kHeight);
        ASSERT_TRUE(PixWriteBMP(photo.c_str(), rgb.data(), kWidth, kHeight));
        secret = dir.File("secret.txt");
        WriteFileBytes(secret, Bytes{'h', 'i', 'd', 'd', 'e', 'n'});
    }

    static constexpr uint32_t kWidth = 40, kHeight = 30;
    TempDir dir;
    FakeView view;
    std::string photo, secret;
};

}  // namespace

struct MissingPath {
    const char* name;
    const char* base;
    const char* data;
    const char* output;
    const char* const* message;
};
void PrintTo(const MissingPath& c, std::ostream* os) {
    *os << c.name;
}
const MissingPath kMissingPaths[] = {
    {"AllEmpty", "", "", "", &kNoSourceImageText},
    {"OnlyBaseMissing", "", "d.txt", "o.bmp", &kNoSourceImageText},
    {"DataAndOutputMissing", "b.bmp", "", "", &kNoDataFileText},
    {"OnlyDataMissing", "b.bmp", "", "o.bmp", &kNoDataFileText},
    {"OnlyOutputMissing", "b.bmp", "d.txt", "", &kNoDestinationText},
};
class EncodeRefuses : public ::testing::TestWithParam<MissingPath> {};
TEST_P(EncodeRefuses, WithTheFirstMissingPath) {
    FakeView view;
    view.controls.baseImage = GetParam().base;
    view.controls.dataFile = GetParam().data;
    view.controls.outputImage = GetParam().output;
    EncodeCommand(view, ForcedRuns::kTable);
    EXPECT_EQ(view.messages, std::vector<std::string>{*GetParam().message});
    EXPECT_EQ(view.events, (std::vector<std::string>{"read", "message"}));
    EXPECT_EQ(view.waitsBegun, 0);
}
INSTANTIATE_TEST_SUITE_P(Paths, EncodeRefuses, ::testing::ValuesIn(kMissingPaths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, EncodeRunsTheChosenMethodAndShowsItsCodeAsText) {
    const struct {
        int code;
        const char* message;  // null: none
    } cases[] = {{0, nullptr},      {8, "Error #8"},   {60, "Not a valid image file"},
                 {29, "Error #29"}, {-3, "Error #-3"}, {5, "Invalid parameter"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        FakeView view;
        view.controls = {"b.bmp", "d.txt", "o.bmp", "", Method777, "", ""};
        ForcedRuns::encodeResult = c.code;
        EncodeCommand(view, ForcedRuns::kTable);
        EXPECT_EQ(ForcedRuns::method, Method777);
        EXPECT_EQ(ForcedRuns::waitDepthInRun, 1);
        EXPECT_EQ(ForcedRuns::eventsAtRun, (std::vector<std::string>{"read", "range 5"}));
        EXPECT_EQ(view.events.back(), c.message ? "message" : "progress=0");
        EXPECT_EQ(view.messages,
                  c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        EXPECT_EQ(view.waitDepth, 0);
    }
}

TEST_F(CommandTest, EncodeThroughTheEngine) {
    view.controls = {photo, secret, dir.File("out.png"), "", Method666, "before", ""};
    EncodeCommand(view);
    EXPECT_TRUE(view.messages.empty()) << view.messages.front();
    EXPECT_TRUE(fs::exists(dir.File("out.png")));
    EXPECT_EQ(view.fields.status, "");  // a successful run empties it
    EXPECT_EQ(view.events.back(), "progress=0");

    // A 24-bit method cannot write JPEG: the run's code comes back as text.
    view.controls.outputImage = dir.File("out.jpg");
    EncodeCommand(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Invalid parameter"});
    EXPECT_FALSE(fs::exists(dir.File("out.jpg")));
    EXPECT_EQ(view.waitDepth, 0);
}

TEST_F(CommandTest, DecodeWithoutAnInputFileAsksForOne) {
    DecodeCommand(view, ForcedRuns::kTable);
    EXPECT_EQ(view.messages, std::vector<std::string>{kNoInputFileText});
    EXPECT_FALSE(view.Saw("range 5"));
    EXPECT_EQ(ForcedRuns::path, "");  // no probe ran
    EXPECT_EQ(view.waitsBegun, 1);
    EXPECT_EQ(view.waitDepth, 0);
}

TEST_F(CommandTest, DecodeOfAPlainImageSaysSoOnce) {
    view.controls.inputFile = photo;
    view.controls.status = "left over";
    DecodeCommand(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{kNotEncodedText});
    const int message = view.Find("message");
    ASSERT_GE(message, 0);
    EXPECT_EQ(view.Find("pause 500", message), message + 1);
    EXPECT_EQ(view.Find("progress=0", message), message + 2);
    EXPECT_EQ(view.events.back(), "show:");
    EXPECT_EQ(view.controls.status, "");
    EXPECT_EQ(view.waitDepth, 0);
}

TEST_F(CommandTest, DecodeUsesTheDetectedMethodNotTheList) {
    view.controls.inputFile = "carrier.png";
    view.controls.method = Method78;
    ForcedRuns::detectResult = Method886;
    ForcedRuns::decodeResult = 8;
    DecodeCommand(view, ForcedRuns::kTable);
    EXPECT_EQ(ForcedRuns::method, Method886);
    EXPECT_EQ(ForcedRuns::path, "carrier.png");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Error #8"});
    // The pause and the reset come before the message; the status is emptied last.
    const int pause = view.Find("pause 500");
    EXPECT_TRUE(pause >= 0 && view.events[pause + 1] == "progress=0" &&
                view.events[pause + 2] == "message");
    EXPECT_EQ(view.events.back(), "show:");
}

TEST_F(CommandTest, EncodeThenDecodeExtractsTheFile) {
    view.controls = {photo, secret, dir.File("carrier.bmp"), "", Method68, "", ""};
    EncodeCommand(view);
    ASSERT_TRUE(view.messages.empty()) << view.messages.front();

    view.events.clear();
    view.controls.inputFile = dir.File("carrier.bmp");
    view.controls.method = Method666;  // plays no part in a decode
    DecodeCommand(view);
    EXPECT_TRUE(view.messages.empty()) << view.messages.front();
    const std::string extracted = view.outputDirectory + "/secret.txt";
    EXPECT_EQ(ReadFileBytes(extracted), ReadFileBytes(secret));
    const int shown = view.Find("show:Extracted " + extracted);
    ASSERT_GE(shown, 0);
    EXPECT_GT(view.Find("pause 500", shown), shown);
    EXPECT_EQ(view.controls.status, "");
}

TEST_F(CommandTest, DecodeOverAnExistingFileAsksThenOffersTheSaveDialog) {
    view.controls = {photo, secret, dir.File("carrier.png"), "", Method886, "", ""};
    EncodeCommand(view);
    ASSERT_TRUE(view.messages.empty());
    const std::string existing = view.outputDirectory + "/secret.txt";
    WriteFileBytes(existing, Bytes{'o', 'l', 'd'});

    view.controls.inputFile = dir.File("carrier.png");
    view.yesNoAnswers = {false};  // No, then cancel the save dialog
    DecodeCommand(view);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{existing + " exists\nOverwrite?\nNo to Rename"});
    ASSERT_EQ(view.choices.size(), 1u);
    EXPECT_TRUE(view.choices[0].save);
    EXPECT_EQ(view.choices[0].title, "Output file");
    EXPECT_EQ(view.choices[0].filter, "All Files (*.*)|*");
    // The save dialog's owner reads its controls before it opens.
    EXPECT_EQ(view.events[view.Find("choose Output file") - 1], "read");
    EXPECT_EQ(ReadFileBytes(existing), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(view.controls.status, "");
}

struct BrowseCase {
    const char* name;
    BrowseTarget target;
    int method;
    const char* title;
    bool save;
    const char* firstLabel;
};
void PrintTo(const BrowseCase& c, std::ostream* os) {
    *os << c.name;
}
const BrowseCase kBrowseCases[] = {
    {"BaseImage", BrowseTarget::BaseImage, Method886, "Base image", false,
     "Image Files (jpg,bmp,pcx,png,tiff)"},
    {"DataFile", BrowseTarget::DataFile, Method78, "Data file", false, "All Files (*.*)"},
    {"Output78", BrowseTarget::OutputImage, Method78, "Output image", true,
     "Image Files (bmp,pcx)"},
    {"Output68", BrowseTarget::OutputImage, Method68, "Output image", true,
     "Image Files (bmp,pcx)"},
    {"Output886", BrowseTarget::OutputImage, Method886, "Output image", true,
     "Image Files (bmp,pcx,png,tif)"},
    {"Input68", BrowseTarget::InputFile, Method68, "7/8 or 6/8 input file", false,
     "Image Files (bmp,pcx)"},
    {"Input666", BrowseTarget::InputFile, Method666, "886, 777 or 666 input file", false,
     "Image Files (bmp,pcx,png,tif)"},
};
class Browse : public ::testing::TestWithParam<BrowseCase> {};
TEST_P(Browse, OpensTheDialogForTheMethodReadAtThatMoment) {
    FakeView view;
    view.controls.method = GetParam().method;  // chosen in the list, not yet read
    view.fileAnswers = {"/pictures/picked.bmp"};
    BrowseCommand(view, GetParam().target);
    ASSERT_EQ(view.choices.size(), 1u);
    const FileChoice& choice = view.choices[0];
    EXPECT_EQ(choice.title, GetParam().title);
    EXPECT_EQ(choice.save, GetParam().save);
    EXPECT_EQ(choice.filter.substr(0, choice.filter.find('|')), GetParam().firstLabel);
    EXPECT_EQ(view.events[0], "read");

    const MainFields& f = view.controls;
    const std::string stored[] = {f.baseImage, f.dataFile, f.outputImage, f.inputFile};
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(stored[t],
                  t == static_cast<int>(GetParam().target) ? "/pictures/picked.bmp" : "");
}
INSTANTIATE_TEST_SUITE_P(Buttons, Browse, ::testing::ValuesIn(kBrowseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BrowseFilters, AreWellFormedAndMatchEitherCase) {
    EXPECT_EQ(BrowseChoice(BrowseTarget::OutputImage, Method78).filter,
              "Image Files (bmp,pcx)|*.BMP;*.bmp;*.PCX;*.pcx|BMP Files (*.BMP)|*.BMP;*.bmp|"
              "PCX Files (*.PCX)|*.PCX;*.pcx|All files (*.*)|*");
    for (BrowseTarget target : {BrowseTarget::BaseImage, BrowseTarget::DataFile,
                                BrowseTarget::OutputImage, BrowseTarget::InputFile}) {
        for (int method = 0; method < kMethodCount; ++method) {
            const std::string filter = BrowseChoice(target, method).filter;
            SCOPED_TRACE(filter);
            std::vector<std::string> parts;
            for (size_t start = 0;;) {
                const size_t bar = filter.find('|', start);
                parts.push_back(filter.substr(start, bar - start));
                if (bar == std::string::npos) break;
                start = bar + 1;
            }
            ASSERT_EQ(parts.size() % 2, 0u);
            EXPECT_EQ(parts[parts.size() - 1], "*");  // everything, dotted or not
            for (size_t i = 1; i < parts.size(); i += 2) {
                const std::string patterns = ";" + parts[i] + ";";
                EXPECT_EQ(patterns.find(";;"), std::string::npos);
                for (const char* ext : {"BMP", "PCX", "PNG", "TIF", "JPG"}) {
                    const std::string upper = std::string(";*.") + ext + ";";
                    std::string lower = upper;
                    for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
                    EXPECT_EQ(patterns.find(upper) != std::string::npos,
                              patterns.find(lower) != std::string::npos)
                        << ext;
                }
            }
        }
    }
}

TEST_F(CommandTest, CancellingABrowseChangesNothing) {
    view.controls.outputImage = "kept.bmp";
    BrowseCommand(view, BrowseTarget::OutputImage);
    EXPECT_EQ(view.events, (std::vector<std::string>{"read", "choose Output image"}));
    EXPECT_EQ(view.controls.outputImage, "kept.bmp");
}

TEST_F(CommandTest, CapacityFollowsTheBaseImagePath) {
    view.fileAnswers = {photo};
    BrowseCommand(view, BrowseTarget::BaseImage);
    EXPECT_EQ(view.controls.capacity, CapacityText(kWidth, kHeight));

    // Typing: every change is reported, a partial path as not an image.
    for (const std::string& typed : {photo.substr(0, photo.size() - 1), photo}) {
        view.controls.baseImage = typed;
        BaseImageEdited(view);
        EXPECT_EQ(view.controls.capacity,
                  typed == photo ? CapacityText(kWidth, kHeight) : kNotAnImageText);
    }
    view.controls.baseImage = "";
    BaseImageEdited(view);
    EXPECT_EQ(view.controls.capacity, kNotAnImageText);
}

TEST(OpenError, NamesTheShellsCode) {
    const struct {
        int code;
        const char* reason;
    } cases[] = {
        {0, "The operating system is out\nof memory or resources."},
        {26, "A sharing violation occurred. "},
        {31, "There is no application associated\nwith the given filename extension."},
        {32, "The specified dynamic-link library was not found."},
        {4, "Unknown Error (4) occurred."},
        {-7, "Unknown Error (-7) occurred."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OpenErrorMessage(c.code),
                  std::string("Unable to open hyperlink:\n\n") + c.reason);
    EXPECT_FALSE(AddressOpened(kNoAssociation));
    EXPECT_TRUE(AddressOpened(kAddressOpened));
}
