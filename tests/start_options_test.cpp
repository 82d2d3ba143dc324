// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/start_options.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using Action = StartOptions::Action;

struct StartCase {
    const char* name;
    std::vector<std::string> args;
    Action action;
    std::string file;
};

const StartCase kStartCases[] = {
    {"Nothing", {}, Action::Run, ""},
    {"File", {"holiday.png"}, Action::Run, "holiday.png"},
    {"FileNamedLikeAnOptionAfterDashes", {"--", "--help"}, Action::Run, "--help"},
    {"DashIsAFile", {"-"}, Action::Run, "-"},
    {"ShortHelp", {"-h"}, Action::Help, ""},
    {"HelpAfterFile", {"holiday.png", "--help"}, Action::Help, ""},
    {"HelpWinsOverUnknown", {"--bogus", "--help"}, Action::Help, ""},
    {"Version", {"--version"}, Action::Version, ""},
    {"VersionWithFile", {"holiday.png", "--version"}, Action::Version, ""},
    {"UnknownWinsOverVersion", {"--version", "-x"}, Action::UsageError, ""},
    {"TwoFiles", {"a.png", "b.png"}, Action::UsageError, ""},
    {"SelfTest", {"--self-test"}, Action::SelfTest, ""},
    {"ShowFieldsWithFile", {"--self-test-fields", "a.png"}, Action::ShowFields, "a.png"},
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

class StartOptionsParse : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartOptionsParse, GivesActionAndFile) {
    const StartOptions options = ParseStartOptions(GetParam().args);
    EXPECT_EQ(options.action, GetParam().action);
    EXPECT_EQ(options.file, GetParam().file);
    EXPECT_EQ(options.error.empty(), options.action != Action::UsageError);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartOptionsParse, ::testing::ValuesIn(kStartCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StartOptions, UnknownOptionIsNamed) {
    EXPECT_EQ(ParseStartOptions({"--frobnicate"}).error, "unrecognized option '--frobnicate'");
}

}  // namespace
