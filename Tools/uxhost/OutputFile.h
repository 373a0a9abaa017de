// How every command of the host writes what it makes, so that no command can
// destroy what the user has:
// - an output that is one of the command's inputs (under any name: another path,
//   a symbolic link, a hard link) is refused before anything is written;
// - an existing output the user may not write is refused, as copying onto it would
//   be; a folder is refused;
// - the bytes go to a temporary file beside the output, renamed into place only
//   when complete, so a failure leaves nothing and an existing file untouched; the
//   new file keeps the permission bits of the one it replaces; an output that is a
//   symbolic link stays one, and the file it points to is replaced;
// - "-" is standard output, refused when it is a terminal; standard output, and an
//   existing device or pipe named as the output, get the bytes only once they are
//   complete, so a failure writes nothing there either;
// - an interrupt, hang-up, termination or broken pipe signal (Ctrl-C, kill,
//   timeout, `| head`) removes the temporary files being written before the
//   process ends as the signal ends it, unless the process was started ignoring
//   the signal; so does a filter's crash (HandOver.h).
//
// A command that has its whole file at once writes it with one call:
//     WriteOutputFile(options.output, png, {inputPath});
// A command that writes as it goes (a MIDI or a sound file) makes an OutputFile
// before it reads its inputs, hands it the bytes, and commits:
//     OutputFile output(outputPath, {inputPath});
//     ... output.Append(...) and output.Overwrite(...) ...
//     output.Commit();
// A command that writes a folder writes each of its files as an OutputFile.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include <Smf.h>

#include "MidiFileIo.h"

struct TemporarySlot;

class OutputFile : public SmfSink {
public:
    // `path` is the file to write, or "-" for standard output; `inputs` are the
    // files the command reads ("-" for standard input). Throws FileError, naming
    // the output and the problem, for an output that cannot or must not be written.
    explicit OutputFile(std::string path, const std::vector<std::string>& inputs = {});
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // How messages name the output: its path as given, or "standard output".
    const std::string& Name() const { return mName; }

    void Append(const uint8_t* bytes, size_t size) override;
    // Writes over bytes already appended (a length in a header, say).
    void Overwrite(uint64_t offset, const uint8_t* bytes, size_t size) override;
    // Puts the output in place. An OutputFile destroyed without it leaves no trace.
    void Commit();

private:
    void OpenTemporary(const struct stat* replaced);
    void WriteStream();
    [[noreturn]] void Fail(const std::string& problem);
    void ReleaseSlot();

    std::string mName;
    std::string mTarget;             // the file replaced: the output, or where its links lead
    std::string mTemporary;          // beside mTarget, renamed onto it by Commit()
    int mFd = -1;                    // the temporary file, while it is being written
    TemporarySlot* mSlot = nullptr;  // where the signal handler finds mTemporary
    bool mStreamed = false;          // the bytes wait in mBuffer for a stream: stdout, a device, a pipe
    std::vector<uint8_t> mBuffer;
};

// Removes the temporary files being written, from a signal handler: calls nothing
// but unlink. The OutputFiles of this binary only: uxhost's media module has its own.
void RemoveTemporaryFiles();

// The whole of `bytes` as the output `path`, with every rule of OutputFile.
void WriteOutputFile(const std::string& path, const std::vector<uint8_t>& bytes,
                     const std::vector<std::string>& inputs = {});
