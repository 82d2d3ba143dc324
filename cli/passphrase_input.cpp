// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/passphrase_input.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "hiding/sealed_run.h"

namespace {

// The terminal's settings while echo is off, put back by a signal that ends
// the program mid-prompt, so the shell is not left without echo.
struct termios g_saved;
volatile sig_atomic_t g_echoOff = 0;
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const std::string kTooLong =
    "The passphrase is longer than " + std::to_string(Passphrase::kMaxBytes) + " bytes";

void RestoreAndRaise(int signal) {
    if (g_echoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// One line from `fd` into *out, byte by byte so no copy is left in a
// buffer. False on a read error, at the end of a terminal's input before
// anything was typed, or when the line is too long.
bool ReadLine(int fd, Passphrase* out, bool* tooLong) {
    out->Clear();
    *tooLong = false;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return !out->empty() || !isatty(fd);
        if (c == '\n') break;
        if (!out->Append(c)) {
            *tooLong = true;
            return false;
        }
    }
    return true;
}

// Drops what editors add around a line: a UTF-8 byte-order mark in front
// (`skipMark`) and carriage returns at the end, which no one means to type.
void TrimLine(Passphrase* line, bool skipMark) {
    size_t begin = 0, end = line->size();
    if (skipMark && end >= 3 && std::memcmp(line->data(), "\xef\xbb\xbf", 3) == 0) begin = 3;
    while (end > begin && line->data()[end - 1] == '\r') --end;
    if (begin == 0 && end == line->size()) return;
    Passphrase trimmed;
    trimmed.Assign(line->data() + begin, end - begin);
    *line = std::move(trimmed);
}

// Reads standard input with echo off, turned off before the prompt shows
// so that nothing typed after the prompt is echoed or flushed away.
bool Ask(const char* prompt, Passphrase* out, bool* tooLong) {
    struct sigaction previous[std::size(kPromptSignals)];
    struct sigaction restore = {};
    restore.sa_handler = RestoreAndRaise;
    sigemptyset(&restore.sa_mask);
    for (size_t i = 0; i < std::size(kPromptSignals); ++i)
        sigaction(kPromptSignals[i], &restore, &previous[i]);

    if (tcgetattr(STDIN_FILENO, &g_saved) == 0) {
        struct termios quiet = g_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;  // the line end still shows
        g_echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    const bool read = ReadLine(STDIN_FILENO, out, tooLong);
    if (read) TrimLine(out, false);
    if (g_echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    g_echoOff = 0;
    for (size_t i = 0; i < std::size(kPromptSignals); ++i)
        sigaction(kPromptSignals[i], &previous[i], nullptr);
    if (!read && !*tooLong) std::fputc('\n', stderr);
    return read;
}

}  // namespace

PassphraseResult GetPassphrase(TerminalPort& port, const std::string& file, bool confirm,
                               Passphrase* out) {
    bool tooLong = false;
    if (!file.empty()) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        const bool read = fd >= 0 && ReadLine(fd, out, &tooLong);
        if (fd >= 0) ::close(fd);
        if (read) TrimLine(out, true);
        if (read) return PassphraseResult::Read;
        port.Say(tooLong ? kTooLong : "Cannot read the passphrase file " + file);
        return PassphraseResult::Failed;
    }
    if (!isatty(STDIN_FILENO)) return PassphraseResult::NoSource;
    port.EndProgress();
    if (!Ask("Passphrase: ", out, &tooLong)) {
        port.Say(tooLong ? kTooLong : "No passphrase given");
        return PassphraseResult::Failed;
    }
    if (!confirm) return PassphraseResult::Read;
    Passphrase again;
    if (!Ask("Passphrase again: ", &again, &tooLong) || !again.Equals(*out)) {
        port.Say(kPassphraseMismatchMessage);
        return PassphraseResult::Failed;
    }
    return PassphraseResult::Read;
}
