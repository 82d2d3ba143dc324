// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <filesystem>

#include "app/link_open.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "imagelib/common.h"
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
    int stopAtStep = 0;  // asks the run to stop at this progress step
    bool stopWhileWriting = false;
    int steps = 0;
    int waitDepth = 0;
    int waitsBegun = 0;
    DataKind dataKind = DataKind::kFiles;

    void ReadControls() override {
        fields.baseImage = controls.baseImage;
        fields.dataFile = controls.dataFile;
        fields.outputImage = controls.outputImage;
        fields.inputFile = controls.inputFile;
        fields.method = controls.method;
        events.push_back("read");
    }
    void ShowFields() override {
        if (stopWhileWriting && fields.status == "Writing") stopRequested = true;
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
    DataKind AskDataKind() override { return dataKind; }
    void SetProgressPosition(int position) override {
        events.push_back("progress=" + std::to_string(position));
    }
    void StepProgress() override {
        events.push_back("step");
        if (++steps == stopAtStep) stopRequested = true;
    }
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
        fs::create_directory(dir.File("carriers"));
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
        // The last result line goes before the run.
        EXPECT_EQ(ForcedRuns::eventsAtRun,
                  (std::vector<std::string>{"read", "show:", "range 5"}));
        EXPECT_EQ(view.events.back(), c.message ? "message" : "progress=0");
        EXPECT_EQ(view.messages,
                  c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        EXPECT_EQ(view.waitDepth, 0);
    }
}

TEST_F(CommandTest, EncodeThroughTheEngineLeavesAResultLineAndAFullBar) {
    view.controls = {photo, secret, dir.File("out.png"), "", Method666, "before", ""};
    EncodeCommand(view);
    EXPECT_TRUE(view.messages.empty()) << view.messages.front();
    EXPECT_TRUE(fs::exists(dir.File("out.png")));
    EXPECT_EQ(view.controls.status,
              "Hid secret.txt (6 bytes, method 666) in out.png\nFolder: " + dir.path().string());
    EXPECT_EQ(view.events.back(), "show:" + view.controls.status);
    EXPECT_EQ(view.events[view.events.size() - 2], "progress=5");
    EXPECT_EQ(view.waitDepth, 0);
}

TEST_F(CommandTest, EncodeRefusesAnOutputFormatTheMethodCannotWriteBeforeTheRun) {
    for (const char* name : {"out.jpg", "out", "out.gif"}) {
        SCOPED_TRACE(name);
        FakeView view;
        view.controls = {photo, secret, dir.File(name), "", Method666, "", ""};
        EncodeCommand(view);
        EXPECT_EQ(view.messages, std::vector<std::string>{OutputRefusal(Method666, name)});
        EXPECT_FALSE(view.Saw("range 5"));  // nothing read
        EXPECT_FALSE(fs::exists(dir.File(name)));
    }
}

struct Refusal {
    int method;
    const char* output;
    bool refused;
};
TEST(OutputRefusal, NamesTheFormatsTheMethodWrites) {
    const Refusal cases[] = {
        {Method666, "a.PNG", false},  {Method666, "a.tiff ", false}, {Method777, "a.pcx", false},
        {Method666, "a.jpg", true},   {Method886, "a", true},        {Method886, "dir.v2/a", true},
        {Method78, "a.bmp", false},   {Method68, "a.tif", false},    {Method68, "a.tiff", true},
        {Method78, "a.jpeg", true},   {MethodSealed, "a.jpg", false}, {MethodSealed, "a.JPEG", false},
        {MethodSealed, "a.gif", true},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.output);
        EXPECT_EQ(!OutputRefusal(c.method, c.output).empty(), c.refused);
    }
    EXPECT_EQ(OutputRefusal(Method68, "a.jpg"),
              "The 6/8 method writes BMP, PCX, PNG and TIFF images.\nGive the output image a "
              "name ending in .bmp, .pcx, .png or .tif.");
}

TEST_F(CommandTest, DecodeWithoutAnInputFileAsksForOne) {
    DecodeCommand(view, ForcedRuns::kTable);
    EXPECT_EQ(view.messages, std::vector<std::string>{kNoInputFileText});
    EXPECT_FALSE(view.Saw("range 5"));
    EXPECT_EQ(ForcedRuns::path, "");  // no probe ran
    EXPECT_EQ(view.waitsBegun, 0);
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

TEST_F(CommandTest, DecodeExtractsNextToTheImageAndSaysWhere) {
    const std::string carrier = dir.File("carriers/carrier.bmp");
    view.controls = {photo, secret, carrier, "", Method68, "", ""};
    EncodeCommand(view);
    ASSERT_TRUE(view.messages.empty()) << view.messages.front();

    view.events.clear();
    view.controls.inputFile = carrier;
    view.controls.method = Method666;  // plays no part in a decode
    DecodeCommand(view);
    EXPECT_TRUE(view.messages.empty()) << view.messages.front();
    const std::string extracted = dir.File("carriers/secret.txt");
    EXPECT_EQ(ReadFileBytes(extracted), ReadFileBytes(secret));
    const int shown = view.Find("show:Extracted " + extracted);
    ASSERT_GE(shown, 0);
    EXPECT_GT(view.Find("pause 500", shown), shown);
    EXPECT_EQ(view.controls.status,
              "Extracted secret.txt (6 bytes, method 6/8)\nFolder: " + dir.File("carriers"));
    EXPECT_TRUE(view.Saw("progress=5"));
}

TEST_F(CommandTest, DecodeOverAnExistingFileAsksThenOffersTheSaveDialogThere) {
    const std::string carrier = dir.File("carriers/carrier.png");
    view.controls = {photo, secret, carrier, "", Method886, "", ""};
    EncodeCommand(view);
    ASSERT_TRUE(view.messages.empty());
    const std::string existing = dir.File("carriers/secret.txt");
    WriteFileBytes(existing, Bytes{'o', 'l', 'd'});

    view.controls.inputFile = carrier;
    view.yesNoAnswers = {false};  // No, then cancel the save dialog
    DecodeCommand(view);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{existing + " exists\nOverwrite?\nNo to Rename"});
    ASSERT_EQ(view.choices.size(), 1u);
    EXPECT_TRUE(view.choices[0].save);
    EXPECT_EQ(view.choices[0].title, "Output file");
    EXPECT_EQ(view.choices[0].filter, "All Files (*.*)|*");
    EXPECT_EQ(view.choices[0].directory, dir.File("carriers"));
    EXPECT_EQ(view.choices[0].name, "secret.txt");
    // The save dialog's owner reads its controls before it opens.
    EXPECT_EQ(view.events[view.Find("choose Output file") - 1], "read");
    EXPECT_EQ(ReadFileBytes(existing), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(view.controls.status, "");
}

TEST_F(CommandTest, ADecodeThatCannotWriteNamesThePathAndWhy) {
    const std::string carrier = dir.File("carriers/carrier.bmp");
    view.controls = {photo, secret, carrier, "", Method777, "", ""};
    EncodeCommand(view);
    ASSERT_TRUE(view.messages.empty());
    // A folder where the file would go: no file can replace it, even for root.
    const std::string blocked = dir.File("carriers/secret.txt");
    fs::create_directory(blocked);

    view.controls.inputFile = carrier;
    view.yesNoAnswers = {true};
    DecodeCommand(view);
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[1], ErrorText(kPixErrOpen) + " " + blocked + ": Is a directory");
    EXPECT_TRUE(fs::is_directory(blocked));
    EXPECT_EQ(view.controls.status, "");
}

// Stopping at each stage of a real encode, the last while the writer works:
// no output appears, an existing one is left as it was, nothing temporary
// stays behind and nothing is said.
TEST_F(CommandTest, AStoppedEncodeLeavesEveryFileAsItWas) {
    const std::string output = dir.File("carriers/out.png");
    for (int step = 1; step <= 5; ++step) {
        for (bool existed : {false, true}) {
            SCOPED_TRACE(std::to_string(step) + (existed ? " over a file" : ""));
            fs::remove(output);
            if (existed) WriteFileBytes(output, Bytes{'o', 'l', 'd'});
            FakeView view;
            view.controls = {photo, secret, output, "", step == 4 ? Method68 : Method666, "", ""};
            view.stopAtStep = step;
            view.stopWhileWriting = step == 5;
            view.yesNoAnswers = {true};  // replace the existing output
            EncodeCommand(view);
            EXPECT_EQ(view.messages.size(), existed ? 1u : 0u);
            EXPECT_EQ(fs::exists(output), existed);
            if (existed) {
                EXPECT_EQ(ReadFileBytes(output), (Bytes{'o', 'l', 'd'}));
            }
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("carriers")),
                                    fs::directory_iterator()),
                      existed ? 1 : 0);
            ASSERT_GE(view.events.size(), 2u);
            EXPECT_EQ(view.events.end()[-2], "progress=0");
            EXPECT_EQ(view.events.back(), std::string("show:") + kStoppedText);
            EXPECT_EQ(view.waitDepth, 0);
        }
    }
}

// A result line wider than the status breaks after a slash or space, else
// between characters (never inside one), and keeps its own breaks.
TEST(WrapForWidth, BreaksWhereAPathCanBreak) {
    const auto length = [](const std::string& line) { return static_cast<int>(line.size()); };
    struct Case {
        const char* text;
        int width;
        const char* wrapped;
    };
    const Case cases[] = {
        {"short", 10, "short"},
        {"Folder: photos/ann/pictures", 15, "Folder: photos/\nann/pictures"},
        {"abcdefghij", 4, "abcd\nefgh\nij"},
        {"line one\nFolder: /a/b/c", 11, "line one\nFolder: /a/\nb/c"},
        {"\xC3\xA9\xC3\xA9\xC3\xA9", 3, "\xC3\xA9\n\xC3\xA9\n\xC3\xA9"},
        {"", 5, ""},
        {"wide", 0, "wide"},  // nothing fits: left as it is
    };
    for (const Case& c : cases) EXPECT_EQ(WrapForWidth(c.text, c.width, length), c.wrapped) << c.text;
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
     "Image Files (jpg,bmp,pcx,png,tif)"},
    {"Input666", BrowseTarget::InputFile, Method666, "886, 777 or 666 input file", false,
     "Image Files (jpg,bmp,pcx,png,tif)"},
};
class Browse : public ::testing::TestWithParam<BrowseCase> {};
TEST_P(Browse, OpensTheDialogForTheMethodReadAtThatMoment) {
    FakeView view;
    view.controls.method = GetParam().method;  // chosen in the list, not yet read
    view.fileAnswers = {"/pictures/picked.bmp"};
    view.folders[static_cast<int>(GetParam().target)] = "/remembered";
    BrowseCommand(view, GetParam().target);
    ASSERT_EQ(view.choices.size(), 1u);
    const FileChoice& choice = view.choices[0];
    EXPECT_EQ(choice.directory, "/remembered");  // the field is empty
    EXPECT_EQ(view.folders[static_cast<int>(GetParam().target)], "/pictures");
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

TEST(BrowseFilters, MatchExtensionsInAnyCase) {
    const FileChoice output = BrowseChoice(BrowseTarget::OutputImage, Method78);
    EXPECT_EQ(output.filter,
              "Image Files (bmp,pcx)|*.[Bb][Mm][Pp];*.[Pp][Cc][Xx]|BMP Files (*.BMP)|*.[Bb][Mm][Pp]|"
              "PCX Files (*.PCX)|*.[Pp][Cc][Xx]|All files (*.*)|*");
    for (BrowseTarget target : {BrowseTarget::BaseImage, BrowseTarget::DataFile,
                                BrowseTarget::OutputImage, BrowseTarget::InputFile}) {
        for (int method = 0; method < kMethodCount; ++method) {
            const FileChoice choice = BrowseChoice(target, method);
            SCOPED_TRACE(choice.filter);
            const int last = static_cast<int>(choice.extensions.size()) - 1;
            ASSERT_GE(last, 0);
            // The last entry lists everything, names without a dot too.
            for (const char* name : {"README", "notes.txt", "x.JPG"})
                EXPECT_TRUE(WildcardMatches(choice.filter, last, name)) << name;
            for (int entry = 0; entry < last; ++entry)
                for (const char* ext : {"bmp", "pcx", "png", "tif", "jpg"}) {
                    const bool lower = WildcardMatches(choice.filter, entry, std::string("a.") + ext);
                    std::string mixed = std::string("Holiday.") + ext;
                    mixed[8] = static_cast<char>(std::toupper(mixed[8]));
                    std::string upper = mixed;
                    for (char& c : upper) c = static_cast<char>(std::toupper(c));
                    EXPECT_EQ(WildcardMatches(choice.filter, entry, mixed), lower) << mixed;
                    EXPECT_EQ(WildcardMatches(choice.filter, entry, upper), lower) << upper;
                }
        }
    }
    // Only sealed offers JPEG outputs.
    for (int method = 0; method < kMethodListCount; ++method)
        EXPECT_EQ(WildcardMatches(BrowseChoice(BrowseTarget::OutputImage, method).filter, 0, "o.jpg"),
                  method == MethodSealed)
            << method;
    // Whatever the list shows, the decode browser lists every carrier.
    for (int method : {Method78, Method666})
        for (const char* name : {"c.png", "c.BMP", "c.Pcx", "c.tif", "c.TIFF", "c.jpg"})
            EXPECT_TRUE(WildcardMatches(BrowseChoice(BrowseTarget::InputFile, method).filter, 0,
                                        name))
                << name;
}

struct NamedSave {
    const char* typed;
    int filter;
    const char* saved;
};
TEST(SaveDialog, AddsTheChosenFiltersExtensionToANameWithoutOne) {
    const FileChoice choice = BrowseChoice(BrowseTarget::OutputImage, Method666);
    const NamedSave cases[] = {
        {"/p/stego", 0, "/p/stego.bmp"},       {"/p/stego", 2, "/p/stego.pcx"},
        {"/p/stego", 3, "/p/stego.png"},       {"/p/stego", 4, "/p/stego.tif"},
        {"/p/stego", 5, "/p/stego"},           {"/p/stego.PNG", 1, "/p/stego.PNG"},
        {"/p/stego.jpg", 1, "/p/stego.jpg"},   {"/p.d/stego", 1, "/p.d/stego.bmp"},
        {"/p/.hidden", 1, "/p/.hidden.bmp"},   {"/p/stego", 9, "/p/stego"},
    };
    for (const NamedSave& c : cases)
        EXPECT_EQ(WithFilterExtension(c.typed, choice, c.filter), c.saved)
            << c.typed << " with filter " << c.filter;
}

TEST_F(CommandTest, FileDialogsOpenAtTheFieldsFolder) {
    EXPECT_EQ(StartFolder(photo, "/elsewhere"), fs::path(photo).parent_path().string());
    EXPECT_EQ(StartFolder(dir.File("gone/photo.bmp"), "/elsewhere"), "/elsewhere");
    EXPECT_EQ(StartFolder("", "/elsewhere"), "/elsewhere");

    view.controls.dataFile = secret;
    BrowseCommand(view, BrowseTarget::DataFile);
    ASSERT_EQ(view.choices.size(), 1u);
    EXPECT_EQ(view.choices[0].directory, fs::path(secret).parent_path().string());
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
    const std::string report = CapacityText(kWidth, kHeight) + "\n" + JpegCapacityRow(photo, 90);
    EXPECT_EQ(view.controls.capacity, report);

    // Typing: every change is reported, a partial path as not an image.
    for (const std::string& typed : {photo.substr(0, photo.size() - 1), photo}) {
        view.controls.baseImage = typed;
        BaseImageEdited(view);
        EXPECT_EQ(view.controls.capacity,
                  typed == photo ? report : kNotAnImageText);
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

// The desktop's opener is run and its exit status counts: xdg-open exits 3
// when no browser is there.
TEST(OpenError, AFailingOpenerIsReportedNotTakenForSuccess) {
    TempDir bin;
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    const struct {
        const char* script;  // null: no xdg-open on PATH
        int code;
    } cases[] = {{"exit 3", kNoAssociation}, {"exit 0", kAddressOpened}, {"exit 2", 2},
                 {nullptr, kNoAssociation}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script ? c.script : "missing");
        const std::string opener = bin.File("xdg-open");
        fs::remove(opener);
        if (c.script != nullptr) {
            const std::string text = std::string("#!/bin/sh\n") + c.script + "\n";
            WriteFileBytes(opener, Bytes(text.begin(), text.end()));
            fs::permissions(opener, fs::perms::owner_all);
        }
        setenv("PATH", bin.File("").c_str(), 1);
        const int code = OpenWithDesktop("https://ombrel.example/");
        setenv("PATH", saved.c_str(), 1);
        EXPECT_EQ(code, c.code);
    }
    EXPECT_EQ(OpenErrorMessage(OpenResultForExit(3)),
              "Unable to open hyperlink:\n\nThere is no application associated\nwith the given "
              "filename extension.");
}

TEST_F(CommandTest, SeveralDataFilesAreSummedUpAndTakeTheSealedMethod) {
    const std::string other = dir.File("other.txt");
    WriteFileBytes(other, Bytes(1500, 'x'));
    view.controls.baseImage = photo;

    // Several, as a pick or a drop gives them: summed up in the field, and
    // their bytes in the capacity report's last row.
    SetDataFiles(view, {secret, other});
    EXPECT_EQ(view.controls.dataFile, "2 files, 1.5 kB");
    EXPECT_EQ(view.DataFilePaths(), (std::vector<std::string>{secret, other}));
    // The method rows first (a JPEG estimate may follow them), the data last.
    EXPECT_TRUE(view.controls.capacity.starts_with(CapacityText(kWidth, kHeight) + "\n") &&
                view.controls.capacity.ends_with("\n" + std::string(kDataRowText) + "1506"))
        << view.controls.capacity;
    // The browser opens where they are, not where the summary's text would.
    view.controls.method = MethodSealed;
    BrowseCommand(view, BrowseTarget::DataFile);
    ASSERT_EQ(view.choices.size(), 1u);
    EXPECT_EQ(view.choices[0].directory, dir.path().string());

    view.controls.outputImage = dir.File("carriers/c.bmp");
    view.controls.method = Method78;
    EncodeCommand(view, ForcedRuns::kTable);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0], std::string("The 7/8") + kOneFileText);
    EXPECT_EQ(ForcedRuns::method, -1);

    // Typed over, the field is one path again.
    view.controls.dataFile = other;
    DataFileEdited(view);
    EXPECT_EQ(view.DataFilePaths(), (std::vector<std::string>{other}));
    // The method rows first (a JPEG estimate may follow them), the data last.
    EXPECT_TRUE(view.controls.capacity.starts_with(CapacityText(kWidth, kHeight) + "\n") &&
                view.controls.capacity.ends_with("\n" + std::string(kDataRowText) + "1500"))
        << view.controls.capacity;

    // One that cannot be hidden is said at once, and the field kept.
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    SetDataFiles(view, {secret, pipe});
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_NE(view.messages[1].find("is not a file or a folder"), std::string::npos);
    EXPECT_EQ(view.controls.dataFile, other);
}

TEST_F(CommandTest, SealedDataBrowserOffersSeveralFilesOrAFolder) {
    struct Case {
        int method;
        DataKind kind;
        std::string answer;
        bool multiple, folder;
    };
    for (const Case& c : {Case{Method78, DataKind::kFolder, secret, false, false},
                          Case{MethodSealed, DataKind::kFiles, secret, true, false},
                          Case{MethodSealed, DataKind::kFolder, dir.File("carriers"), false, true}}) {
        SCOPED_TRACE(c.answer);
        view.choices.clear();
        view.controls.method = c.method;
        view.dataKind = c.kind;
        view.fileAnswers = {c.answer};
        BrowseCommand(view, BrowseTarget::DataFile);
        ASSERT_EQ(view.choices.size(), 1u);
        EXPECT_EQ(view.choices[0].multiple, c.multiple);
        EXPECT_EQ(view.choices[0].folder, c.folder);
        EXPECT_EQ(view.controls.dataFile, c.answer);
    }
    view.dataKind = DataKind::kNone;  // the menu dismissed
    view.choices.clear();
    BrowseCommand(view, BrowseTarget::DataFile);
    EXPECT_TRUE(view.choices.empty());
}

TEST_F(CommandTest, ManyExistingFilesAreOneQuestion) {
    for (const bool yes : {true, false}) {
        view.messages.clear();
        view.yesNoAnswers = {yes};
        EXPECT_EQ(view.ReplaceAll({"/out/a\n.txt", "/out/b.txt", "/out/c.txt"}), yes ? 1 : 0);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0], std::string("3 files like /out/a\\n.txt") + kReplaceAllText);
    }
}
