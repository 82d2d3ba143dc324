// SPDX-License-Identifier: GPL-3.0-or-later
// ombrel-cli: the hiding engine's runs from the command line, for scripts,
// remote shells and batches. The runs are the dialog's own, driven through
// a TerminalPort.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/passphrase_input.h"
#include "cli/terminal_port.h"
#include "hiding/output_file.h"
#include "hiding/payload.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "hiding/shown_name.h"
#include "working/working_image.h"

namespace {

constexpr int kUsageError = 2;

std::vector<std::string> MethodNames() {
    std::vector<std::string> names;
    for (int m = 0; m < kMethodListCount; ++m)
        names.push_back(GetMethodInfo(static_cast<HidingMethod>(m)).name);
    return names;
}

int MethodIndex(const std::string& name) {
    const std::vector<std::string> names = MethodNames();
    for (int m = 0; m < kMethodListCount; ++m)
        if (names[m] == name) return m;
    return -1;  // unreachable: the parser only lets the listed names through
}

void PrintResult(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
}

// A passphrase that could not apply would leave the user believing the
// file is protected when anyone can read it.
int PassphraseNotTaken(TerminalPort& port, const std::string& what, int method) {
    port.EndProgress();
    port.Say(what + GetMethodInfo(static_cast<HidingMethod>(method)).name +
             " method, which takes no passphrase: --passphrase-file is for the sealed method "
             "only");
    return kUsageError;
}

int Encode(TerminalPort& port, const std::string& methodName, const std::string& passphraseFile) {
    port.method = MethodIndex(methodName);
    if (port.method != MethodSealed && !passphraseFile.empty())
        return PassphraseNotTaken(port, "Hiding with the ", port.method);
    if (port.method != MethodSealed)
        return port.Finish(EncodeRun(port, static_cast<HidingMethod>(port.method)));
    Passphrase passphrase;
    switch (GetPassphrase(port, passphraseFile, true, &passphrase)) {
        case PassphraseResult::Read:
            return port.Finish(EncodeSealedRun(port, passphrase));
        case PassphraseResult::NoSource:
            port.Say(
                "The sealed method needs a passphrase: give --passphrase-file FILE, or run "
                "on a terminal");
            return kUsageError;
        case PassphraseResult::Failed:
            break;
    }
    return 1;
}

// The five methods by their signatures, then sealed when a passphrase is
// at hand: from the file, or asked on a terminal.
int Decode(TerminalPort& port, const std::string& image, const std::string& passphraseFile) {
    const int method = DetectMethod(port, image);
    int code = 0;
    if (method >= 0 && !passphraseFile.empty())
        return PassphraseNotTaken(port, ShownName(image) + " carries a file of the ", method);
    if (method >= 0) {
        code = DecodeRun(port, static_cast<HidingMethod>(method), image);
    } else {
        // What is wrong with the file comes before any question.
        uint32_t size[2] = {0, 0};
        if (const int unreadable = GetImageSizeByExtension(image, size))
            return port.Finish(unreadable);
        Passphrase passphrase;
        switch (GetPassphrase(port, passphraseFile, false, &passphrase)) {
            case PassphraseResult::Read:
                break;
            case PassphraseResult::NoSource:
                port.Say(kNotEncodedText);
                return 1;
            case PassphraseResult::Failed:
                return 1;
        }
        code = DecodeSealedRun(port, image, passphrase);
    }
    const int status = port.Finish(code);
    if (status != 0) return status;
    PrintResult(port.extractedPath());
    // Said apart from the path, which scripts read.
    if (port.extractedHidden())
        port.Say(port.extractedPath() + " is a hidden file: its name starts with a dot");
    return 0;
}

// Never asks: without --passphrase-file a sealed image is "not encoded".
int Detect(TerminalPort& port, const std::string& image, const std::string& passphraseFile) {
    int method = DetectMethod(port, image);
    if (method >= 0 && !passphraseFile.empty())
        return PassphraseNotTaken(port, ShownName(image) + " carries a file of the ", method);
    if (method < 0 && !passphraseFile.empty()) {
        Passphrase passphrase;
        if (GetPassphrase(port, passphraseFile, false, &passphrase) != PassphraseResult::Read)
            return 1;
        if (ProbeSealed(port, image, passphrase)) method = MethodSealed;
    }
    port.EndProgress();
    if (method < 0) {
        port.Say(kNotEncodedText);
        return 1;
    }
    PrintResult(GetMethodInfo(static_cast<HidingMethod>(method)).name);
    return 0;
}

int Capacity(TerminalPort& port, const std::string& image, bool json) {
    if (!json) {
        port.baseImage = image;
        CapacityReport(port);
        port.EndProgress();
        if (port.capacityText() == kNotAnImageText) {
            port.Say(kNotAnImageText);
            return 1;
        }
        PrintResult(port.capacityText());
        return 0;
    }
    uint32_t size[2] = {0, 0};
    if (GetImageSizeByExtension(image, size) != 0) {
        port.Say(kNotAnImageText);
        return 1;
    }
    // Less the payload header, as the report counts.
    std::string text = "{\"width\":" + std::to_string(size[0]) +
                       ",\"height\":" + std::to_string(size[1]) + ",\"capacity\":{";
    for (int m = 0; m < kMethodListCount; ++m) {
        const auto method = static_cast<HidingMethod>(m);
        const int64_t bytes = static_cast<int64_t>(MethodCapacity(method, size[0], size[1])) -
                              static_cast<int64_t>(MethodOverhead(method));
        if (m > 0) text += ",";
        text += "\"" + std::string(GetMethodInfo(method).name) + "\":" + std::to_string(bytes);
    }
    PrintResult(text + "},\"sealed_hides_well\":" + std::to_string(SealedHidesWell(size[0], size[1])) +
                "}");
    return 0;
}

// A standard stream that was closed when the program started gets a
// descriptor that fails every transfer as a closed one would, so that no
// file the program opens can take its number and receive its text.
void HoldClosedStandardStreams() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

// The run's exit status, or 1 when what it wrote to standard output did not
// all arrive (a full disk, a closed stream), with a message saying so.
int CheckStandardOutput(int status) {
    bool delivered = std::fflush(stdout) == 0 && !std::ferror(stdout);
    int error = errno;
    if (std::fclose(stdout) != 0 && delivered) {
        delivered = false;
        error = errno;
    }
    if (delivered) return status;
    char reason[256];
    std::fprintf(stderr, "Unable to write to standard output: %s\n",
                 strerror_r(error, reason, sizeof reason));
    return status != 0 ? status : 1;
}

int Run(int argc, char** argv) {
    CLI::App app{
        "Hides a file inside a picture, gets it back out, and tells how much a\n"
        "picture can carry.",
        "ombrel-cli"};
    app.set_version_flag("--version", std::string("ombrel-cli ") + OMBREL_VERSION,
                         "Print the version and exit");
    app.require_subcommand(1);

    TerminalPort::Options options;
    app.add_flag("-q,--quiet", options.quiet, "No progress line");

    std::string methodName = GetMethodInfo(Method78).name;
    std::string base, data, output, image, passphraseFile;
    bool json = false;
    const char* const kPassphraseHelp =
        "Read the sealed method's passphrase from the first line of FILE (otherwise it is "
        "asked on the terminal)";

    CLI::App* encode = app.add_subcommand("encode", "Hide DATA in BASE, writing the image OUTPUT");
    encode->add_option("-m,--method", methodName, "Hiding method")
        ->check(CLI::IsMember(MethodNames()))
        ->capture_default_str();
    // BASE and DATA are checked by the run, which names the cause as the
    // window does.
    encode->add_option("BASE", base, "Base image (BMP, JPEG, PCX, PNG, TIFF)")->required();
    encode->add_option("--passphrase-file", passphraseFile, kPassphraseHelp)
        ->check(CLI::ExistingFile);
    encode->add_option("DATA", data, "File to hide")->required();
    encode->add_option("OUTPUT", output, "Image to write; its extension picks the format")
        ->required();
    encode->add_flag("-f,--force", options.force, "Replace an existing OUTPUT");

    CLI::App* decode = app.add_subcommand("decode", "Extract the file hidden in IMAGE");
    decode
        ->add_option("-o,--output-dir", options.outputDirectory,
                     "Directory to write the file into (default: the current one)")
        ->check(CLI::ExistingDirectory);
    decode->add_flag("-f,--force", options.force, "Replace a file of the same name");
    decode->add_option("--passphrase-file", passphraseFile, kPassphraseHelp)
        ->check(CLI::ExistingFile);
    decode->add_option("IMAGE", image, "Image to decode")->required()->check(CLI::ExistingFile);

    CLI::App* detect = app.add_subcommand("detect", "Print the method IMAGE was encoded with");
    detect
        ->add_option("--passphrase-file", passphraseFile,
                     "Also look for a sealed file that opens with the passphrase in FILE")
        ->check(CLI::ExistingFile);
    detect->add_option("IMAGE", image, "Image to examine")->required()->check(CLI::ExistingFile);

    CLI::App* capacity =
        app.add_subcommand("capacity", "Print how many bytes each method can hide in IMAGE");
    capacity->add_flag("--json", json, "Print one JSON object");
    capacity->add_option("IMAGE", image, "Base image")->required()->check(CLI::ExistingFile);

    for (CLI::App* command : {encode, decode, detect, capacity}) command->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageError;
    }

    TerminalPort port(options);
    if (encode->parsed()) {
        port.baseImage = base;
        port.dataFile = data;
        port.outputImage = output;
        return Encode(port, methodName, passphraseFile);
    }
    if (decode->parsed()) return Decode(port, image, passphraseFile);
    if (detect->parsed()) return Detect(port, image, passphraseFile);
    return Capacity(port, image, json);
}

}  // namespace

int main(int argc, char** argv) {
    HoldClosedStandardStreams();
    InstallSignalCleanup();
    return CheckStandardOutput(Run(argc, argv));
}
