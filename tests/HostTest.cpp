// The host kernel's own contract: event times, chains, copies, references.
#include "TestSupport.h"

namespace {

TEST(UxEvent, EndTimeIsTheLastTickAndNeverOverflows)
{
    struct Case {
        UxTime start, duration, end;
    } const cases[] = {
        {0, 480, 479},
        {100, 1, 100},
        {100, 0, 100},
        {100, -5, 100},
        {-10, 5, -6},
        {kUxMaxTime - 10, 11, kUxMaxTime},
        {kUxMaxTime - 10, 12, kUxMaxTime},
        {kUxMaxTime, kUxMaxTime, kUxMaxTime},
        {INT64_MIN, kUxMaxTime, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " duration " << c.duration);
        UxNoteOn note(c.start, c.duration, 60, 100);
        EXPECT_EQ(note.EndTime(), c.end);
    }
}

TEST(UxEvent, AppendEventSplicesAChainBehindTheEvent)
{
    UxChainPtr head(new UxNoteOn(0, 1, 1, 1));
    head->AppendEvent(new UxNoteOn(0, 1, 4, 1));
    auto* inserted = new UxNoteOn(0, 1, 2, 1);
    inserted->AppendEvent(new UxNoteOn(0, 1, 3, 1));
    head->AppendEvent(inserted);
    head->AppendEvent(nullptr);

    std::vector<int> pitches;
    for (const UxNoteOn* note : NotesOf(head.get()))
        pitches.push_back(note->Note());
    EXPECT_EQ(pitches, (std::vector<int>{1, 2, 3, 4}));
}

TEST(UxEvent, DeleteChainReleasesEveryEvent)
{
    CopyScript script;
    auto* head = new ScriptedNote(&script, 0, 1, 60, 1);
    for (int i = 0; i < 5; ++i)
        head->AppendEvent(head->Copy());
    EXPECT_EQ(script.alive, 6);
    UxEvent::DeleteChain(head);
    EXPECT_EQ(script.alive, 0);
    UxEvent::DeleteChain(nullptr);
}

TEST(UxEvent, CopyCarriesEveryAttributeButTheLink)
{
    UxNoteOn note(10, 20, 61, 99, 9);
    note.AppendEvent(new UxNoteOn(0, 1, 1, 1));
    UxChainPtr copy(note.Copy());
    const auto* noteCopy = dynamic_cast<const UxNoteOn*>(copy.get());
    ASSERT_NE(noteCopy, nullptr);
    EXPECT_EQ(noteCopy->StartTime(), 10);
    EXPECT_EQ(noteCopy->Duration(), 20);
    EXPECT_EQ(noteCopy->Note(), 61);
    EXPECT_EQ(noteCopy->Velocity(), 99);
    EXPECT_EQ(noteCopy->Channel(), 9);
    EXPECT_EQ(noteCopy->NextEvent(), nullptr);
    UxEvent::DeleteChain(note.NextEvent());

    const UxControlChange control(5, 7, 100, 3);
    UxChainPtr controlCopy(control.Copy());
    const auto* controlCopied = dynamic_cast<const UxControlChange*>(controlCopy.get());
    ASSERT_NE(controlCopied, nullptr);
    EXPECT_EQ(controlCopied->Type(), kUxControlChangeType);
    EXPECT_EQ(controlCopied->Controller(), 7);
    EXPECT_EQ(controlCopied->Value(), 100);
    EXPECT_EQ(controlCopied->Channel(), 3);
}

class CountedObject : public ZelRefable {
public:
    explicit CountedObject(bool* destroyed) : mDestroyed(destroyed) {}
    ~CountedObject() override { *mDestroyed = true; }

private:
    bool* mDestroyed;
};

TEST(ZelRefable, TheLastReleaseDestroys)
{
    bool destroyed = false;
    auto* object = new CountedObject(&destroyed);
    {
        ZelCRef<CountedObject> first(object);
        ZelCRef<CountedObject> second = first;
        EXPECT_EQ(object->CountReferences(), 2);
        ZelCRef<CountedObject> moved = std::move(second);
        EXPECT_EQ(object->CountReferences(), 2);
    }
    EXPECT_TRUE(destroyed);
    ZelRefable::Delete(nullptr);
}

TEST(UxFilterI, AFilterHoldsItsAddOnForItsWholeLife)
{
    std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath("Dissolve"));
    UxFilterAddOn* addOn = plugin->AddOn();
    const int32 held = addOn->CountReferences();
    UxFilterHolderI holder;
    FilterPtr filter(addOn->NewInstance(&holder, nullptr));
    EXPECT_EQ(filter->AddOn(), addOn);
    EXPECT_EQ(addOn->CountReferences(), held + 1);
    filter.reset();
    EXPECT_EQ(addOn->CountReferences(), held);
}

TEST(Plugin, RefusesWhatIsNoFilterPlugin)
{
    struct Case {
        std::string path, message;
    } const cases[] = {
        {"/nonexistent/Dissolve.so", "/nonexistent/Dissolve.so: no such plug-in file"},
        {UX_TEST_BINARY_DIR, std::string(UX_TEST_BINARY_DIR) + ": not a plug-in: not a regular file"},
        {std::string(UX_TEST_BINARY_DIR) + "/CTestTestfile.cmake",
         std::string(UX_TEST_BINARY_DIR) + "/CTestTestfile.cmake: not a loadable plug-in"},
        {std::string(UX_TEST_BINARY_DIR) + "/NotAFilter.so",
         std::string(UX_TEST_BINARY_DIR) + "/NotAFilter.so: not a filter plug-in: it has no make_nth_filter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            Plugin::Load(c.path);
            ADD_FAILURE() << "loaded";
        } catch (const PluginError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << error.what();
        }
    }
}

}  // namespace
