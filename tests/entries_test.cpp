// SPDX-License-Identifier: GPL-3.0-or-later
// Several files and folders in one sealed image: the round trips, the
// records a peer who knows the passphrase could forge, and where a decode
// may and may not write.
#include "hiding/entries.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include "hiding/payload.h"
#include "hiding/sealed_run.h"
#include "imagelib/common.h"
#include "imagelib/pix.h"
#include "tests/test_util.h"
#include "working/working_image.h"

namespace fs = std::filesystem;

namespace {

// Every entry under `root`: "path/" for a folder, else its bytes.
std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string path = fs::relative(item.path(), root).string();
        if (item.is_directory()) {
            tree[path + "/"] = "";
        } else {
            const Bytes bytes = ReadFileBytes(item.path().string());
            tree[path] = std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}

// Keeps what a run shows; its answers are set by each test.
class EntriesDialog : public DialogPort {
  public:
    std::string base, output, directory;
    std::vector<std::string> data;
    std::vector<std::string> messages, questions, written;
    std::string status;
    bool yes = true;
    bool ownFolder = false;
    int stopAfter = -1;  // StopRequested calls answered No before the Yes
    int replaceAll = -1;
    std::vector<std::string> replaceAllAsked;
    std::function<void()> onQuestion = [] {};

    std::string BaseImagePath() override { return base; }
    std::string DataFilePath() override { return data.empty() ? "" : data[0]; }
    std::vector<std::string> DataFilePaths() override { return data; }
    std::string OutputImagePath() override { return output; }
    int MethodIndex() override { return MethodSealed; }
    void SetStatus(const std::string& text) override { status = text; }
    void SetProgressPosition(int) override {}
    void StepProgress() override {}
    void SetCapacityText(const std::string&) override {}
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool AskYesNo(const std::string& text) override {
        questions.push_back(text);
        onQuestion();
        return yes;
    }
    std::string AskOutputFile(const std::string&) override { return {}; }
    void Pause(unsigned) override {}
    std::string OutputDirectory() override { return directory; }
    bool StopRequested() override { return stopAfter >= 0 && stopAfter-- == 0; }
    void OutputWritten(const std::string& path, int code) override {
        if (code == 0) written.push_back(path);
    }
    bool EntriesInOwnFolder() override { return ownFolder; }
    int ReplaceAll(const std::vector<std::string>& paths) override {
        replaceAllAsked = paths;
        return replaceAll;
    }
};

Passphrase MakePassphrase(const std::string& text) {
    Passphrase passphrase;
    EXPECT_TRUE(passphrase.Assign(text.data(), text.size()));
    return passphrase;
}

class Entries : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "in");
        fs::create_directories(dir.path() / "out");
        dialog.base = dir.File("base.bmp");
        dialog.output = dir.File("carrier.png");
        dialog.directory = dir.File("out");
        const Bytes cover = MakePhoto(kWidth, kHeight);
        ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), cover.data(), kWidth, kHeight));
    }

    std::string In(const std::string& path) const { return dir.File("in/" + path); }
    void Put(const std::string& path, const Bytes& bytes) {
        fs::create_directories(fs::path(In(path)).parent_path());
        WriteFileBytes(In(path), bytes);
    }
    void Put(const std::string& path, const std::string& text) {
        Put(path, Bytes(text.begin(), text.end()));
    }

    int Encode(const std::vector<std::string>& inputs) {
        dialog.data.clear();
        for (const std::string& input : inputs) dialog.data.push_back(In(input));
        return EncodeSealedRun(dialog, passphrase);
    }
    int Decode() { return DecodeSealedRun(dialog, dialog.output, passphrase); }
    std::map<std::string, std::string> Out() const { return Tree(dir.path() / "out"); }

    // Seals `record`, flagged as entries, as it stands or as its zstd frame,
    // with a fixed salt.
    void Forge(const Bytes& record, bool compress) {
        CWorkingImage image;
        ASSERT_EQ(image.Load(dialog.base), 0);
        SealedRecord sealed;
        sealed.bytes = record;
        if (compress) {
            // Packed within one byte less than it takes: only its frame fits.
            bool fits = false;
            ASSERT_EQ(PackRecordFrom(record, 0, nullptr, record.size() - 1, &sealed, &fits), 0);
            ASSERT_TRUE(fits && sealed.compressed);
        }
        sealed.entries = true;
        const uint8_t salt[kSaltBytes] = {5, 4, 3};
        SealOptions options;
        options.salt = salt;
        uint8_t* pixels = image.LockPixels();
        ASSERT_EQ(SealRecord(pixels, image.width, image.height, passphrase, sealed, options), 0);
        image.ReleasePixels();
        ASSERT_EQ(SaveByExtension(dialog.output, image, dialog.output), 0);
    }

    static constexpr uint32_t kWidth = 160, kHeight = 120;
    TempDir dir;
    EntriesDialog dialog;
    Passphrase passphrase = MakePassphrase("entries");
};

// An entries record as the format describes it: rows of (kind, size, path),
// then `data`.
struct Row {
    uint8_t kind;
    uint32_t size;
    std::string path;
};
Bytes RecordOf(const std::vector<Row>& rows, size_t dataBytes, uint32_t count = 0) {
    Bytes table;
    for (const Row& row : rows) {
        uint8_t fields[7] = {row.kind};
        PutLE32(fields + 1, row.size);
        PutLE16(fields + 5, static_cast<uint16_t>(row.path.size()));
        table.insert(table.end(), fields, fields + 7);
        table.insert(table.end(), row.path.begin(), row.path.end());
    }
    Bytes record(8 + table.size() + dataBytes, 'x');
    PutLE32(record.data(), count != 0 ? count : static_cast<uint32_t>(rows.size()));
    PutLE32(record.data() + 4, static_cast<uint32_t>(table.size()));
    std::copy(table.begin(), table.end(), record.begin() + 8);
    return record;
}

}  // namespace

TEST_F(Entries, FoldersAndFilesComeBackAsTheyWere) {
    // Random bytes stay as they are; text in many small files compresses,
    // and the large run of zeros only fits compressed.
    Put("docs/report.txt", RandomBytes(300, 1));
    Put("docs/empty.txt", Bytes{});
    Put("docs/deep/er/still/note.txt", RandomBytes(40, 2));
    fs::create_directories(In("docs/nothing/here"));
    Put("single.bin", RandomBytes(50, 3));
    for (int i = 0; i < 60; ++i) Put("many/n" + std::to_string(i), "note " + std::to_string(i));
    Put("many/zeros", Bytes(200000, 0));

    struct Case {
        std::vector<std::string> inputs;
        bool compressed;
    };
    for (const Case& c : {Case{{"docs", "single.bin"}, false}, Case{{"many"}, true}}) {
        SCOPED_TRACE(c.inputs[0]);
        fs::remove_all(dir.path() / "out");
        fs::create_directory(dir.path() / "out");
        ASSERT_EQ(Encode(c.inputs), 0);
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
        ASSERT_EQ(Decode(), 0);
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
        std::map<std::string, std::string> expected;
        for (const std::string& input : c.inputs) {
            if (!fs::is_directory(In(input))) {
                const Bytes bytes = ReadFileBytes(In(input));
                expected[input] = std::string(bytes.begin(), bytes.end());
                continue;
            }
            expected[input + "/"] = "";
            for (const auto& [path, bytes] : Tree(In(input))) expected[input + "/" + path] = bytes;
        }
        EXPECT_EQ(Out(), expected);
    }
    // The empty folder made it, and the result names the files written.
    EXPECT_TRUE(fs::is_directory(dir.path() / "out/many"));
    EXPECT_EQ(dialog.status, "61 files written into " + dialog.directory);
}

TEST_F(Entries, OneFileKeepsThePlainRecord) {
    Put("alone.txt", RandomBytes(100, 4));
    ASSERT_EQ(Encode({"alone.txt"}), 0);
    CWorkingImage image;
    ASSERT_EQ(image.Load(dialog.output), 0);
    const UnsealedFile file = UnsealFile(image.LockPixels(),
                                         uint64_t{image.width} * image.height, passphrase);
    image.ReleasePixels();
    ASSERT_EQ(file.message, nullptr);
    EXPECT_FALSE(file.entries);
    EXPECT_EQ(file.name, "alone.txt");
    EXPECT_EQ(file.data, ReadFileBytes(In("alone.txt")));
}

TEST_F(Entries, SeveralTopEntriesGoInTheImagesFolderWhenAsked) {
    dialog.ownFolder = true;
    Put("a.txt", "a");
    Put("b.txt", "b");
    Put("folder/c.txt", "c");
    ASSERT_EQ(Encode({"a.txt", "b.txt"}), 0);
    ASSERT_EQ(Decode(), 0);
    EXPECT_EQ(Out(), (std::map<std::string, std::string>{
                         {"carrier/", ""}, {"carrier/a.txt", "a"}, {"carrier/b.txt", "b"}}));
    // One folder at the top is a folder already.
    fs::remove_all(dir.path() / "out/carrier");
    ASSERT_EQ(Encode({"folder"}), 0);
    ASSERT_EQ(Decode(), 0);
    EXPECT_EQ(Out(), (std::map<std::string, std::string>{{"folder/", ""}, {"folder/c.txt", "c"}}));
}

TEST_F(Entries, ExistingFilesAreAskedAboutBeforeAnythingIsWritten) {
    Put("set/a.txt", "new a");
    Put("set/b.txt", "new b");
    ASSERT_EQ(Encode({"set"}), 0);
    fs::create_directory(dir.path() / "out/set");
    WriteFileBytes(dir.File("out/set/b.txt"), Bytes{'o', 'l', 'd'});

    // Declined: that file stays, the others come.
    dialog.yes = false;
    dialog.onQuestion = [&] { EXPECT_FALSE(fs::exists(dir.path() / "out/set/a.txt")); };
    ASSERT_EQ(Decode(), 0);
    ASSERT_EQ(dialog.questions.size(), 1u);
    EXPECT_EQ(dialog.questions[0], dialog.directory + "/set/b.txt exists\nOverwrite?\nNo to Rename");
    EXPECT_EQ(Out(), (std::map<std::string, std::string>{
                         {"set/", ""}, {"set/a.txt", "new a"}, {"set/b.txt", "old"}}));

    // Accepted: both replaced.
    dialog.yes = true;
    dialog.onQuestion = [] {};
    ASSERT_EQ(Decode(), 0);
    EXPECT_EQ(Out(), (std::map<std::string, std::string>{
                         {"set/", ""}, {"set/a.txt", "new a"}, {"set/b.txt", "new b"}}));

    // Several there: one answer for all, when the dialog gives one.
    for (const int all : {0, 1}) {
        WriteFileBytes(dir.File("out/set/a.txt"), Bytes{'A'});
        WriteFileBytes(dir.File("out/set/b.txt"), Bytes{'B'});
        dialog.questions.clear();
        dialog.replaceAll = all;
        ASSERT_EQ(Decode(), 0);
        EXPECT_TRUE(dialog.questions.empty());
        EXPECT_EQ(dialog.replaceAllAsked,
                  (std::vector<std::string>{dialog.directory + "/set/a.txt",
                                            dialog.directory + "/set/b.txt"}));
        EXPECT_EQ(Out(), (std::map<std::string, std::string>{
                             {"set/", ""},
                             {"set/a.txt", all ? "new a" : "A"},
                             {"set/b.txt", all ? "new b" : "B"}}));
    }
}

TEST_F(Entries, StoppedHalfWayLeavesNothingItMade) {
    Put("set/one/a.txt", "a");
    Put("set/two/b.txt", "b");
    Put("set/two/c.txt", "c");
    ASSERT_EQ(Encode({"set"}), 0);
    fs::create_directory(dir.path() / "out/set");
    WriteFileBytes(dir.File("out/set/keep"), Bytes{'k'});
    // Stopped among the entries of "two", once "one" is written.
    dialog.stopAfter = 5;
    EXPECT_EQ(Decode(), kRunStopped);
    EXPECT_FALSE(dialog.written.empty());
    EXPECT_EQ(Out(), (std::map<std::string, std::string>{{"set/", ""}, {"set/keep", "k"}}));
}

TEST_F(Entries, NeverWritesThroughALink) {
    Put("set/a.txt", "a");
    ASSERT_EQ(Encode({"set"}), 0);
    fs::create_directory(dir.path() / "elsewhere");
    fs::create_directory_symlink(dir.path() / "elsewhere", dir.path() / "out/set");
    EXPECT_EQ(Decode(), 0);
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_NE(dialog.messages[0].find("out/set"), std::string::npos) << dialog.messages[0];
    EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere"));
}

TEST_F(Entries, ForgedRecordsAreRefusedWhole) {
    // Each wrong in one way. The first file's 400 bytes would be written
    // first, so a refusal that came after a write would show; they also
    // make the record compress.
    constexpr uint32_t kFirst = 400;
    struct Case {
        const char* what;
        Bytes record;
    };
    const std::vector<Case> cases = {
        {"parent", RecordOf({{0, kFirst, "ok"}, {0, 1, "../escape"}}, kFirst + 1)},
        {"inner parent", RecordOf({{0, kFirst, "ok"}, {0, 1, "a/../../escape"}}, kFirst + 1)},
        {"absolute", RecordOf({{0, kFirst, "ok"}, {0, 1, "/tmp/escape"}}, kFirst + 1)},
        {"empty name", RecordOf({{0, kFirst, "ok"}, {0, 1, "a//b"}}, kFirst + 1)},
        {"repeated", RecordOf({{0, kFirst, "ok"}, {0, 1, "ok"}}, kFirst + 1)},
        {"file and folder", RecordOf({{0, kFirst, "ok"}, {0, 1, "ok/inner"}}, kFirst + 1)},
        {"control", RecordOf({{0, kFirst, "ok"}, {0, 1, "bad\nname"}}, kFirst + 1)},
        {"too deep", RecordOf({{0, kFirst, "ok"}, {0, 1, "a/b/c/d/e/f/g/h/i"}}, kFirst + 1)},
        {"past the end", RecordOf({{0, kFirst, "ok"}, {0, 90000, "big"}}, kFirst + 1)},
        {"short of the end", RecordOf({{0, kFirst, "ok"}}, kFirst + 2)},
        {"folder with bytes", RecordOf({{0, kFirst, "ok"}, {1, 1, "dir"}}, kFirst + 1)},
        {"unknown kind", RecordOf({{0, kFirst, "ok"}, {2, 1, "what"}}, kFirst + 1)},
        {"more rows than told", RecordOf({{0, kFirst, "ok"}, {0, 1, "b"}}, kFirst + 1, 1)},
        {"fewer rows than told", RecordOf({{0, kFirst, "ok"}}, kFirst, 3)},
        {"a huge count", RecordOf({{0, kFirst, "ok"}}, kFirst, 0xFFFFFFFF)},
    };
    for (const Case& c : cases) {
        for (const bool compress : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (compress ? ", compressed" : ""));
            UnsealedFile file;
            file.entries = true;
            file.data = c.record;
            if (compress) {
                SealedRecord frame;
                bool fits = false;
                ASSERT_EQ(PackRecordFrom(c.record, 0, nullptr, c.record.size() - 1, &frame, &fits),
                          0);
                ASSERT_TRUE(fits);
                file.frame = std::move(frame.bytes);
                file.data.clear();
            }
            std::vector<Entry> entries;
            int code = 0;
            EXPECT_EQ(ReadEntries(file, &entries, &code), kInvalidFileMessage);
            EXPECT_EQ(code, 0);
            EXPECT_TRUE(entries.empty());  // none of a refused table
        }
    }
}

TEST_F(Entries, ForgedCarriersWriteNothing) {
    // Sealed with the passphrase, so only the record's checks stand between
    // them and the disk; the sound one shows the others fail for their fault.
    const Bytes sound = RecordOf({{0, 400, "ok"}, {0, 1, "b"}}, 401);
    const Bytes escape = RecordOf({{0, 400, "ok"}, {0, 1, "../escape"}}, 401);
    const Bytes past = RecordOf({{0, 400, "ok"}, {0, 90000, "big"}}, 401);
    for (const bool compress : {false, true}) {
        for (const Bytes* record : {&escape, &past}) {
            dialog.messages.clear();
            Forge(*record, compress);
            EXPECT_EQ(Decode(), 0);
            ASSERT_EQ(dialog.messages.size(), 1u);
            EXPECT_EQ(dialog.messages[0], kInvalidFileMessage);
            EXPECT_TRUE(fs::is_empty(dir.path() / "out"));
            EXPECT_FALSE(fs::exists(dir.path() / "escape"));
        }
    }
    Forge(sound, true);
    ASSERT_EQ(Decode(), 0);
    EXPECT_EQ(Out().size(), 2u);
}

TEST_F(Entries, CollectingRefusesWhatCouldNotComeBack) {
    Put("linked/a.txt", "a");
    fs::create_symlink(In("linked/a.txt"), In("linked/link"));
    fs::create_directory_symlink(In("linked"), In("linked/loop"));
    std::vector<Entry> entries;
    ASSERT_EQ(CollectEntries({In("linked")}, &entries), "");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, "linked");
    EXPECT_TRUE(entries[0].folder);
    EXPECT_EQ(entries[1].path, "linked/a.txt");
    EXPECT_EQ(entries[1].size, 1u);

    fs::create_directories(In("pipes"));
    ASSERT_EQ(::mkfifo(In("pipes/pipe").c_str(), 0600), 0);
    Put("x/same", "1");
    Put("y/same", "2");
    Put("odd/new\nline", "n");
    Put("d/1/2/3/4/5/6/7/8", "deep");
    struct Case {
        std::vector<std::string> inputs;
        std::string message;
    };
    for (const Case& c : {
             Case{{"pipes"}, In("pipes/pipe") + " is not a file or a folder"},
             Case{{"x/same", "y/same"}, "Two of the files to hide are named same"},
             Case{{"odd"}, In("odd/new\\nline") + " cannot be hidden: its name has a control"},
             Case{{"d"}, In("d/1/2/3/4/5/6/7/8") + " cannot be hidden: it is more than 8"},
         }) {
        SCOPED_TRACE(c.inputs[0]);
        std::vector<std::string> paths;
        for (const std::string& input : c.inputs) paths.push_back(In(input));
        const std::string message = CollectEntries(paths, &entries);
        EXPECT_EQ(message.substr(0, c.message.size()), c.message) << message;
    }

    // The run says it and writes nothing.
    EXPECT_EQ(Encode({"pipes", "linked"}), 0);
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_FALSE(fs::exists(dialog.output));
}
