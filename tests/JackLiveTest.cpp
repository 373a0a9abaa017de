// uxhost live on a JACK server of the test's own (the dummy backend, named after
// the test's process so that tests running at once never share one), between a
// client of the test that plays notes into midi_in and one that records midi_out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <jack/jack.h>
#include <jack/midiport.h>

#include "JackLive.h"
#include "RunCommand.h"
#include "TestSupport.h"

#include "RealtimeProof.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kRate = 48000;
constexpr int kPeriod = 256;

// Starts `argv` with its standard output and error going to `log`; the pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status of `pid` within `limit`; -1 when it did not exit then (it is
// killed) or died of a signal.
int WaitFor(pid_t pid, std::chrono::milliseconds limit)
{
    int status = 0;
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Until(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (done())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// A client's name, the test's process in it: a client's socket is named after the
// client alone, whatever its server, so tests running at once must not share one.
std::string Unique(const char* name)
{
    return std::string(name) + "-" + std::to_string(getpid());
}

// The test's own server, started at the first use and ended with the process.
// `timeout` ends it in any case, should the test die before.
class PrivateServer {
public:
    PrivateServer() : mName("ux-live-test-" + std::to_string(getpid()))
    {
        setenv("JACK_DEFAULT_SERVER", mName.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        signal(SIGPIPE, SIG_IGN);
        // Synchronous, with a generous timeout: every client finishes every cycle,
        // however loaded the machine, so that frames come out exact.
        mPid = Spawn({"timeout", "-k", "5", "300", "jackd", "-n", mName, "--no-realtime", "-S", "-t", "10000", "-p",
                      "64", "-d", "dummy", "-r", std::to_string(kRate), "-p", std::to_string(kPeriod)},
                     testing::TempDir() + mName + ".log");
        jack_set_error_function([](const char*) {});  // not up yet: no need to say it
        mUp = Until(
            [] {
                jack_client_t* probe = jack_client_open(Unique("probe").c_str(), JackNoStartServer, nullptr);
                if (probe)
                    jack_client_close(probe);
                return probe != nullptr;
            },
            20s);
        jack_set_error_function(nullptr);
    }
    ~PrivateServer()
    {
        kill(mPid, SIGTERM);
        WaitFor(mPid, 10s);
        if (mUp && testing::UnitTest::GetInstance()->Passed())  // else its log may tell why
            std::remove((testing::TempDir() + mName + ".log").c_str());
    }
    bool Up() const { return mUp; }
    const std::string& Name() const { return mName; }

private:
    std::string mName;
    pid_t mPid = -1;
    bool mUp = false;
};

PrivateServer& Server()
{
    static PrivateServer server;
    return server;
}

struct Message {
    int64_t frame;
    std::array<uint8_t, 3> bytes;
};

// A note as it sounded: the same for a recording and for a file.
struct Note {
    int64_t start;
    int channel;
    int pitch;
    int velocity;
    int64_t length;
    bool operator<(const Note& other) const
    {
        return std::tie(start, channel, pitch, velocity, length)
            < std::tie(other.start, other.channel, other.pitch, other.velocity, other.length);
    }
    bool operator==(const Note& other) const { return !(*this < other) && !(other < *this); }
};

std::ostream& operator<<(std::ostream& out, const Note& note)
{
    return out << "{" << note.start << " ch" << note.channel + 1 << " " << note.pitch << " v" << note.velocity
               << " len " << note.length << "}";
}

struct Heard {
    std::vector<Note> notes;  // in order of start
    int sounding = 0;         // note-ons never ended
};

Heard Listen(const std::vector<Message>& messages)
{
    Heard heard;
    std::map<int, Note> on;  // by channel and pitch
    for (const Message& message : messages) {
        const int kind = message.bytes[0] & 0xF0;
        const int channel = message.bytes[0] & 0x0F;
        const int key = channel * 128 + message.bytes[1];
        if (kind == 0x90 && message.bytes[2] > 0) {
            on[key] = {message.frame, channel, message.bytes[1], message.bytes[2], 0};
        } else if ((kind == 0x80 || kind == 0x90) && on.count(key)) {
            Note note = on[key];
            note.length = message.frame - note.start;
            heard.notes.push_back(note);
            on.erase(key);
        }
    }
    heard.sounding = static_cast<int>(on.size());
    std::sort(heard.notes.begin(), heard.notes.end());
    return heard;
}

// A client of the test: `out` plays messages from the cycle after Start(), at
// their frames counted from there; `in` records what comes. Each runs in the server's cycle without a lock.
class TestClient {
public:
    TestClient(const char* name, std::vector<Message> play) : mPlay(std::move(play))
    {
        mHeard.resize(100000);
        mClient = jack_client_open(Unique(name).c_str(), JackNoStartServer, &mStatus);
        if (!mClient)
            return;
        mOut = jack_port_register(mClient, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        mIn = jack_port_register(mClient, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(mClient, Process, this);
        jack_activate(mClient);
    }
    ~TestClient()
    {
        if (mClient)
            jack_client_close(mClient);
    }
    bool Open() const { return mClient != nullptr; }
    int Status() const { return mStatus; }
    std::string Name() const { return jack_get_client_name(mClient); }
    bool Connected() const { return jack_port_connected(mOut) > 0 || jack_port_connected(mIn) > 0; }
    void Start() { mStarting.store(true); }
    void Roll(bool rolling) { rolling ? jack_transport_start(mClient) : jack_transport_stop(mClient); }
    bool Played() const { return mNext.load() == mPlay.size(); }
    // The frames the server has played since `player`'s first cycle: a slow client
    // (under valgrind) slows the server's clock down, not the wall clock.
    int64_t FramesSince(const TestClient& player) const { return mNow.load() - player.mBase.load(); }
    // What came, at frames counted from the first cycle `player` played in.
    std::vector<Message> Recorded(const TestClient& player) const
    {
        std::vector<Message> heard(mHeard.begin(), mHeard.begin() + mHeardCount.load());
        for (Message& message : heard)
            message.frame -= player.mBase.load();
        return heard;
    }

private:
    static int Process(jack_nframes_t frames, void* self)
    {
        static_cast<TestClient*>(self)->Cycle(frames);
        return 0;
    }
    void Cycle(jack_nframes_t frames)
    {
        const int64_t now = jack_last_frame_time(mClient);
        mNow.store(now);
        if (mStarting.load() && mBase.load() < 0)
            mBase.store(now);
        const int64_t base = mBase.load();
        void* out = jack_port_get_buffer(mOut, frames);
        jack_midi_clear_buffer(out);
        for (size_t next = mNext.load(); base >= 0 && next < mPlay.size(); mNext.store(++next)) {
            const int64_t at = base + mPlay[next].frame - now;
            if (at >= frames)
                break;
            jack_midi_event_write(out, static_cast<jack_nframes_t>(at), mPlay[next].bytes.data(), 3);
        }
        void* in = jack_port_get_buffer(mIn, frames);
        for (uint32_t i = 0; i < jack_midi_get_event_count(in); ++i) {
            jack_midi_event_t event;
            const size_t count = mHeardCount.load();
            if (jack_midi_event_get(&event, in, i) != 0 || event.size != 3 || count == mHeard.size())
                continue;
            mHeard[count] = {now + event.time, {event.buffer[0], event.buffer[1], event.buffer[2]}};
            mHeardCount.store(count + 1);
        }
    }

    std::vector<Message> mPlay;
    std::vector<Message> mHeard;
    std::atomic<size_t> mHeardCount{0};
    std::atomic<size_t> mNext{0};
    std::atomic<bool> mStarting{false};
    std::atomic<int64_t> mBase{-1};
    std::atomic<int64_t> mNow{0};
    jack_status_t mStatus{};
    jack_client_t* mClient = nullptr;
    jack_port_t* mOut = nullptr;
    jack_port_t* mIn = nullptr;
};

// A few notes on channels 1 and 2, some overlapping; `held` leaves the last one
// held, as a player's key still down.
std::vector<Message> Song(bool held)
{
    struct {
        int64_t start, length;
        uint8_t channel, pitch, velocity;
    } const notes[] = {{0, 2400, 0, 60, 100},
                       {1200, 4800, 1, 64, 90},
                       {7000, 1000, 0, 67, 110},
                       {9000, 3000, 1, 72, 80},
                       {9000, 2000, 0, 48, 70}};
    std::vector<Message> song;
    for (const auto& note : notes) {
        song.push_back({note.start, {uint8_t(0x90 | note.channel), note.pitch, note.velocity}});
        if (!held || &note != &notes[std::size(notes) - 1])
            song.push_back({note.start + note.length, {uint8_t(0x80 | note.channel), note.pitch, 64}});
    }
    std::stable_sort(song.begin(), song.end(), [](const Message& a, const Message& b) { return a.frame < b.frame; });
    return song;
}

// What `uxhost apply` makes of `song` with `options`, one tick a frame.
std::vector<Message> Applied(const std::vector<Message>& song, const std::vector<std::string>& options,
                             const std::string& folder)
{
    std::ofstream csv(folder + "/song.csv");
    csv << "0, 0, Header, 0, 1, 960\n1, 0, Start_track\n";
    for (const Message& message : song)
        csv << "1, " << message.frame << ", " << ((message.bytes[0] & 0xF0) == 0x90 ? "Note_on_c" : "Note_off_c")
            << ", " << (message.bytes[0] & 0x0F) << ", " << int(message.bytes[1]) << ", " << int(message.bytes[2])
            << "\n";
    csv << "1, " << song.back().frame << ", End_track\n0, 0, End_of_file\n";
    csv.close();
    std::string command = "csvmidi " + folder + "/song.csv " + folder + "/song.mid && " UXHOST_PATH " apply -q";
    for (const std::string& option : options)
        command += " '" + option + "'";
    command += " " + folder + "/song.mid -o " + folder + "/applied.mid && midicsv " + folder + "/applied.mid";
    const Output said = RunCommand(command);
    EXPECT_EQ(said.status, 0) << command;
    std::vector<Message> messages;
    std::istringstream lines(said.text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string track, tick, type, channel, pitch, velocity;
        if (!(std::getline(fields, track, ',') && std::getline(fields, tick, ',') && std::getline(fields, type, ',')
              && std::getline(fields, channel, ',') && std::getline(fields, pitch, ',')
              && std::getline(fields, velocity, ',')))
            continue;
        const uint8_t status = type == " Note_on_c" ? 0x90 : type == " Note_off_c" ? 0x80 : 0;
        if (status)
            messages.push_back(
                {std::stoll(tick),
                 {uint8_t(status | std::stoi(channel)), uint8_t(std::stoi(pitch)), uint8_t(std::stoi(velocity))}});
    }
    return messages;
}

std::string Folder(const std::string& name)
{
    const std::string folder = testing::TempDir() + "ux-live-" + std::to_string(getpid()) + "-" + name;
    std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str());
    return folder;
}

struct LiveCase {
    const char* name;
    std::vector<std::string> options;  // after -f FILTER, as `apply` takes them
    int signal;
    bool held;  // the signal comes while the last note is held and chains sound
    // What uxhost says after the ports, with the count of notes played without
    // their chains, which may come in several lines of "%d" summing to it (the
    // report goes out once a second); then no chain is compared.
    std::string alsoSaid = "";
    int withoutChains = 0;
};

// Whether `said` is lines of `line` whose "%d"s add up to `total`.
bool SaysInLines(const std::string& said, const std::string& line, int total)
{
    const size_t at = line.find("%d");
    std::istringstream lines(said);
    int sum = 0;
    for (std::string each; std::getline(lines, each);) {
        const size_t after = line.size() - at - 2;
        if (each.size() <= line.size() - 2 || each.compare(0, at, line, 0, at) != 0
            || each.compare(each.size() - after, after, line, at + 2, std::string::npos) != 0)
            return false;
        sum += std::atoi(each.substr(at, each.size() - after - at).c_str());
    }
    return sum == total;
}

void PrintTo(const LiveCase& row, std::ostream* out)
{
    *out << row.name;
}

class UxhostLive : public testing::TestWithParam<LiveCase> {};

// The notes out are those `apply` writes for the same notes; the signal ends what
// sounds, and uxhost exits 0 having said which ports it opened and connected.
TEST_P(UxhostLive, PlaysAsApplyAndEndsWhatSounds)
{
    const LiveCase& row = GetParam();
    ASSERT_TRUE(Server().Up()) << ReadAll(testing::TempDir() + Server().Name() + ".log");
    const std::string folder = Folder(row.name);
    const std::vector<Message> song = Song(row.held);
    TestClient feed("feed", song);
    TestClient record("record", {});
    ASSERT_TRUE(feed.Open() && record.Open()) << feed.Status() << " " << record.Status();
    const std::string name = Unique("live");
    std::vector<std::string> argv = {
        UXHOST_PATH,          "live", "--name", name, "--connect-in", feed.Name() + ":out", "--connect-out",
        record.Name() + ":in"};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    const pid_t live = Spawn(argv, folder + "/said");
    ASSERT_GT(live, 0);
    const bool connected = Until([&] { return feed.Connected() && record.Connected(); }, 30s);
    EXPECT_TRUE(connected) << ReadAll(folder + "/said");
    feed.Start();
    const bool compared = !row.held && row.alsoSaid.empty();
    const std::vector<Message> applied = compared ? Applied(Song(false), row.options, folder) : std::vector<Message>();
    const int64_t last = std::max(song.back().frame, applied.empty() ? 0 : applied.back().frame);
    EXPECT_TRUE(Until([&] { return feed.Played() && record.FramesSince(feed) > last + 4 * kPeriod; }, 60s));
    kill(live, row.signal);
    EXPECT_EQ(WaitFor(live, 10s), 0) << ReadAll(folder + "/said");
    const std::string said = ReadAll(folder + "/said");
    const std::string opened = "uxhost live: opened " + name + ":midi_in and " + name + ":midi_out; connected "
        + feed.Name() + ":out to " + name + ":midi_in, " + name + ":midi_out to " + record.Name()
        + ":in; Ctrl-C ends\n";
    ASSERT_EQ(said.substr(0, opened.size()), opened);
    if (row.alsoSaid.empty())
        EXPECT_EQ(said, opened);
    else
        EXPECT_TRUE(SaysInLines(said.substr(opened.size()), row.alsoSaid, row.withoutChains)) << said;

    const Heard heard = Listen(record.Recorded(feed));
    EXPECT_EQ(heard.sounding, 0);
    ASSERT_FALSE(heard.notes.empty());
    if (compared) {
        const Heard expected = Listen(applied);
        EXPECT_GT(expected.notes.size(), 5u) << "the filter made no chain";
        EXPECT_EQ(heard.notes, expected.notes);
    }
    if (!HasFailure())
        std::system(("rm -rf '" + folder + "'").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UxhostLive,
    testing::Values(LiveCase{"Dissolve", {"-f", "Dissolve"}, SIGINT, false},
                    LiveCase{"FractalDriftOnChannel2",
                             {"-f", "Fractal Drift", "--channels", "2", "--clock", "1000000"},
                             SIGTERM,
                             false},
                    LiveCase{"BetaFadeEndedWhileNotesSound", {"-f", "Beta Fade"}, SIGHUP, true},
                    LiveCase{"DissolveEndedWhileNotesSound", {"-f", "Dissolve"}, SIGINT, true},
                    LiveCase{"ThrowingFilterSaid",
                             {"-f", UX_FAULTY_DIR "/Throwing.so"},
                             SIGINT,
                             false,
                             "uxhost live: a filter threw an exception (no chain for this note); %d notes played "
                             "without their chains",
                             5}),
    [](const testing::TestParamInfo<LiveCase>& info) { return std::string(info.param.name); });

// Bad input: one line naming the server or the port, exit 2.
TEST(UxhostLiveRefuses, WithOneLine)
{
    ASSERT_TRUE(Server().Up());
    const std::string none = "ux-live-none-" + std::to_string(getpid());
    const struct {
        const char* name;
        std::string command;
        std::string line;
    } rows[] = {
        {"no server", "JACK_DEFAULT_SERVER=" + none + " " UXHOST_PATH " live -f Dissolve",
         "uxhost live: no JACK server \"" + none + "\" is running\n"},
        {"no such input", UXHOST_PATH " live -f Dissolve --connect-in nope:out",
         "uxhost live: --connect-in: \"nope:out\": no MIDI output port of that name; the MIDI output ports are: "
         "none\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Output said = RunCommand(row.command + " 2>&1");
        EXPECT_EQ(said.status, 2);
        EXPECT_EQ(said.text, row.line);
    }
}

std::atomic<long> gHeapCalls{0};
std::atomic<long> gMutexLocks{0};

// JackLive::Process as the server calls it, watched.
int WatchedProcess(jack_nframes_t frames, void* self)
{
#ifdef UX_REALTIME_SANITIZER
    __rtsan_realtime_enter();
    const int result = JackLive::Process(frames, self);
    __rtsan_realtime_exit();
#else
    const CallCounter counter;
    const int result = JackLive::Process(frames, self);
    const CallCounts counts = counter.Counts();
    gHeapCalls += counts.HeapCalls();
    gMutexLocks += counts.mutexLocks;
#endif
    return result;
}

// A dense stream on every channel through each filter, and the transport started
// and stopped: the cycle allocates, frees and locks nothing, and the end leaves no
// note sounding.
TEST(JackLiveCycle, MakesNoHeapCallAndTakesNoLock)
{
    ASSERT_TRUE(Server().Up());
    std::vector<Message> stream;
    for (int i = 0; i < 400; ++i) {
        const uint8_t channel = static_cast<uint8_t>(i % 16);
        const uint8_t pitch = static_cast<uint8_t>(30 + i % 60);
        stream.push_back({64 * i, {uint8_t(0x90 | channel), pitch, 100}});
        stream.push_back({64 * i + 900, {uint8_t(0x80 | channel), pitch, 64}});
    }
    std::stable_sort(stream.begin(), stream.end(),
                     [](const Message& a, const Message& b) { return a.frame < b.frame; });
    for (const char* stem : {"Dissolve", "FractalDrift", "BetaFade"}) {
        SCOPED_TRACE(stem);
        LoadedFilter loaded(stem);
        std::vector<std::unique_ptr<UxFilterI>> filters;
        filters.emplace_back(loaded.plugin->AddOn()->NewInstance(&loaded.holder, nullptr));
        TestClient feed("feed", stream);
        TestClient record("record", {});
        ASSERT_TRUE(feed.Open() && record.Open()) << feed.Status() << " " << record.Status();
        gHeapCalls = 0;
        gMutexLocks = 0;
        {
            JackLive live(Unique("live"), std::make_unique<LiveFilter>(std::move(filters)));
            live.Activate(WatchedProcess);
            live.ConnectInput(feed.Name() + ":out");
            live.ConnectOutput(record.Name() + ":in");
            feed.Roll(true);
            feed.Start();
            EXPECT_TRUE(Until([&] { return feed.Played(); }, 30s));
            feed.Roll(false);
            std::this_thread::sleep_for(100ms);
            live.End();
            EXPECT_TRUE(Until([&] { return live.Ended(); }, 10s));
        }
        EXPECT_EQ(gHeapCalls.load(), 0);
        EXPECT_EQ(gMutexLocks.load(), 0);
        const Heard heard = Listen(record.Recorded(feed));
        EXPECT_GT(heard.notes.size(), 400u);
        EXPECT_EQ(heard.sounding, 0);
    }
}

}  // namespace
