// SPDX-License-Identifier: GPL-3.0-or-later
// ombrel-cli: the hiding engine's runs from the command line, for scripts,
// remote shells and batches. The runs are the dialog's own, driven through
// a TerminalPort.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/passphrase_input.h"
#include "cli/terminal_port.h"
#include "hiding/entries.h"
#include "hiding/output_file.h"
#include "hiding/payload.h"
#include "hiding/runs.h"
#include "hiding/sealed_jpeg.h"
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

bool IsFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int Encode(TerminalPort& port, const std::string& methodName, const std::string& passphraseFile,
           int quality) {
    port.method = MethodIndex(methodName);
    if (port.method != MethodSealed && !passphraseFile.empty())
        return PassphraseNotTaken(port, "Hiding with the ", port.method);
    if (port.method != MethodSealed && (port.dataFiles.size() > 1 || IsFolder(port.dataFile))) {
        port.Say(std::string("The ") + methodName +
                 " method hides one file; several files or a folder take -m sealed");
        return kUsageError;
    }
    // A quality that could not apply would leave the user believing it did.
    if (quality != 0 && (port.method != MethodSealed || !IsJpegName(port.outputImage))) {
        port.Say("--quality is for a JPEG output of the sealed method only");
        return kUsageError;
    }
    if (quality != 0 && IsJpegName(port.baseImage))
        port.Say("The base is a JPEG: its coefficients are kept as they are, --quality is not used");
    SealOptions options;
    if (quality != 0) options.jpegQuality = quality;
    if (port.method != MethodSealed)
        return port.Finish(EncodeRun(port, static_cast<HidingMethod>(port.method)));
    Passphrase passphrase;
    switch (GetPassphrase(port, passphraseFile, true, &passphrase)) {
        case PassphraseResult::Read:
            return port.Finish(EncodeSealedRun(port, passphrase, options));
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

// The passphrase for a sealed image in which no method found a file: 0, or
// the exit status when there is none to be had. What is wrong with the
// file comes before any question.
int SealedPassphrase(TerminalPort& port, const std::string& image,
                     const std::string& passphraseFile, Passphrase* passphrase) {
    uint32_t size[2] = {0, 0};
    if (const int unreadable = GetImageSizeByExtension(image, size)) return port.Finish(unreadable);
    switch (GetPassphrase(port, passphraseFile, false, passphrase)) {
        case PassphraseResult::Read:
            return 0;
        case PassphraseResult::NoSource:
            port.Say(kNotEncodedText);
            return 1;
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
        Passphrase passphrase;
        if (const int status = SealedPassphrase(port, image, passphraseFile, &passphrase))
            return status;
        code = DecodeSealedRun(port, image, passphrase);
    }
    const int status = port.Finish(code);
    if (port.wroteEntries()) {
        // Every file written, even when some were left alone.
        for (const std::string& path : port.writtenPaths()) PrintResult(path);
        return status;
    }
    if (status != 0) return status;
    PrintResult(port.extractedPath());
    // Said apart from the path, which scripts read.
    if (port.extractedHidden())
        port.Say(port.extractedPath() + " is a hidden file: its name starts with a dot");
    return 0;
}

// The sealed file's entries, a line each: size, then path ("/" after a
// folder's), escaped; nothing is written.
int List(TerminalPort& port, const std::string& image, const std::string& passphraseFile) {
    const int method = DetectMethod(port, image);
    if (method >= 0) {
        port.EndProgress();
        port.Say(ShownName(image) + " carries a file of the " +
                 GetMethodInfo(static_cast<HidingMethod>(method)).name +
                 " method, which holds one file under its name: decode it");
        return 1;
    }
    Passphrase passphrase;
    if (const int status = SealedPassphrase(port, image, passphraseFile, &passphrase))
        return status;
    std::vector<Entry> entries;
    const int status = port.Finish(ListSealedRun(port, image, passphrase, &entries));
    if (status != 0) return status;
    for (const Entry& entry : entries)
        PrintResult(std::to_string(entry.size) + "\t" + ShownName(entry.path) +
                    (entry.folder ? "/" : ""));
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
    const JpegElements jpeg = JpegElementsOf(image, kDefaultJpegQuality);
    PrintResult(text + "},\"sealed_hides_well\":" + std::to_string(SealedHidesWell(size[0], size[1])) +
                ",\"jpeg\":{\"bytes\":" + std::to_string(SealedJpegRoom(jpeg.count)) +
                ",\"hides_well\":" + std::to_string(SealedJpegHidesWell(jpeg.count)) +
                ",\"estimated\":" + (jpeg.estimated ? "true" : "false") + "}}");
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
    std::string base, output, image, passphraseFile;
    std::vector<std::string> data;
    bool json = false;
    int quality = 0;  // not given
    const char* const kPassphraseHelp =
        "Read the sealed method's passphrase from the first line of FILE (otherwise it is "
        "asked on the terminal)";

    CLI::App* encode = app.add_subcommand(
        "encode", "Hide DATA in BASE, writing the image OUTPUT; the sealed method takes several "
                  "files and folders");
    encode->positionals_at_end();  // DATA... takes all but the last, OUTPUT
    encode->add_option("-m,--method", methodName, "Hiding method")
        ->check(CLI::IsMember(MethodNames()))
        ->capture_default_str();
    // BASE and DATA are checked by the run, which names the cause as the
    // window does.
    encode->add_option("BASE", base, "Base image (BMP, JPEG, PCX, PNG, TIFF)")->required();
    encode->add_option("--passphrase-file", passphraseFile, kPassphraseHelp)
        ->check(CLI::ExistingFile);
    encode
        ->add_option("DATA", data,
                     "File to hide; with -m sealed, any number of files and folders (folders "
                     "with everything in them, links inside left out)")
        ->required();
    encode->add_option("OUTPUT", output,
                       "Image to write; its extension picks the format (JPEG for sealed only)")
        ->required();
    encode->add_flag("-f,--force", options.force, "Replace an existing OUTPUT");
    encode
        ->add_option("--quality", quality,
                     "JPEG quality (1-100, default 90) at which a base that is not a JPEG is "
                     "compressed for a JPEG OUTPUT (sealed only; a JPEG base is never "
                     "recompressed)")
        ->check(CLI::Range(1, 100));

    CLI::App* decode = app.add_subcommand("decode", "Extract the file hidden in IMAGE");
    decode
        ->add_option("-o,--output-dir", options.outputDirectory,
                     "Directory to write the file, or the files and folders, into (default: the "
                     "current one)")
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

    CLI::App* list =
        app.add_subcommand("list", "Print the files and folders sealed in IMAGE, writing none");
    list->add_option("--passphrase-file", passphraseFile, kPassphraseHelp)
        ->check(CLI::ExistingFile);
    list->add_option("IMAGE", image, "Image to read")->required()->check(CLI::ExistingFile);

    CLI::App* capacity =
        app.add_subcommand("capacity", "Print how many bytes each method can hide in IMAGE");
    capacity->add_flag("--json", json, "Print one JSON object");
    capacity->add_option("IMAGE", image, "Base image")->required()->check(CLI::ExistingFile);

    for (CLI::App* command : {encode, decode, list, detect, capacity}) command->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageError;
    }

    TerminalPort port(options);
    if (encode->parsed()) {
        port.baseImage = base;
        port.dataFile = data.front();
        port.dataFiles = data;
        port.outputImage = output;
        return Encode(port, methodName, passphraseFile, quality);
    }
    if (decode->parsed()) return Decode(port, image, passphraseFile);
    if (list->parsed()) return List(port, image, passphraseFile);
    if (detect->parsed()) return Detect(port, image, passphraseFile);
    return Capacity(port, image, json);
}

}  // namespace

int main(int argc, char** argv) {
    HoldClosedStandardStreams();
    InstallSignalCleanup();
    return CheckStandardOutput(Run(argc, argv));
}
