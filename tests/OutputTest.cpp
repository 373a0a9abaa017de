// What the commands that write files do with what the user has, through the built
// uxhost: each case runs in a folder of the same files and checks the exit code,
// the one line on standard error, standard output, and every file of the folder,
// byte for byte and mode for mode.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <Smf.h>

#include "ScratchFolder.h"

namespace {

namespace fs = std::filesystem;

// A file's bytes and permission bits, or a symbolic link's target (mode 0).
struct Entry {
    std::string bytes;
    mode_t mode;

    bool operator==(const Entry& other) const { return bytes == other.bytes && mode == other.mode; }
};
using Folder = std::map<std::string, Entry>;

std::ostream& operator<<(std::ostream& out, const Entry& entry)
{
    return out << std::oct << entry.mode << std::dec << ", " << entry.bytes.size() << " bytes";
}

std::string Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Folder Snapshot(const fs::path& dir)
{
    Folder folder;
    for (const auto& item : fs::directory_iterator(dir)) {
        struct stat info {};
        lstat(item.path().c_str(), &info);
        folder[item.path().filename().string()] = S_ISLNK(info.st_mode)
            ? Entry{fs::read_symlink(item.path()).string(), 0}
            : Entry{Contents(item.path()), info.st_mode & 07777};
    }
    return folder;
}

void WriteFile(const fs::path& path, const std::string& bytes, mode_t mode)
{
    std::ofstream(path, std::ios::binary) << bytes;
    chmod(path.c_str(), mode);
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs uxhost in `dir` with `input` (a file there, or nothing) on standard input,
// and a terminal or a file as standard output.
Result RunUxhost(const fs::path& dir, const fs::path& scratch, const std::vector<std::string>& args, const char* input,
                 bool terminal)
{
    std::vector<char*> argv{const_cast<char*>(UXHOST_PATH)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const fs::path outPath = scratch / "stdout";
    const fs::path errPath = scratch / "stderr";
    const int in = open(input ? (dir / input).c_str() : "/dev/null", O_RDONLY);
    int terminalMaster = -1;
    int out = -1;
    if (terminal) {
        terminalMaster = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(terminalMaster, 0) << "no pseudo-terminal";
        grantpt(terminalMaster);
        unlockpt(terminalMaster);
        out = open(ptsname(terminalMaster), O_RDWR | O_NOCTTY);
    } else {
        out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    const pid_t child = fork();
    if (child == 0) {
        umask(022);
        if (chdir(dir.c_str()) == 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2)
            execv(UXHOST_PATH, argv.data());
        _exit(127);
    }
    Result result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    for (const int fd : {in, out, err, terminalMaster})
        if (fd >= 0)
            close(fd);
    result.out = terminal ? "" : Contents(outPath);
    result.err = Contents(errPath);
    return result;
}

class Output : public ScratchFolderTest {
protected:
    Output() : ScratchFolderTest("uxhost-output") {}

    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        mFolder = mScratch / "folder";
    }

    // The files every case starts from.
    void MakeFolder(const std::string& song)
    {
        fs::remove_all(mFolder);
        fs::create_directory(mFolder);
        WriteFile(mFolder / "song.mid", song, 0644);
        WriteFile(mFolder / "text.mid", "hello, world\n", 0644);
        WriteFile(mFolder / "private.mid", "old private\n", 0600);
        WriteFile(mFolder / "read-only.mid", "old read-only\n", 0444);
        WriteFile(mFolder / "target.mid", "old target\n", 0640);
        fs::create_symlink("target.mid", mFolder / "link.mid");
        fs::create_hard_link(mFolder / "song.mid", mFolder / "hard.mid");
        fs::create_symlink(PluginPath(), mFolder / "plugin.so");
    }

    static std::string PluginPath() { return std::string(UX_BUILD_ADDON_DIR) + "/Dissolve.so"; }

    // Whether cp, run as this user, replaces a file of mode 444.
    bool CopyReplacesReadOnly() const
    {
        const fs::path probe = mScratch / "probe";
        WriteFile(probe, "", 0444);
        const std::string command = "cp /dev/null '" + probe.string() + "' 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }

    fs::path mFolder;
};

TEST_F(Output, EveryCommandKeepsWhatTheUserHas)
{
    SmfFile phrase;
    phrase.format = 0;
    phrase.division = 480;
    phrase.tracks.push_back({{{0, {0x90, 60, 100}}, {480, {0x80, 60, 64}}}, 480});
    const std::vector<uint8_t> songBytes = WriteSmf(phrase);
    const std::string song(songBytes.begin(), songBytes.end());
    MakeFolder(song);
    const Result reference =
        RunUxhost(mFolder, mScratch, {"apply", "-f", "Dissolve", "song.mid", "-o", "-"}, nullptr, false);
    ASSERT_EQ(reference.status, 0) << reference.err;
    const std::string filtered = reference.out;
    const bool replaceReadOnly = CopyReplacesReadOnly();

    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* input;  // the file of the folder on standard input
        bool terminal;      // standard output is a terminal
        int status;
        std::string line;  // on standard error
        Folder changes;    // to the folder, file by file
        std::string out;
    };
    auto Apply = [](const char* input, const char* output) {
        return std::vector<std::string>{"apply", "-f", "Dissolve", input, "-o", output};
    };
    const Case cases[] = {
        {"output is the input",
         Apply("song.mid", "song.mid"),
         nullptr,
         false,
         2,
         "uxhost: song.mid: cannot write: it is the same file as song.mid",
         {},
         ""},
        {"spelt another way",
         Apply("song.mid", "./song.mid"),
         nullptr,
         false,
         2,
         "uxhost: ./song.mid: cannot write: it is the same file as song.mid",
         {},
         ""},
        {"through a symbolic link",
         Apply("target.mid", "link.mid"),
         nullptr,
         false,
         2,
         "uxhost: link.mid: cannot write: it is the same file as target.mid",
         {},
         ""},
        {"through a hard link",
         Apply("song.mid", "hard.mid"),
         nullptr,
         false,
         2,
         "uxhost: hard.mid: cannot write: it is the same file as song.mid",
         {},
         ""},
        {"standard input is the output",
         Apply("-", "song.mid"),
         "song.mid",
         false,
         2,
         "uxhost: song.mid: cannot write: it is the same file as standard input",
         {},
         ""},
        {"icon onto its plug-in",
         {"icon", "Dissolve", "-o", "plugin.so"},
         nullptr,
         false,
         2,
         "uxhost: plugin.so: cannot write: it is the same file as " + PluginPath(),
         {},
         ""},
        {"read-only output, as cp does", Apply("song.mid", "read-only.mid"), nullptr, false, replaceReadOnly ? 0 : 2,
         replaceReadOnly ? "" : "uxhost: read-only.mid: cannot write: Permission denied",
         replaceReadOnly ? Folder{{"read-only.mid", {filtered, 0444}}} : Folder{}, ""},
        {"replaced file keeps its mode",
         Apply("song.mid", "private.mid"),
         nullptr,
         false,
         0,
         "",
         {{"private.mid", {filtered, 0600}}},
         ""},
        {"link stays a link",
         Apply("song.mid", "link.mid"),
         nullptr,
         false,
         0,
         "",
         {{"target.mid", {filtered, 0640}}},
         ""},
        {"standard input to a new file",
         Apply("-", "new.mid"),
         "song.mid",
         false,
         0,
         "",
         {{"new.mid", {filtered, 0644}}},
         ""},
        {"a pipeline", Apply("-", "-"), "song.mid", false, 0, "", {}, filtered},
        {"standard output a terminal",
         Apply("song.mid", "-"),
         nullptr,
         true,
         2,
         "uxhost: standard output: is a terminal; redirect it to a file or a pipe",
         {},
         ""},
        {"bad standard input",
         Apply("-", "new.mid"),
         "text.mid",
         false,
         2,
         "uxhost: standard input: not a Standard MIDI File: it does not begin with MThd",
         {},
         ""},
        {"a device is written into", Apply("song.mid", "/dev/null"), nullptr, false, 0, "", {}, ""},
        {"unknown command",
         {"rol"},
         nullptr,
         false,
         2,
         "uxhost: no command 'rol'; the commands are list, info, apply, icon, demo, roll, render, live, lv2-bundle, "
         "vst3-bundle, clap-bundle, check",
         {},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeFolder(song);
        Folder expected = Snapshot(mFolder);
        for (const auto& [name, entry] : c.changes)
            expected[name] = entry;
        const Result result = RunUxhost(mFolder, mScratch, c.args, c.input, c.terminal);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.line.empty() ? "" : c.line + "\n");
        EXPECT_TRUE(result.out == c.out) << "standard output: " << result.out.size() << " bytes";
        EXPECT_EQ(Snapshot(mFolder), expected);
    }
    struct stat null {};
    EXPECT_TRUE(stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode));
}

}  // namespace
