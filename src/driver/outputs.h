// driver/outputs.h: the replay's output files: checked before the run, written
// under a temporary name beside their place and put there whole, and removed
// when a signal ends the run.
//
// A file is known by its identity, not by its spelling: two outputs that name
// one file ("x", "./x", "d/../x", a hard link, a symbolic link to it, even one
// whose target does not exist yet) are refused. An output that is a symbolic
// link stays one: its final target gets the data, written beside the target.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace lv {

// One requested output. A file is written under a temporary name beside it
// and renamed once complete, so a run that fails or is stopped never leaves a
// file of the final name that looks whole. A writer that needs a name rather
// than a stream (a library that opens the file itself) writes `temporary()`
// and calls `commit()`.
class OutputFile {
  public:
    static constexpr int kMax = 8;  // outputs one process may have in flight

    explicit OutputFile(const char *option);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    const char *option() const { return option_; }
    const char *path = nullptr;  // null: not requested; "-": standard output

    bool requested() const { return path != nullptr; }
    bool to_stdout() const;

    // Makes the temporary file beside the final target: new (O_EXCL), with the
    // mode any new file gets, the kernel applying the umask. Answers "" or why
    // it could not (a directory, a file that is not a regular one, a place
    // where no file can be made).
    std::string open();
    const std::string &temporary() const { return temporary_; }
    // The file the data replaces: `path` with its symbolic links followed.
    const std::string &target() const { return target_; }
    std::FILE *file() const { return file_; }

    // Writes `text` (to `out` when the output is standard output) and puts the
    // file in place; false, having said why on standard error and removed the
    // temporary file, when that fails.
    bool finish(const std::string &text, std::FILE *out);
    // Closes the temporary file's stream, leaving the file, for a writer that
    // opens it by name; false when closing fails.
    bool close_stream();
    // Sets aside `bytes` of the file system for the temporary file, without
    // changing its size, so that a disk too full for the output refuses it
    // before the run rather than losing it after: "" or why it could not.
    // Where the file system cannot set space aside, nothing is checked.
    std::string reserve(uint64_t bytes) const;
    // Puts in place a temporary file that was written by name.
    bool commit();
    // Removes the temporary file, if any.
    void discard();

  private:
    bool fail(const char *what);
    const char *option_;
    int slot_;
    std::string target_;
    std::string temporary_;
    std::FILE *file_ = nullptr;
};

// What refuses a set of outputs before the run ("" when nothing does): more
// than one of them on standard output, or two naming the same file.
std::string outputs_problem(std::span<OutputFile *const> outputs);

// Opens every requested output that is a file; on the first that cannot be
// made, discards those already made and answers why ("" when all are open).
std::string open_outputs(std::span<OutputFile *const> outputs);

// Where the data for standard output goes: standard output itself, unless an
// output is "-": then standard output carries the data alone, through a copy
// of it, and the report goes to standard error, byte for byte as it would have
// gone to standard output. Null, having said why, when that fails.
std::FILE *data_stream(std::span<OutputFile *const> outputs);

// `path` with its symbolic links followed to the last one's target, whether
// that exists or not ("" after too many links). Relative targets are joined
// to the link's directory as written, so the kernel resolves any ".." there.
std::string final_target(const std::string &path);

// What a file is, whatever its name: its device and inode; for a file that
// does not exist yet, its directory's device and inode and its own name.
struct FileIdentity {
    unsigned long long device = 0, inode = 0;
    std::string name;  // empty for an existing file
    bool operator==(const FileIdentity &) const = default;
};
FileIdentity identity_of(const std::string &path);

// From here on, a signal that ends the run (HUP, INT, PIPE, TERM, unless the
// caller ignores it) first removes the temporary files in flight.
void remove_outputs_on_signals();

// The program's name in its messages.
extern const char *program_name;

}  // namespace lv
