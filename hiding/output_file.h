// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a file as careful Unix programs do: into a temporary file created
// exclusively, under an unpredictable name, beside the target; renamed into
// place only once every byte is written; removed on every failure and when
// the program is stopped by a signal. An entry that is already at the
// temporary name (a planted link, a FIFO) is never opened.
#pragma once

#include <string>

// What publishing may do to an entry already at the target's name.
enum class Replace {
    kNever,       // keep it: Publish fails with EEXIST, even for one that
                  // appeared after the caller looked
    kEntry,       // replace the entry itself; a link there is not followed
    kLinkTarget,  // follow a link there and replace the file it names (for
                  // paths the user typed)
};

class OutputFile {
  public:
    // Creates the temporary file beside `target`, with the mode a plain
    // create gives (0666 less the umask) or, when a regular file is
    // replaced, that file's permissions. error() says whether that worked.
    OutputFile(const std::string& target, Replace replace);
    // The same for the entry `leaf` of the open folder `folder` (which is
    // duplicated, not taken); `replace` may not be kLinkTarget. Without
    // /proc, WritePath() is empty.
    OutputFile(int folder, const std::string& leaf, Replace replace);
    // Removes the temporary file unless it was published.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The errno of the step that failed, 0 while none did.
    int error() const { return error_; }

    // A path that opens the temporary file itself, whatever is done to the
    // folder meanwhile, for writers that take a path.
    const std::string& WritePath() const { return writePath_; }

    // Writes all of `data`; false with error() set.
    bool Write(const void* data, size_t size);

    // Sets the final permissions, closes the file (syncing it first when
    // it replaces one) and renames it into place; false with error() set.
    bool Publish();

  private:
    bool Fail(int error);
    void Create(const std::string& folder);

    Replace replace_;
    std::string leaf_;       // the target's name in its folder
    int folder_ = -1;        // the target's folder, held open
    int fd_ = -1;            // the temporary file
    std::string temporary_;  // its name in the folder
    std::string writePath_;
    unsigned finalMode_ = 0;  // permission bits to publish with
    bool replacesFile_ = false;
    bool published_ = false;
    int slot_ = -1;  // where the signal handlers find the temporary file
    int error_ = 0;
};

// Whether a write's error says the disk (or the file-size limit) is full,
// the one failure the runs report as a write error rather than by its text.
bool IsFullDisk(int error);

// Ignores SIGXFSZ, so that a write past the file-size limit fails as on a
// full disk; on SIGINT, SIGTERM, SIGHUP and the other signals that end a
// program (SIGQUIT, SIGUSR1/2, SIGALRM, SIGPIPE, the timers, SIGXCPU)
// removes the temporary files of the writes in progress, then ends the
// program as the signal would. A signal the program was started with
// ignored, or that something else already handles, stays as it was. Call
// once, early in main.
void InstallSignalCleanup();
