// Which note sounds on each key and channel: the one-note-per-key rule that every
// host of the kit applies to what the filters hand back, whether it writes a file
// or plays live.
//
// At most one note sounds on a key and channel at a time. A note is struck by the
// player (its own note in a song or on a live input) or made by a filter, and the
// player's notes come first:
// - a played note cuts short whatever sounds on its key;
// - a made note struck where a played note sounds gives way (is left out);
// - a made note cuts short a made note that sounds on its key;
// - of two notes of the same origin struck on one tick and key, the one struck
//   first stays and the second gives way. Callers that know the notes' lengths
//   strike the longest first; on one tick they strike played notes before made ones
//   (StrikeOrder).
//
// The ledger allocates nothing and makes no call outside itself, so a live host can
// use it in its audio cycle. Times are ticks (or frames); a note whose end is not
// known yet (a live note still held) ends at kOpenEnd. KeyLedger counts time in 64
// bits; a live host may keep frames by their low 32 bits (BasicKeyLedger<uint32_t>:
// 16 bytes a key instead of 24), read round, so long as the times it compares lie
// within 2^31 of each other; an end whose bits are all ones then reads as open.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "MidiBytes.h"
#include "NoteRules.h"

enum class NoteOrigin : uint8_t { kPlayed, kMade };

// The order in which callers strike two notes on one tick and key: negative when
// the first goes first (played before made, then the longer), positive when the
// second does, 0 when the rule leaves it to the caller (say, their order of arrival).
constexpr int StrikeOrder(NoteOrigin a, int64_t lengthA, NoteOrigin b, int64_t lengthB)
{
    if (a != b)
        return a == NoteOrigin::kPlayed ? -1 : 1;
    return lengthA > lengthB ? -1 : lengthA < lengthB ? 1 : 0;
}

template <class Time>
class BasicKeyLedger {
public:
    static constexpr int kChannels = kMidiChannels;
    static constexpr int kPitches = 128;
    static constexpr int kKeys = kChannels * kPitches;
    static constexpr Time kOpenEnd = std::numeric_limits<Time>::max();

    static int KeyIndex(uint8_t channel, uint8_t pitch) { return channel * kPitches + pitch; }
    static uint8_t ChannelOf(int key) { return static_cast<uint8_t>(key / kPitches); }
    static uint8_t PitchOf(int key) { return static_cast<uint8_t>(key % kPitches); }

    // What striking a note did. When `displaced` is set, the note `displacedId` (by
    // its id's low 32 bits) that held the key since `displacedStart` ends at
    // `displacedAt` (its own end, or earlier when it was cut short, as
    // `displacedCutShort` says): the caller sends that note-off, with velocity
    // `displacedRelease`, and none later for that note.
    struct Strike {
        bool sounds = false;
        bool displaced = false;
        uint64_t displacedId = 0;
        Time displacedStart = 0;
        Time displacedAt = 0;
        NoteOrigin displacedOrigin = NoteOrigin::kPlayed;
        bool displacedCutShort = false;
        uint8_t displacedRelease = kUnknownRelease;
    };

    // Strikes note `id` (ids are the caller's, unique among notes it strikes) on
    // `key` from `start` to `end`, its note-off to carry `release`. A note that sounds
    // holds the key until it is released or displaced.
    Strike StrikeNote(int key, Time start, Time end, NoteOrigin origin, uint64_t id, uint8_t release = kUnknownRelease)
    {
        Held& held = mKeys[key];
        Strike strike;
        if (held.active) {
            const bool endsLater = held.end == kOpenEnd || Later(held.end, start);
            const bool overlaps = endsLater || held.start == start;
            if (overlaps
                && ((held.origin == NoteOrigin::kPlayed && origin == NoteOrigin::kMade)
                    || (held.start == start && held.origin == origin)))
                return strike;  // gives way
            strike.displaced = true;
            strike.displacedId = held.id;
            strike.displacedStart = held.start;
            strike.displacedAt = endsLater ? start : held.end;
            strike.displacedOrigin = held.origin;
            strike.displacedCutShort = endsLater;
            strike.displacedRelease = held.release;
        }
        held = {start, end, static_cast<uint32_t>(id), true, origin, release};
        strike.sounds = true;
        return strike;
    }

    // Note `id` on `key` ends. True when it still held the key, so that its note-off
    // is due; false when it was displaced or never sounded.
    bool Release(int key, uint64_t id)
    {
        Held& held = mKeys[key];
        if (!held.active || held.id != static_cast<uint32_t>(id))
            return false;
        held.active = false;
        return true;
    }

    // The note-off velocity of the note that holds `key`, or held it last.
    uint8_t ReleaseVelocity(int key) const { return mKeys[key].release; }

    // The note holding `key`, if any.
    bool Holder(int key, uint64_t* id, NoteOrigin* origin = nullptr) const
    {
        const Held& held = mKeys[key];
        if (!held.active)
            return false;
        *id = held.id;
        if (origin)
            *origin = held.origin;
        return true;
    }

    // Releases every note sounding on `channel`, calling `noteOff(key, id)` for each,
    // lowest key first.
    template <class NoteOff>
    void ReleaseChannel(uint8_t channel, NoteOff&& noteOff)
    {
        for (int key = KeyIndex(channel, 0); key < KeyIndex(channel, 0) + kPitches; ++key) {
            Held& held = mKeys[key];
            if (held.active) {
                held.active = false;
                noteOff(key, held.id);
            }
        }
    }

    // Forgets every note, sending nothing.
    void Clear() { mKeys.fill(Held()); }

private:
    static bool Later(Time a, Time b)
    {
        if constexpr (std::is_signed_v<Time>)
            return a > b;
        else
            return static_cast<std::make_signed_t<Time>>(a - b) > 0;
    }

    // 24 bytes a key, or 16 with 32-bit times: a live instance holds a table of
    // 2,048. An id is kept by its low 32 bits, which tell apart any two notes in
    // play on one key unless some four billion notes were struck between them.
    struct Held {
        Time start = 0;
        Time end = 0;
        uint32_t id = 0;
        bool active = false;
        NoteOrigin origin = NoteOrigin::kPlayed;
        uint8_t release = kUnknownRelease;
    };
    static_assert(sizeof(Held) == 2 * sizeof(Time) + 8, "a key's record stays small");
    std::array<Held, kKeys> mKeys{};
};

using KeyLedger = BasicKeyLedger<int64_t>;
