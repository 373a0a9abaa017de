// What the tests share: loading a plug-in as the host does, notes whose copies can
// be made to fail, and reading a chain back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <PluginLoader.h>

inline std::string AddOnPath(const std::string& fileStem)
{
    return std::string(UX_BUILD_ADDON_DIR) + "/" + fileStem + ".so";
}

// One plug-in, loaded with dlopen, and one filter made from its add-on.
struct LoadedFilter {
    explicit LoadedFilter(const std::string& fileStem, bool withHolder = true)
        : plugin(Plugin::Load(AddOnPath(fileStem))),
          filter(plugin->AddOn()->NewInstance(withHolder ? &holder : nullptr, nullptr))
    {
    }

    // Runs one event through the filter; the caller owns the chain.
    UxChainPtr Handle(UxEvent* event) { return UxChainPtr(filter->HandleEvent(event, &params)); }

    std::unique_ptr<Plugin> plugin;  // declared first: unloaded last
    UxFilterHolderI holder;
    ux_filter_params params;
    FilterPtr filter;
};

// Shared by a scripted note and all its copies: how many more copies succeed, what
// a failing copy gives, and how many scripted events are alive.
struct CopyScript {
    enum class Failure { kNull, kNonNote };

    int copiesLeft = INT_MAX;
    Failure failure = Failure::kNull;
    int copiesMade = 0;
    int alive = 0;
};

// An event of another kind that counts itself in its script.
class ScriptedEvent : public UxEvent {
public:
    ScriptedEvent(CopyScript* script, int32 type) : UxEvent(0, 0, 0), mScript(script), mType(type) { ++mScript->alive; }
    ScriptedEvent(const ScriptedEvent& other) : UxEvent(other), mScript(other.mScript), mType(other.mType)
    {
        ++mScript->alive;
    }
    ~ScriptedEvent() override { --mScript->alive; }

    int32 Type() const override { return mType; }
    UxEvent* Copy() const override { return new ScriptedEvent(*this); }

private:
    CopyScript* mScript;
    int32 mType;
};

// A note whose copies follow a script: after `copiesLeft` copies the host answers
// with nothing, or with an event that is no note.
class ScriptedNote : public UxNoteOn {
public:
    ScriptedNote(CopyScript* script, UxTime start, UxTime duration, uchar note, uchar velocity,
                 int32 type = kUxNoteOnType)
        : UxNoteOn(start, duration, note, velocity),
          mScript(script),
          mType(type)
    {
        ++mScript->alive;
    }
    ScriptedNote(const ScriptedNote& other) : UxNoteOn(other), mScript(other.mScript), mType(other.mType)
    {
        ++mScript->alive;
    }
    ~ScriptedNote() override { --mScript->alive; }

    int32 Type() const override { return mType; }
    UxEvent* Copy() const override
    {
        ++mScript->copiesMade;
        if (mScript->copiesLeft == 0) {
            if (mScript->failure == CopyScript::Failure::kNull)
                return nullptr;
            return new ScriptedEvent(mScript, kUxControlChangeType);
        }
        --mScript->copiesLeft;
        return new ScriptedNote(*this);
    }

private:
    CopyScript* mScript;
    int32 mType;
};

// The notes of a chain, head first; fails the test on an event that is no note.
inline std::vector<const UxNoteOn*> NotesOf(const UxEvent* head)
{
    std::vector<const UxNoteOn*> notes;
    for (const UxEvent* event = head; event; event = event->NextEvent()) {
        const auto* note = dynamic_cast<const UxNoteOn*>(event);
        EXPECT_NE(note, nullptr) << "a chain event is no note";
        if (note)
            notes.push_back(note);
    }
    return notes;
}

// Every note of the chain starts one tick after the one before it ends.
inline void ExpectBackToBack(const std::vector<const UxNoteOn*>& notes)
{
    for (size_t i = 1; i < notes.size(); ++i)
        EXPECT_EQ(notes[i]->StartTime(), notes[i - 1]->EndTime() + 1) << "note " << i;
}

// Runs notes through one filter, one at a time, and keeps the chain of the last.
class ChainTest : public testing::Test {
protected:
    explicit ChainTest(const std::string& fileStem) : mLoaded(fileStem) {}

    std::vector<const UxNoteOn*> Run(UxNoteOn* note)
    {
        mChain = mLoaded.Handle(note);
        EXPECT_EQ(mChain.get(), note) << "the incoming note heads the chain";
        return NotesOf(mChain.get());
    }

    // Whatever the filter draws: a note of each pitch whose copies all succeed comes
    // back with `steps` notes back to back, each with its duration and velocity, and
    // is itself left as it came. `checkStep(previous, pitch)` checks each step's
    // pitch against the one before it.
    template <typename CheckStep>
    void ExpectFullChains(std::initializer_list<int> pitches, size_t steps, CheckStep checkStep)
    {
        for (const int pitch : pitches) {
            SCOPED_TRACE(testing::Message() << "pitch " << pitch);
            CopyScript script;
            const std::vector<const UxNoteOn*> notes =
                Run(new ScriptedNote(&script, 77, 480, static_cast<uchar>(pitch), 99));
            ASSERT_EQ(notes.size(), steps + 1);
            EXPECT_EQ(script.copiesMade, static_cast<int>(steps));
            EXPECT_EQ(script.alive, static_cast<int>(steps) + 1) << "no copy was deleted";
            EXPECT_EQ(notes[0]->StartTime(), 77);
            EXPECT_EQ(notes[0]->Duration(), 480);
            EXPECT_EQ(notes[0]->Note(), pitch);
            EXPECT_EQ(notes[0]->Velocity(), 99);
            for (size_t k = 1; k < notes.size(); ++k) {
                SCOPED_TRACE(testing::Message() << "note " << k);
                EXPECT_EQ(notes[k]->Duration(), 480);
                EXPECT_EQ(notes[k]->Velocity(), 99);
                checkStep(notes[k - 1]->Note(), notes[k]->Note());
            }
            ExpectBackToBack(notes);
            mChain.reset();
            EXPECT_EQ(script.alive, 0);
        }
    }

    // What a round needs around it when it needs nothing.
    struct NoGuard {};

    // When the host cannot copy after k copies (for k up to one past `steps`, failing
    // with nothing or with an event that is no note), the chain keeps k notes and
    // every copy that is not in it is released. A `Guard` lives through each round;
    // `checkRound(copies, steps)` adds the filter's own checks of it.
    template <typename Guard = NoGuard, typename CheckRound>
    void ExpectCopyFailureKeepsWhatTheChainHas(size_t steps, CheckRound checkRound)
    {
        for (const auto failure : {CopyScript::Failure::kNull, CopyScript::Failure::kNonNote}) {
            for (size_t copies = 0; copies <= steps + 1; ++copies) {
                SCOPED_TRACE(testing::Message() << "copies before failing " << copies << " non-note "
                                                << (failure == CopyScript::Failure::kNonNote));
                [[maybe_unused]] const Guard guard{};
                CopyScript script;
                script.copiesLeft = static_cast<int>(copies);
                script.failure = failure;
                const std::vector<const UxNoteOn*> notes = Run(new ScriptedNote(&script, 0, 480, 60, 100));
                EXPECT_EQ(notes.size(), std::min(copies, steps) + 1);
                EXPECT_EQ(script.alive, static_cast<int>(notes.size()));
                checkRound(copies, std::min(copies, steps));
                mChain.reset();
                EXPECT_EQ(script.alive, 0);
            }
        }
    }

    LoadedFilter mLoaded;
    UxChainPtr mChain;
};
