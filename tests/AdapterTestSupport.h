// What the adapter tests share: what `uxhost apply` writes for a track, and an
// output stream as notes and as text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <Pipeline.h>
#include <PluginLoader.h>
#include <MidiTestSupport.h>
#include <Smf.h>

// In frame order, events of one frame as they were.
template <typename Event>
void SortByFrame(std::vector<Event>* events)
{
    std::stable_sort(events->begin(), events->end(), [](const Event& a, const Event& b) { return a.frame < b.frame; });
}

// Cycles of 64 frames, for a host's Play.
inline uint32_t Block64()
{
    return 64;
}

// What `uxhost apply` writes for a file of one track, `track`, through the filter
// files in a row: the written file's one track.
inline std::vector<SmfEvent> ApplyTrack(std::vector<SmfEvent> track, const std::vector<std::string>& paths,
                                        ChannelMask channels = kAllChannels)
{
    SmfFile file;
    file.format = 0;
    file.tracks.resize(1);
    file.tracks[0].events = std::move(track);
    std::vector<std::unique_ptr<Plugin>> plugins;
    std::vector<const Plugin*> pipeline;
    for (const std::string& path : paths)
        pipeline.push_back((plugins.emplace_back(Plugin::Load(path))).get());
    SmfMemorySink sink;
    LeftOut leftOut;
    ApplyFilters(WriteSmf(file), pipeline, &sink, &leftOut, channels);
    return ParseSmf(sink.Bytes().data(), sink.Bytes().size()).tracks[0].events;
}

// An output stream as notes and other events. A note-off with no note sounding
// is a passed-through one; a note struck on a key still sounding counts as doubled.
template <typename Event>
struct HeardStream {
    struct Note {
        int64_t on, off;
        int key;
        uint8_t velocity, release;
        bool operator<(const Note& o) const { return std::tie(on, key, off) < std::tie(o.on, o.key, o.off); }
        bool operator==(const Note& o) const
        {
            return on == o.on && off == o.off && key == o.key && velocity == o.velocity && release == o.release;
        }
    };
    std::vector<Note> notes;
    std::vector<Event> others;
    int sounding = 0;
    int doubled = 0;
};

template <typename Event>
HeardStream<Event> Listen(const std::vector<Event>& stream)
{
    HeardStream<Event> heard;
    std::map<int, typename HeardStream<Event>::Note> open;
    for (const Event& event : stream) {
        const uint8_t kind = event.bytes[0] & 0xF0;
        if ((kind != 0x80 && kind != 0x90) || event.bytes.size() != 3) {
            heard.others.push_back(event);
            continue;
        }
        const int key = (event.bytes[0] & 0x0F) * 128 + event.bytes[1];
        const auto found = open.find(key);
        if (kind == 0x90 && event.bytes[2] > 0) {
            heard.doubled += found != open.end();
            open[key] = {event.frame, 0, key, event.bytes[2], 0};
        } else if (found != open.end()) {
            found->second.off = event.frame;
            found->second.release = kind == 0x80 ? event.bytes[2] : 64;
            heard.notes.push_back(found->second);
            open.erase(found);
        }
    }
    heard.sounding = static_cast<int>(open.size());
    std::sort(heard.notes.begin(), heard.notes.end());
    return heard;
}

// A stream of MIDI messages, a line each: its frame, then its bytes in hex.
template <typename Event>
std::string Render(const std::vector<Event>& stream)
{
    std::string text;
    for (const Event& event : stream) {
        char item[16];
        std::snprintf(item, sizeof item, "%lld:", static_cast<long long>(event.frame));
        text += item;
        for (uint8_t byte : event.bytes) {
            std::snprintf(item, sizeof item, " %02X", byte);
            text += item;
        }
        text += "\n";
    }
    return text;
}
