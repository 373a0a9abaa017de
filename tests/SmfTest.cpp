// The Standard MIDI File codec: what it reads, what it refuses, and that no bytes
// make it read outside its buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <MidiTestSupport.h>
#include <Smf.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint16_t format, uint16_t tracks, uint16_t division = 480)
{
    return {'M',
            'T',
            'h',
            'd',
            0,
            0,
            0,
            6,
            0,
            static_cast<uint8_t>(format),
            0,
            static_cast<uint8_t>(tracks),
            static_cast<uint8_t>(division >> 8),
            static_cast<uint8_t>(division)};
}

Bytes Track(const Bytes& body)
{
    Bytes chunk = {'M', 'T', 'r', 'k', 0, 0, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A RIFF file of `form` holding the chunks, each padded to an even size.
Bytes Riff(const char* form, std::initializer_list<std::pair<const char*, Bytes>> chunks)
{
    Bytes body(form, form + 4);
    for (const auto& [name, data] : chunks) {
        body.insert(body.end(), name, name + 4);
        for (int shift = 0; shift < 32; shift += 8)
            body.push_back(static_cast<uint8_t>(data.size() >> shift));
        body.insert(body.end(), data.begin(), data.end());
        if (data.size() % 2)
            body.push_back(0);
    }
    Bytes riff = {'R', 'I', 'F', 'F'};
    for (int shift = 0; shift < 32; shift += 8)
        riff.push_back(static_cast<uint8_t>(body.size() >> shift));
    return Join({riff, body});
}

SmfFile Parse(const Bytes& bytes)
{
    return ParseSmf(bytes.data(), bytes.size());
}

const Bytes kEndOfTrack = {0x00, 0xFF, 0x2F, 0x00};

// A note with running status (the note-off is a note-on of velocity 0), a tempo,
// a system exclusive message, a controller after a long delta, then the end.
const Bytes kRichTrack = {
    0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,  // tempo
    0x00, 0x91, 60,   100,                     // note-on, channel 2
    0x83, 0x60, 60,   0,                       // 480 later, running status
    0x00, 0xF0, 0x03, 0x43, 0x12, 0xF7,        // sysex
    0x81, 0x80, 0x80, 0x00, 0xB1, 7,    90,    // 2^21 later, controller
    0x0A, 0xFF, 0x2F, 0x00,                    // end 10 later
};

TEST(Smf, ReadsRunningStatusSysExAndMetaEvents)
{
    const SmfFile file = Parse(Join({Header(0, 1), Track(kRichTrack)}));
    EXPECT_EQ(file.format, 0);
    EXPECT_EQ(file.division, 480);
    ASSERT_EQ(file.tracks.size(), 1u);
    const std::vector<SmfEvent> expected = {
        {0, {0xFF, 0x51, 0x07, 0xA1, 0x20}},
        {0, {0x91, 60, 100}},
        {480, {0x91, 60, 0}},
        {480, {0xF0, 0x43, 0x12, 0xF7}},
        {480 + (1 << 21), {0xB1, 7, 90}},
    };
    EXPECT_EQ(file.tracks[0].events, expected);
    EXPECT_EQ(file.tracks[0].endTick, 480 + (1 << 21) + 10);
}

TEST(Smf, WhatItWritesReadsBackTheSame)
{
    SmfFile file = Parse(Join({Header(1, 2), Track(kRichTrack), Track(kEndOfTrack)}));
    file.tracks[1].events.push_back({5, {0xF7, 0x01}});
    file.tracks[1].events.push_back({5, {0xE3, 0x00, 0x40}});
    file.tracks[1].endTick = 3;  // before the last event: the end moves behind it

    const Bytes written = WriteSmf(file);
    const SmfFile back = Parse(written);
    EXPECT_EQ(back.format, 1);
    ASSERT_EQ(back.tracks.size(), 2u);
    EXPECT_EQ(back.tracks[0], file.tracks[0]);
    EXPECT_EQ(back.tracks[1].events, file.tracks[1].events);
    EXPECT_EQ(back.tracks[1].endTick, 5);
    // Running status: the second channel-2 message carries no status byte.
    EXPECT_EQ(WriteSmf(back), written);
}

TEST(Smf, BridgesAGapLongerThanOneDeltaWithEmptyTextEvents)
{
    constexpr int64_t kMaxDelta = 0x0FFFFFFF;
    SmfFile file;
    file.format = 0;
    file.tracks.push_back({{{2 * kMaxDelta + 7, {0xC0, 5}}}, 0});
    const SmfTrack back = Parse(WriteSmf(file)).tracks[0];
    const std::vector<SmfEvent> expected = {
        {kMaxDelta, {0xFF, 0x01}},
        {2 * kMaxDelta, {0xFF, 0x01}},
        {2 * kMaxDelta + 7, {0xC0, 5}},
    };
    EXPECT_EQ(back.events, expected);
}

TEST(Smf, RefusesToWriteWhatAFileCannotHold)
{
    const struct {
        const char* name;
        SmfEvent event;
        const char* message;
    } cases[] = {
        {"empty", {0, {}}, "an empty event"},
        {"short channel message", {0, {0x90, 60}}, "a channel message 0x90 of 2 bytes"},
        {"data byte with the top bit", {0, {0x90, 60, 200}}, "the data byte 0xC8"},
        {"end of track among events", {0, {0xFF, 0x2F}}, "status byte 0xFF"},
        {"system common", {0, {0xF2, 1, 2}}, "status byte 0xF2"},
        {"before tick 0", {-1, {0xC0, 1}}, "an event at tick -1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmfFile file;
        file.tracks.push_back({{c.event}, 0});
        try {
            WriteSmf(file);
            ADD_FAILURE() << "written";
        } catch (const SmfError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

TEST(Smf, RefusesMalformedFilesSayingWhatIsWrong)
{
    const Bytes good = Join({Header(0, 1), Track(kEndOfTrack)});
    Bytes lyingHeader = good;
    lyingHeader[6] = 1;  // 262 bytes
    Bytes misnamed = Track(kEndOfTrack);
    misnamed[1] = 't';
    Bytes riffCutOff = Riff("RMID", {{"data", good}});
    riffCutOff.pop_back();

    const struct {
        const char* name;
        Bytes bytes;
        const char* message;
    } cases[] = {
        {"empty", {}, "is empty"},
        {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}, "not a Standard MIDI File"},
        {"header only", Header(0, 1), "truncated: the header declares 1 track, the file ends before track 1"},
        {"short header chunk", {'M', 'T', 'h', 'd', 0, 0, 0, 2, 0, 0}, "fewer than 6"},
        {"header past the end",
         {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0},
         "truncated: the file ends inside its header chunk"},
        {"header length that lies", lyingHeader,
         "a wrong header length: the header chunk claims 262 bytes, but a track chunk follows its first 6"},
        {"misnamed track chunk", Join({Header(0, 1), misnamed}),
         "no track 1: the chunk at byte 14 is named \"Mtrk\", not \"MTrk\""},
        {"format 3", Join({Header(3, 1), Track(kEndOfTrack)}), "format 3 is not supported"},
        {"format 0, two tracks", Join({Header(0, 2), Track(kEndOfTrack), Track(kEndOfTrack)}),
         "a format 0 file with 2 tracks"},
        {"division 0", Join({Header(0, 1, 0), Track(kEndOfTrack)}), "division of 0"},
        {"missing track", Join({Header(1, 2), Track(kEndOfTrack)}),
         "truncated: the header declares 2 tracks, the file ends before track 2"},
        {"other chunk past the end", Join({Header(0, 1), Bytes{'X', 'y', 'z', 'w', 0, 0, 1, 0}}),
         "truncated: the chunk at byte 14 claims 256 bytes, past the end of the file"},
        {"event past its chunk", Join({Header(0, 1), Track({0x00, 0x90, 60}), Track(kEndOfTrack)}),
         "track 1, event at byte 22: the event runs past the end of its track chunk"},
        {"sysex past its chunk", Join({Header(0, 1), Track({0x00, 0xF0, 0x7F, 1})}),
         "runs past the end of its track chunk"},
        {"no end of track, cut off inside an event", Join({Header(0, 1), Track({0x00, 0xC0})}),
         "the event runs past the end of its track chunk"},
        {"RIFF of another form", Riff("WAVE", {{"data", good}}), "a RIFF file of form \"WAVE\", not RMID"},
        {"RIFF without data", Riff("RMID", {{"LIST", {1, 2}}}), "a RIFF MIDI file (RMID) without a data chunk"},
        {"RIFF data past the end", riffCutOff, "truncated: the RIFF chunk \"data\" at byte 12 claims"},
        {"RIFF data no MIDI file", Riff("RMID", {{"data", {'h', 'i'}}}), "not a Standard MIDI File"},
        {"bytes after the end", Join({Header(0, 1), Track({0, 0xFF, 0x2F, 0, 0})}),
         "bytes after the end-of-track event"},
        {"data without status", Join({Header(0, 1), Track({0x00, 0x40, 0x40})}),
         "a data byte 0x40 where a status byte belongs"},
        {"status as data", Join({Header(0, 1), Track({0x00, 0x90, 0x90, 0x40})}), "data byte 0x90"},
        {"long delta", Join({Header(0, 1), Track({0x81, 0x81, 0x81, 0x81, 0x01})}), "more than four bytes"},
        {"realtime status", Join({Header(0, 1), Track({0x00, 0xF8, 0x00, 0xFF, 0x2F, 0x00})}), "status byte 0xF8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Parse(c.bytes);
            ADD_FAILURE() << "parsed";
        } catch (const SmfError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

// What other readers accept is read, and written back as a plain file with every
// track ended.
TEST(Smf, ReadsATrackWithoutItsEndAndAFileInARiffWrapper)
{
    const Bytes plain = Join({Header(1, 2), Track(kRichTrack), Track(kEndOfTrack)});
    const SmfFile expected = Parse(plain);
    const Bytes unended(kRichTrack.begin(), kRichTrack.end() - 4);  // the last controller, no end
    SmfFile expectedUnended = expected;
    expectedUnended.tracks[0].endTick -= 10;
    const struct {
        const char* name;
        Bytes bytes;
        const SmfFile& file;
        bool fromRiff;
    } cases[] = {
        {"a track ends where its chunk ends", Join({Header(1, 2), Track(unended), Track({})}), expectedUnended, false},
        {"RIFF, data after an odd-sized chunk", Riff("RMID", {{"LIST", {'I', 'N', 'F'}}, {"data", plain}}), expected,
         true},
        {"RIFF, data then more", Riff("RMID", {{"data", plain}, {"DISP", {1, 2}}}), expected, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SmfFile file = Parse(c.bytes);
        ASSERT_EQ(file.tracks.size(), c.file.tracks.size());
        for (size_t i = 0; i < file.tracks.size(); ++i)
            EXPECT_EQ(file.tracks[i], c.file.tracks[i]);
        EXPECT_EQ(SmfReader(c.bytes.data(), c.bytes.size()).FromRiff(), c.fromRiff);
        const Bytes written = WriteSmf(file);
        EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), Bytes({'M', 'T', 'h', 'd'}));
        EXPECT_EQ(Parse(written).tracks, file.tracks);
    }
}

TEST(Smf, SkipsChunksOfOtherKinds)
{
    const Bytes alien = {'X', 'y', 'z', 'w', 0, 0, 0, 2, 1, 2};
    const SmfFile file = Parse(Join({Header(1, 1), alien, Track(kRichTrack), alien}));
    ASSERT_EQ(file.tracks.size(), 1u);
    EXPECT_EQ(file.tracks[0].events.size(), 5u);
}

// Every prefix of a good file, and every single byte of it changed to each of a few
// telling values, is either read or refused; under AddressSanitizer this shows that
// no such input makes the reader step outside its buffer.
TEST(Smf, NoDamageMakesTheReaderStepOutsideItsBuffer)
{
    const Bytes good = Join({Header(1, 2), Track(kRichTrack), Track(kEndOfTrack)});
    const uint8_t values[] = {0x00, 0x01, 0x7F, 0x80, 0x90, 0xF0, 0xF7, 0xFF};
    int refused = 0;
    const auto tryParse = [&](const Bytes& bytes) {
        try {
            Parse(bytes);
        } catch (const SmfError&) {
            ++refused;
        }
    };
    for (size_t size = 0; size < good.size(); ++size)
        tryParse(Bytes(good.begin(), good.begin() + static_cast<long>(size)));
    for (size_t at = 0; at < good.size(); ++at)
        for (const uint8_t value : values) {
            Bytes damaged = good;
            damaged[at] = value;
            tryParse(damaged);
        }
    EXPECT_GE(refused, 14 + 8);  // every prefix that ends before the first track's events
}

// A file cut short inside a track chunk is read up to its last whole event: the
// track ends where the event cut off would have begun, the tracks after it are not
// there, and what is written back is whole. A format 2 file reads and writes as
// format 2. `kRichTrack`'s chunk runs from byte 14, its events from byte 22.
TEST(Smf, ReadsAFileCutShortUpToTheCutAndFormat2)
{
    const Bytes whole = Join({Header(1, 2), Track(kRichTrack), Track(kEndOfTrack)});
    const auto cutAt = [&whole](size_t size) { return Bytes(whole.begin(), whole.begin() + long(size)); };
    const struct {
        const char* name;
        Bytes bytes;
        size_t cutChunkAt;  // 0: whole
        size_t tracks;
        size_t events;  // of the first track
        int64_t endTick;
        uint16_t format;
    } cases[] = {
        {"between events", cutAt(22 + 11), 14, 1, 2, 0, 1},
        {"inside a running-status event", cutAt(22 + 13), 14, 1, 2, 480, 1},
        {"inside a delta time", cutAt(22 + 12), 14, 1, 2, 0, 1},
        {"inside a sysex", cutAt(22 + 19), 14, 1, 3, 480, 1},
        {"inside the end of track", cutAt(22 + 31), 14, 1, 5, 480 + (1 << 21) + 10, 1},
        {"inside the second track", cutAt(whole.size() - 1), 54, 2, 5, 480 + (1 << 21) + 10, 1},
        {"format 2", Join({Header(2, 2), Track(kRichTrack), Track(kEndOfTrack)}), 0, 2, 5, 480 + (1 << 21) + 10, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SmfReader reader(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(reader.CutShort(), c.cutChunkAt != 0);
        EXPECT_EQ(reader.Cut().chunkAt, c.cutChunkAt);
        EXPECT_EQ(reader.Cut().endsAt, c.cutChunkAt ? c.bytes.size() : 0);
        const SmfFile file = Parse(c.bytes);
        ASSERT_EQ(file.tracks.size(), c.tracks);
        EXPECT_EQ(file.tracks[0].events.size(), c.events);
        EXPECT_EQ(file.tracks[0].endTick, c.endTick);
        const Bytes written = WriteSmf(file);
        const SmfReader back(written.data(), written.size());
        EXPECT_FALSE(back.CutShort());
        EXPECT_EQ(back.Format(), c.format);
        EXPECT_EQ(Parse(written).tracks, file.tracks);
        EXPECT_EQ(CheckSmf(c.bytes.data(), c.bytes.size()).trackChunksAfter, 0u);
    }
}

// A track longer than the writer holds before handing its bytes on gets its length
// filled in afterwards; a file of no tracks is its header alone.
TEST(Smf, WritesTracksOfAnyLengthAndNone)
{
    for (const int events : {0, 1, 40000}) {
        SCOPED_TRACE(events);
        SmfFile file;
        file.tracks.resize(events > 0 ? 2 : 0);
        for (SmfTrack& track : file.tracks) {
            for (int i = 0; i < events; ++i)
                track.events.push_back({i, {static_cast<uint8_t>(0x90 | i % 3), static_cast<uint8_t>(i % 128), 100}});
            track.endTick = events;
        }
        const SmfFile back = Parse(WriteSmf(file));
        ASSERT_EQ(back.tracks.size(), file.tracks.size());
        for (size_t i = 0; i < file.tracks.size(); ++i)
            EXPECT_EQ(back.tracks[i], file.tracks[i]);
    }
}

// CheckSmf keeps nothing, but refuses what ParseSmf refuses, with the same words.
TEST(Smf, CheckingRefusesExactlyWhatReadingRefuses)
{
    const Bytes good = Join({Header(1, 2), Track(kRichTrack), Track(kEndOfTrack)});
    const auto refusal = [](void (*read)(const Bytes&), const Bytes& bytes) {
        try {
            read(bytes);
        } catch (const SmfError& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    const auto parse = [](const Bytes& bytes) { Parse(bytes); };
    const auto check = [](const Bytes& bytes) { CheckSmf(bytes.data(), bytes.size()); };
    int refused = 0;
    for (size_t at = 0; at < good.size(); ++at)
        for (const uint8_t value : {0x00, 0x7F, 0x80, 0xFF}) {
            Bytes damaged = good;
            damaged[at] = value;
            const std::string expected = refusal(parse, damaged);
            refused += !expected.empty();
            EXPECT_EQ(refusal(check, damaged), expected) << "byte " << at << " set to " << int(value);
        }
    EXPECT_GT(refused, 0);
}

}  // namespace
