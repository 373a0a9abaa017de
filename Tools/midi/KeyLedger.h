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
//   strike the longest first; on one tick they strike played notes before made ones.
//
// The ledger allocates nothing and makes no call outside itself, so a live host can
// use it in its audio cycle. Times are ticks (or frames); a note whose end is not
// known yet (a live note still held) ends at kOpenEnd.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "MidiBytes.h"
#include "NoteRules.h"

enum class NoteOrigin : uint8_t { kPlayed, kMade };

class KeyLedger {
public:
    static constexpr int kChannels = kMidiChannels;
    static constexpr int kPitches = 128;
    static constexpr int kKeys = kChannels * kPitches;
    static constexpr int64_t kOpenEnd = std::numeric_limits<int64_t>::max();

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
        int64_t displacedStart = 0;
        int64_t displacedAt = 0;
        NoteOrigin displacedOrigin = NoteOrigin::kPlayed;
        bool displacedCutShort = false;
        uint8_t displacedRelease = kUnknownRelease;
    };

    // Strikes note `id` (ids are the caller's, unique among notes it strikes) on
    // `key` from `start` to `end`, its note-off to carry `release`. A note that sounds
    // holds the key until it is released or displaced.
    Strike StrikeNote(int key, int64_t start, int64_t end, NoteOrigin origin, uint64_t id,
                      uint8_t release = kUnknownRelease)
    {
        Held& held = mKeys[key];
        Strike strike;
        if (held.active) {
            const bool overlaps = held.end > start || held.start == start;
            if (overlaps
                && ((held.origin == NoteOrigin::kPlayed && origin == NoteOrigin::kMade)
                    || (held.start == start && held.origin == origin)))
                return strike;  // gives way
            strike.displaced = true;
            strike.displacedId = held.id;
            strike.displacedStart = held.start;
            strike.displacedAt = held.end < start ? held.end : start;
            strike.displacedOrigin = held.origin;
            strike.displacedCutShort = held.end > start;
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
    // 24 bytes a key: a live instance holds a table of 2,048. An id is kept by its
    // low 32 bits, which tell apart any two notes in play on one key unless some
    // four billion notes were struck between them.
    struct Held {
        int64_t start = 0;
        int64_t end = 0;
        uint32_t id = 0;
        bool active = false;
        NoteOrigin origin = NoteOrigin::kPlayed;
        uint8_t release = kUnknownRelease;
    };
    static_assert(sizeof(Held) == 24, "a key's record stays small");
    std::array<Held, kKeys> mKeys{};
};
