// SPDX-License-Identifier: GPL-3.0-or-later
// The window's side of the sealed method, through its commands: the
// passphrase field for an encode, and a decode that asks for a passphrase
// once the five methods find nothing.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>

#include "app/main_commands.h"
#include "hiding/sealed.h"
#include "hiding/sealed_run.h"
#include "imagelib/pix.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// Fields only, no controls; passphrase questions answered from a script.
class SealedView : public MainView {
  public:
    std::deque<std::string> passphraseAnswers;
    int passphraseQuestions = 0;
    std::vector<std::string> messages;
    std::string directory;

    void ReadControls() override {}
    void ShowFields() override {}
    void SetProgressRange(int) override {}
    std::string ChooseFile(const FileChoice&) override { return {}; }
    std::string AskPassphrase() override {
        ++passphraseQuestions;
        std::string answer = passphraseAnswers.front();
        passphraseAnswers.pop_front();
        return answer;
    }
    void SetProgressPosition(int) override {}
    void StepProgress() override {}
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool AskYesNo(const std::string&) override { return true; }
    void Pause(unsigned) override {}
    std::string OutputDirectory() override { return directory; }
};

}  // namespace

TEST(SealedCommands, EncodeWithTheFieldDecodeAsksWhenNoneIsGiven) {
    TempDir dir;
    SealedView view;
    MainFields& f = view.fields;
    f.baseImage = dir.File("base.bmp");
    f.dataFile = dir.File("notes.txt");
    f.outputImage = dir.File("sealed.png");
    f.inputFile = f.outputImage;
    view.directory = dir.File("out");
    fs::create_directory(view.directory);
    const Bytes photo = MakePhoto(40, 30);
    ASSERT_TRUE(PixWriteBMP(f.baseImage.c_str(), photo.data(), 40, 30));
    const Bytes notes = {'m', 'e', 'e', 't', ' ', 'a', 't', ' ', '6'};
    WriteFileBytes(f.dataFile, notes);

    // Sealed chosen with no passphrase: refused, nothing written.
    f.method = MethodSealed;
    EncodeCommand(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"A sealed file needs a passphrase"});
    EXPECT_FALSE(fs::exists(f.outputImage));

    // Typed again differently: refused before anything is read.
    view.messages.clear();
    f.passphrase = "opal";
    f.passphraseConfirm = "opaI";
    EncodeCommand(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{kPassphraseMismatchMessage});
    EXPECT_FALSE(fs::exists(f.outputImage));

    view.messages.clear();
    f.passphraseConfirm = "opal";
    EncodeCommand(view);
    // So small a picture hides nothing well: said, and done anyway.
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].rfind("The file takes 18 bytes; this picture hides up to 0 bytes well.", 0), 0u);
    ASSERT_TRUE(fs::exists(f.outputImage));
    view.messages.clear();

    // Another method chosen: its field is not read, so the decode asks; a
    // cancel says what it always said.
    f.method = Method777;
    view.passphraseAnswers = {""};
    DecodeCommand(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"This file was not encoded by Ombrel"});
    view.messages.clear();
    view.passphraseAnswers = {"opal"};
    DecodeCommand(view);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.passphraseQuestions, 2);
    EXPECT_EQ(ReadFileBytes(view.directory + "/notes.txt"), notes);

    // Sealed chosen: the field's passphrase, no question; a wrong one fails.
    fs::remove(view.directory + "/notes.txt");
    f.method = MethodSealed;
    f.passphrase = "opaL";
    DecodeCommand(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{kSealedFailedMessage});
    EXPECT_EQ(view.passphraseQuestions, 2);
    EXPECT_FALSE(fs::exists(view.directory + "/notes.txt"));
}
