// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>

#include "hiding/output_file.h"
#include "hiding/payload.h"
#include "hiding/shown_name.h"
#include "imagelib/common.h"
#include "imagelib/state.h"

namespace {

constexpr size_t kHeadBytes = 8;  // entry count, table length
constexpr size_t kRowBytes = 7;   // kind, size, path length
constexpr uint64_t kMaxTableBytes = kMaxEntries * (kRowBytes + kMaxEntryPathBytes);
constexpr uint8_t kFileKind = 0, kFolderKind = 1;
// As a decode of one file asks it, so that the command line answers it alike.

uint64_t TableBytes(const std::vector<Entry>& entries) {
    uint64_t bytes = 0;
    for (const Entry& entry : entries) bytes += kRowBytes + entry.path.size();
    return bytes;
}

std::string Joined(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LeafOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Reason(int error) {
    char text[256];
    return strerror_r(error, text, sizeof text);
}

// What one adding to the list of an encode needs.
class Collector {
  public:
    explicit Collector(std::vector<Entry>* entries) : entries_(entries) {}

    std::string message;

    bool Add(const std::string& source, const std::string& path, const struct stat& info) {
        if (const char* problem = EntryPathProblem(path))
            return Refuse(ShownName(source) + " cannot be hidden: " + problem);
        if (entries_->size() == kMaxEntries)
            return Refuse("More than " + std::to_string(kMaxEntries) +
                          " files and folders to hide; pack some of them first");
        if (S_ISDIR(info.st_mode)) {
            entries_->push_back({path, true, 0, source});
            return Walk(source, path);
        }
        if (!S_ISREG(info.st_mode))
            return Refuse(ShownName(source) +
                          " is not a file or a folder (a device, pipe or socket cannot be hidden)");
        entries_->push_back({path, false, static_cast<uint64_t>(info.st_size), source});
        return true;
    }

  private:
    bool Refuse(std::string text) {
        message = std::move(text);
        return false;
    }

    // The folder's contents in name order; links are left out.
    bool Walk(const std::string& source, const std::string& path) {
        DIR* folder = ::opendir(source.c_str());
        if (folder == nullptr)
            return Refuse("Unable to read the folder " + ShownName(source) + ": " + Reason(errno));
        std::vector<std::string> names;
        while (const dirent* item = ::readdir(folder)) {
            const std::string name = item->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(folder);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string inner = source + "/" + name;
            struct stat info {};
            if (::lstat(inner.c_str(), &info) != 0)
                return Refuse("Unable to read " + ShownName(inner) + ": " + Reason(errno));
            if (S_ISLNK(info.st_mode)) continue;
            if (!Add(inner, path + "/" + name, info)) return false;
        }
        return true;
    }

    std::vector<Entry>* entries_;
};

// The name a path given by the user is stored under: its last name, or the
// real folder's for "." and the like.
std::string TopName(const std::string& source) {
    std::string trimmed = source;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::string name = LeafOf(trimmed);
    if (name.empty() || name == "." || name == "..") {
        char* real = ::realpath(source.c_str(), nullptr);
        name = real != nullptr ? LeafOf(real) : std::string();
        std::free(real);
    }
    return name;
}

// Reads the files of a list one after another, as one stream.
class EntrySource {
  public:
    explicit EntrySource(const std::vector<Entry>& entries) : entries_(entries) {}
    ~EntrySource() { Close(); }
    EntrySource(const EntrySource&) = delete;
    EntrySource& operator=(const EntrySource&) = delete;

    bool Read(uint8_t* into, size_t count) {
        while (count > 0) {
            if (left_ == 0 && !OpenNext()) return false;
            const ssize_t got = ::read(fd_, into, std::min<uint64_t>(count, left_));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            into += got;
            count -= static_cast<size_t>(got);
            left_ -= static_cast<uint64_t>(got);
        }
        return true;
    }

  private:
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // The next file with bytes to give; one that changed size since the
    // list was made is a short read.
    bool OpenNext() {
        Close();
        while (next_ < entries_.size() && (entries_[next_].folder || entries_[next_].size == 0))
            ++next_;
        if (next_ == entries_.size()) return false;
        const Entry& entry = entries_[next_++];
        fd_ = ::open(entry.source.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
            static_cast<uint64_t>(info.st_size) != entry.size)
            return false;
        left_ = entry.size;
        return true;
    }

    const std::vector<Entry>& entries_;
    size_t next_ = 0;
    int fd_ = -1;
    uint64_t left_ = 0;
};

// Whether a file's path is where another entry has a folder: a file "a"
// beside "a/b".
bool FileInTheWay(const std::vector<Entry>& entries, const std::unordered_set<std::string>& files) {
    for (const Entry& entry : entries)
        for (size_t slash = entry.path.find('/'); slash != std::string::npos;
             slash = entry.path.find('/', slash + 1))
            if (files.count(entry.path.substr(0, slash)) != 0) return true;
    return false;
}

uint64_t RecordBytesOf(const UnsealedFile& file) {
    if (file.frame.empty()) return file.data.size();
    // OpenFrame has checked the size is known and bounded.
    return ZSTD_getFrameContentSize(file.frame.data(), file.frame.size());
}

// The record's bytes, from the data or inflated from the frame, to `sink`;
// false when the frame proves damaged or `sink` returns false.
bool StreamRecord(const UnsealedFile& file,
                  const std::function<bool(const uint8_t*, size_t)>& sink) {
    if (!file.frame.empty()) return InflateData(file, sink);
    return file.data.empty() || sink(file.data.data(), file.data.size());
}

// The first `count` bytes of the record into `out`.
bool RecordHead(const UnsealedFile& file, uint8_t* out, size_t count) {
    size_t got = 0;
    StreamRecord(file, [&](const uint8_t* bytes, size_t size) {
        const size_t take = std::min(size, count - got);
        std::memcpy(out + got, bytes, take);
        got += take;
        return got < count;  // enough: stop inflating
    });
    return got == count;
}

}  // namespace

const char* EntryPathProblem(const std::string& path) {
    if (path.empty()) return "it has no name";
    if (path.size() > kMaxEntryPathBytes) return "its path is longer than 1024 bytes";
    if (path.front() == '/') return "its path is absolute";
    size_t depth = 0;
    for (size_t start = 0; start <= path.size(); ++depth) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view name(path.data() + start, end - start);
        if (name.empty()) return "its path has an empty name";
        if (name == "." || name == "..") return "its path has a \".\" or \"..\" name";
        if (name.size() > kMaxEntryNameBytes) return "a name in its path is longer than 255 bytes";
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) return "its name has a control character";
            if (c == '\\') return "its name has a backslash";
        }
        start = end + 1;
    }
    if (depth > kMaxEntryDepth) return "it is more than 8 folders deep";
    return nullptr;
}

std::string CollectEntries(const std::vector<std::string>& paths, std::vector<Entry>* entries) {
    entries->clear();
    Collector collector(entries);
    std::unordered_set<std::string> top;
    for (const std::string& source : paths) {
        struct stat info {};
        if (::stat(source.c_str(), &info) != 0)  // a link the user named is followed
            return "Unable to read " + ShownName(source) + ": " + Reason(errno);
        const std::string name = TopName(source);
        if (name.empty()) return ShownName(source) + " has no name to be hidden under";
        if (!top.insert(name).second)
            return "Two of the files to hide are named " + ShownName(name) +
                   "; a decode could write only one";
        if (!collector.Add(source, name, info)) return collector.message;
    }
    if (entries->empty()) return "You must choose a data file";
    return {};
}

uint64_t EntriesDataBytes(const std::vector<Entry>& entries) {
    uint64_t bytes = 0;
    for (const Entry& entry : entries) bytes += entry.size;
    return bytes;
}

uint64_t EntriesRecordBytes(const std::vector<Entry>& entries) {
    return kHeadBytes + TableBytes(entries) + EntriesDataBytes(entries);
}

int PackEntries(const std::vector<Entry>& entries, uint64_t limit, SealedRecord* record,
                bool* fits) {
    *fits = false;
    record->bytes.clear();
    record->entries = true;
    const uint64_t tableBytes = TableBytes(entries);
    if (entries.empty() || entries.size() > kMaxEntries || tableBytes > kMaxTableBytes) return 0;
    for (const Entry& entry : entries)
        if (entry.size > UINT32_MAX) return 0;  // its size would not fit its field
    std::vector<uint8_t> head;
    try {
        head.resize(kHeadBytes + tableBytes);
    } catch (const std::bad_alloc&) {
        return kPixErrMemory;
    }
    PutLE32(head.data(), static_cast<uint32_t>(entries.size()));
    PutLE32(head.data() + 4, static_cast<uint32_t>(tableBytes));
    uint8_t* row = head.data() + kHeadBytes;
    for (const Entry& entry : entries) {
        row[0] = entry.folder ? kFolderKind : kFileKind;
        PutLE32(row + 1, static_cast<uint32_t>(entry.size));
        PutLE16(row + 5, static_cast<uint16_t>(entry.path.size()));
        std::memcpy(row + kRowBytes, entry.path.data(), entry.path.size());
        row += kRowBytes + entry.path.size();
    }
    EntrySource source(entries);
    return PackRecordFrom(
        head, EntriesDataBytes(entries),
        [&source](uint8_t* into, size_t count) { return source.Read(into, count); }, limit, record,
        fits);
}

namespace {

const char* ReadTable(const UnsealedFile& file, std::vector<Entry>* entries, int* code) {
    const uint64_t recordBytes = RecordBytesOf(file);
    uint8_t head[kHeadBytes];
    if (recordBytes < kHeadBytes || !RecordHead(file, head, sizeof head))
        return kInvalidFileMessage;
    const uint64_t count = GetLE32(head), tableBytes = GetLE32(head + 4);
    // Every row takes a byte of path at least: a count the table cannot
    // hold is refused before anything is allocated for it.
    if (count == 0 || count > kMaxEntries || tableBytes > kMaxTableBytes ||
        tableBytes > recordBytes - kHeadBytes || tableBytes < count * (kRowBytes + 1))
        return kInvalidFileMessage;
    std::vector<uint8_t> table;
    try {
        table.resize(kHeadBytes + tableBytes);
        entries->reserve(count);
    } catch (const std::bad_alloc&) {
        *code = kPixErrMemory;
        return nullptr;
    }
    if (!RecordHead(file, table.data(), table.size())) return kInvalidFileMessage;

    std::unordered_set<std::string> paths, files;
    uint64_t dataBytes = 0;
    size_t at = kHeadBytes;
    for (uint64_t i = 0; i < count; ++i) {
        if (table.size() - at < kRowBytes) return kInvalidFileMessage;
        const uint8_t kind = table[at];
        const uint64_t size = GetLE32(&table[at + 1]);
        const size_t length = GetLE16(&table[at + 5]);
        at += kRowBytes;
        if (kind > kFolderKind || (kind == kFolderKind && size != 0) || length == 0 ||
            length > kMaxEntryPathBytes || table.size() - at < length)
            return kInvalidFileMessage;
        Entry entry{std::string(reinterpret_cast<const char*>(&table[at]), length),
                    kind == kFolderKind, size, {}};
        at += length;
        if (EntryPathProblem(entry.path) != nullptr || !paths.insert(entry.path).second)
            return kInvalidFileMessage;
        if (!entry.folder) files.insert(entry.path);
        dataBytes += size;
        entries->push_back(std::move(entry));
    }
    if (at != table.size() || dataBytes != recordBytes - table.size() ||
        FileInTheWay(*entries, files))
        return kInvalidFileMessage;
    return nullptr;
}

}  // namespace

const char* ReadEntries(const UnsealedFile& file, std::vector<Entry>* entries, int* code) {
    entries->clear();
    const char* message = ReadTable(file, entries, code);
    if (message != nullptr || *code != 0) entries->clear();  // none of a refused table
    return message;
}

namespace {

// The output folder's tree, walked one name at a time relative to it and
// never through a link, whatever the names in an image.
class OutputTree {
  public:
    explicit OutputTree(int root) : root_(root) {}
    ~OutputTree() {
        if (root_ >= 0) ::close(root_);
    }
    OutputTree(const OutputTree&) = delete;
    OutputTree& operator=(const OutputTree&) = delete;

    // The folder at `path` ("" is the root), opened; with `create` the
    // missing ones are made and remembered. -1 with errno set when a name
    // on the way is missing (and not to be created), a link or no folder.
    int Open(const std::string& path, bool create) {
        int folder = ::fcntl(root_, F_DUPFD_CLOEXEC, 0);
        for (size_t start = 0; folder >= 0 && start < path.size();) {
            size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            const std::string name = path.substr(start, end - start);
            int next = ::openat(folder, name.c_str(),
                                O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0 && errno == ENOENT && create) {
                const bool madeIt = ::mkdirat(folder, name.c_str(), 0777) == 0;
                if (madeIt) made.push_back(path.substr(0, end));
                if (madeIt || errno == EEXIST)
                    next = ::openat(folder, name.c_str(),
                                    O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            const int error = errno;
            ::close(folder);
            folder = next;
            errno = error;
            start = end + 1;
        }
        return folder;
    }

    // What is at `path`: 0 when nothing, else its st_mode; -1 with errno
    // set when a name on the way is no folder.
    int Look(const std::string& path) {
        const int folder = Open(ParentOf(path), false);
        if (folder < 0) return errno == ENOENT ? 0 : -1;
        struct stat info {};
        const int found = ::fstatat(folder, LeafOf(path).c_str(), &info, AT_SYMLINK_NOFOLLOW);
        const int error = errno;
        ::close(folder);
        if (found == 0) return static_cast<int>(info.st_mode);
        errno = error;
        return error == ENOENT ? 0 : -1;
    }

    // Removes the files in `files` and then the folders this tree made.
    void Undo(const std::vector<std::string>& files) {
        for (const std::string& file : files) {
            const int folder = Open(ParentOf(file), false);
            if (folder < 0) continue;
            ::unlinkat(folder, LeafOf(file).c_str(), 0);
            ::close(folder);
        }
        for (auto it = made.rbegin(); it != made.rend(); ++it) {
            const int folder = Open(ParentOf(*it), false);
            if (folder < 0) continue;
            ::unlinkat(folder, LeafOf(*it).c_str(), AT_REMOVEDIR);
            ::close(folder);
        }
    }

    std::vector<std::string> made;  // folders created, outermost first

  private:
    int root_;
};

// What becomes of one file entry.
struct Plan {
    Replace replace = Replace::kNever;
    bool skip = false;       // the user kept the file that is there
    std::string elsewhere;   // a path the user chose instead
    bool existed = false;    // something was at `elsewhere` already
};

// The folder the entries go into, and its name as shown.
struct Destination {
    int fd = -1;
    std::string shown;
    bool made = false;  // created for this decode
    std::string madeName;
    int parent = -1;
};

// The folder named after the image, beside it: "photo" for "photo.png".
std::string ImageFolderName(const std::string& image) {
    std::string name = LeafOf(image);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) return name.substr(0, dot);
    return name + " files";
}

size_t TopCount(const std::vector<Entry>& entries) {
    size_t top = 0;
    for (const Entry& entry : entries) top += entry.path.find('/') == std::string::npos;
    return top;
}

// Writes the entries as the record streams by: folders made as they come,
// each file through a temporary published once its bytes are all in.
class EntryWriter {
  public:
    EntryWriter(DialogPort& dialog, OutputTree& tree, const std::string& shownRoot,
                const std::vector<Entry>& entries, const std::vector<Plan>& plans)
        : dialog_(dialog), tree_(tree), root_(shownRoot), entries_(entries), plans_(plans) {}

    int code = 0;
    std::string message;
    bool stopped = false;
    std::vector<std::string> madeFiles;  // relative to the tree
    std::vector<std::string> madeElsewhere;
    size_t files = 0;
    uint64_t bytes = 0;

    // Takes the record's next bytes; false once something failed.
    bool Take(const uint8_t* data, size_t size) {
        while (size > 0) {
            if (skip_ > 0) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, size));
                skip_ -= n, data += n, size -= n;
                continue;
            }
            if (!Advance()) return false;
            if (next_ > entries_.size() || left_ == 0) return Fail(kInvalidFileMessage);
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left_, size));
            if (out_ && !out_->Write(data, n)) return WriteFailed(out_->error());
            left_ -= n, data += n, size -= n;
            if (left_ == 0 && !Finish()) return false;
        }
        return true;
    }

    // After the last byte: the entries that take none.
    bool End() { return Advance() && next_ == entries_.size() && left_ == 0; }

    void Skip(uint64_t bytes) { skip_ = bytes; }

    // The file half-written when a decode fails: its temporary goes.
    void Drop() { out_.reset(); }

  private:
    bool Fail(const char* text) {
        message = text;
        return false;
    }

    std::string Shown(const std::string& path) const { return Joined(root_, path); }

    bool WriteFailed(int error) {
        const std::string& path = current_.empty() ? std::string() : Shown(current_);
        if (IsFullDisk(error)) {
            code = kPixErrWrite;
            dialog_.OutputWritten(path, code);
        } else {
            message = std::string(PixErrorText(kPixErrOpen)) + " " + ShownName(path) + ": " +
                      Reason(error);
        }
        return false;
    }

    // Moves on while the current entry needs no bytes: folders are made,
    // empty files written; the next file with bytes is opened.
    bool Advance() {
        while (left_ == 0 && next_ < entries_.size()) {
            if (dialog_.StopRequested()) {
                stopped = true;
                return false;
            }
            const Entry& entry = entries_[next_];
            const Plan& plan = plans_[next_];
            ++next_;
            current_ = entry.path;
            if (entry.folder) {
                const int folder = tree_.Open(entry.path, true);
                if (folder < 0) return WriteFailed(errno);
                ::close(folder);
                continue;
            }
            if (plan.skip) {
                out_.reset();
                left_ = entry.size;
                if (left_ == 0) continue;
                return true;
            }
            if (!plan.elsewhere.empty()) {
                out_ = std::make_unique<OutputFile>(plan.elsewhere, Replace::kLinkTarget);
            } else {
                const int folder = tree_.Open(ParentOf(entry.path), true);
                if (folder < 0) return WriteFailed(errno);
                out_ = std::make_unique<OutputFile>(folder, LeafOf(entry.path), plan.replace);
                ::close(folder);
            }
            if (out_->error() != 0) return WriteFailed(out_->error());
            left_ = entry.size;
            if (left_ > 0) return true;
            if (!Finish()) return false;
        }
        return true;
    }

    bool Finish() {
        const Entry& entry = entries_[next_ - 1];
        const Plan& plan = plans_[next_ - 1];
        if (!out_) return true;  // skipped
        const bool published = out_->Publish();
        const int error = out_->error();
        out_.reset();
        // A file that appeared since the question is kept, and so is what
        // this decode wrote so far: the question would come too late.
        if (!published) return WriteFailed(error);
        const std::string path = plan.elsewhere.empty() ? Shown(entry.path) : plan.elsewhere;
        if (!plan.elsewhere.empty() && !plan.existed) madeElsewhere.push_back(plan.elsewhere);
        if (plan.elsewhere.empty() && plan.replace == Replace::kNever)
            madeFiles.push_back(entry.path);
        ++files;
        bytes += entry.size;
        dialog_.SetStatus("Writing " + ShownName(path));
        dialog_.OutputWritten(path, 0);
        return true;
    }

    DialogPort& dialog_;
    OutputTree& tree_;
    std::string root_;
    const std::vector<Entry>& entries_;
    const std::vector<Plan>& plans_;
    std::unique_ptr<OutputFile> out_;
    std::string current_;
    size_t next_ = 0;
    uint64_t left_ = 0, skip_ = 0;
};

// Opens the folder the entries go into: the output folder, or the image's
// own folder inside it (made when missing, never through a link).
bool OpenDestination(DialogPort& dialog, const std::string& image,
                     const std::vector<Entry>& entries, Destination* to) {
    const std::string base = dialog.OutputDirectory();  // empty: the current one
    to->parent = ::open(base.empty() ? "." : base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (to->parent < 0) {
        dialog.ShowMessage("Unable to open the folder " + ShownName(base) + ": " + Reason(errno));
        return false;
    }
    to->shown = base;
    if (!dialog.EntriesInOwnFolder() || TopCount(entries) < 2) {
        to->fd = ::fcntl(to->parent, F_DUPFD_CLOEXEC, 0);
        if (to->fd < 0)
            dialog.ShowMessage("Unable to write into " + ShownName(base) + ": " + Reason(errno));
        return to->fd >= 0;
    }
    const std::string name = ImageFolderName(image);
    to->shown = Joined(base, name);
    if (::mkdirat(to->parent, name.c_str(), 0777) == 0) {
        to->made = true;
        to->madeName = name;
    }
    to->fd = ::openat(to->parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (to->fd < 0) {
        dialog.ShowMessage("Unable to write into " + ShownName(to->shown) + ": " + Reason(errno));
        return false;
    }
    return true;
}

// Asks about every entry already there, before anything is written; false
// when the decode cannot go on (a file stands where a folder goes, or a
// folder where a file goes), having said why.
bool PlanEntries(DialogPort& dialog, OutputTree& tree, const std::string& shownRoot,
                 const std::vector<Entry>& entries, std::vector<Plan>* plans) {
    plans->assign(entries.size(), Plan{});
    std::vector<size_t> existing;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const int mode = tree.Look(entry.path);
        const int error = errno;  // before the message's own calls can change it
        const bool blocked = mode < 0 || (mode != 0 && entry.folder && !S_ISDIR(mode)) ||
                             (mode != 0 && !entry.folder && S_ISDIR(mode));
        if (blocked) {
            dialog.ShowMessage("Unable to write " + ShownName(Joined(shownRoot, entry.path)) +
                               ": " +
                               (mode < 0 ? Reason(error) : "another kind of entry is there"));
            return false;
        }
        if (mode != 0 && !entry.folder) existing.push_back(i);
    }
    std::vector<std::string> shown;
    for (size_t i : existing) shown.push_back(Joined(shownRoot, entries[i].path));
    const int all = existing.size() > 1 ? dialog.ReplaceAll(shown) : -1;
    for (size_t k = 0; k < existing.size(); ++k) {
        Plan& plan = (*plans)[existing[k]];
        if (all >= 0) {
            plan.replace = Replace::kEntry;
            plan.skip = all == 0;
            continue;
        }
        // The same question, with the same answers, as a decode of one file.
        switch (dialog.AskExisting(ShownName(shown[k]))) {
            case DialogPort::ExistsAnswer::Replace:
                plan.replace = Replace::kEntry;
                continue;
            case DialogPort::ExistsAnswer::SaveAs:
                plan.elsewhere = dialog.AskOutputFile(shown[k]);
                break;
            case DialogPort::ExistsAnswer::Cancel:
                break;
        }
        plan.skip = plan.elsewhere.empty();
        struct stat info {};
        plan.existed = !plan.skip && ::lstat(plan.elsewhere.c_str(), &info) == 0;
    }
    return true;
}

}  // namespace

int WriteEntries(DialogPort& dialog, const std::string& image, const UnsealedFile& file,
                 const std::vector<Entry>& entries) {
    if (dialog.StopRequested()) return kRunStopped;
    Destination to;
    const bool opened = OpenDestination(dialog, image, entries, &to);
    auto removeMadeFolder = [&] {
        if (to.made) ::unlinkat(to.parent, to.madeName.c_str(), AT_REMOVEDIR);
    };
    OutputTree tree(to.fd);
    if (!opened) {
        removeMadeFolder();
        if (to.parent >= 0) ::close(to.parent);
        return 0;
    }
    std::vector<Plan> plans;
    EntryWriter writer(dialog, tree, to.shown, entries, plans);
    const bool planned = PlanEntries(dialog, tree, to.shown, entries, &plans);
    bool whole = false;
    if (planned) {
        writer.Skip(kHeadBytes + TableBytes(entries));
        whole = StreamRecord(file, [&](const uint8_t* bytes, size_t size) {
                    return writer.Take(bytes, size);
                }) &&
                writer.End();
        if (!whole) {
            writer.Drop();  // its temporary first, or its folder is not empty
            tree.Undo(writer.madeFiles);
            for (const std::string& path : writer.madeElsewhere) ::unlink(path.c_str());
        }
    }
    if (!whole) removeMadeFolder();
    ::close(to.parent);
    if (!whole) {
        if (writer.stopped) return kRunStopped;
        if (writer.code != 0) return writer.code;
        // Nothing more to say when the plan said it; else a frame that
        // proved damaged, or what the writer met.
        if (planned)
            dialog.ShowMessage(writer.message.empty() ? kInvalidFileMessage : writer.message);
        return 0;
    }
    dialog.EntriesWritten(to.shown, writer.files, writer.bytes);
    dialog.SetStatus(std::to_string(writer.files) + (writer.files == 1 ? " file" : " files") +
                     " written into " + ShownName(to.shown));
    dialog.StepProgress();
    return 0;
}
