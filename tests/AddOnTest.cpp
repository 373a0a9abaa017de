// What every plug-in of the kit shares: its entry point, its add-on's values, and
// the event gate in front of its chain builder.
#include "TestSupport.h"

#include <cstring>

namespace {

struct AddOnCase {
    const char* fileStem;
    const char* name;
    const char* description;
};

const AddOnCase kAddOns[] = {
    {"Dissolve", "Dissolve", "1 a: to become dissipated or decomposed.  1 b: to fade away"},
    {"FractalDrift", "Fractal Drift", "Successive notes constrained to Voss-McCartney 1/f fractal algorithm"},
    {"BetaFade", "Beta Fade", "Successive notes asymptotically approach zero. Simulates radioactive beta decay"},
};

class AddOnTest : public testing::TestWithParam<AddOnCase> {};

TEST_P(AddOnTest, EntryPointOffersOneAddOnAtIndexZero)
{
    std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath(GetParam().fileStem));
    EXPECT_EQ(plugin->Entry()(1, nullptr, nullptr), nullptr);
    EXPECT_EQ(plugin->Entry()(-1, nullptr, nullptr), nullptr);
    int cookie = 0;
    ZelCRef<UxFilterAddOn> first(plugin->Entry()(0, nullptr, &cookie));
    ZelCRef<UxFilterAddOn> second(plugin->Entry()(0, nullptr, &cookie));
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(first->Cookie(), &cookie);
}

TEST_P(AddOnTest, DescribesItself)
{
    std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath(GetParam().fileStem));
    const UxFilterAddOn* addOn = plugin->AddOn();
    EXPECT_STREQ(addOn->Name(), GetParam().name);
    EXPECT_STREQ(addOn->ClassName(), GetParam().name);
    EXPECT_STREQ(addOn->ShortDescription(), GetParam().description);
    EXPECT_GT(std::strlen(addOn->Author()), 0u);
    EXPECT_EQ(addOn->Version(), 19980926);
    EXPECT_EQ(addOn->Type(), 0);
    int32 major = -1;
    int32 minor = -1;
    addOn->GetVersion(&major, &minor);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
}

TEST_P(AddOnTest, FilterOffersNoConfiguration)
{
    LoadedFilter loaded(GetParam().fileStem);
    ZelVector<BView*> views;
    EXPECT_EQ(loaded.filter->Configure(views), 0);
    EXPECT_EQ(views.CountItems(), 0);
    EXPECT_EQ(loaded.filter->NewEditView(BPoint(0, 0)), nullptr);
    EXPECT_FALSE(loaded.filter->Instrument());
    BMessage config;
    EXPECT_EQ(loaded.filter->PutConfiguration(&config), B_OK);
}

TEST_P(AddOnTest, GateReturnsNullForNull)
{
    LoadedFilter loaded(GetParam().fileStem);
    EXPECT_EQ(loaded.filter->HandleEvent(nullptr, &loaded.params), nullptr);
}

// Everything but a note-on under a note code, reaching a filter that was set up,
// comes back alone and untouched.
TEST_P(AddOnTest, GatePassesEverythingElseUnchanged)
{
    struct Case {
        const char* what;
        bool withHolder;
        int32 eventType;
        bool isNote;
    } const cases[] = {
        {"event of code 400 that is no note", true, kUxNoteOnType, false},
        {"event of code 100 that is no note", true, kUxNoteType, false},
        {"controller event", true, kUxControlChangeType, false},
        {"note under another code", true, kUxControlChangeType, true},
        {"note under code 0", true, 0, true},
        {"note to a filter without holder", false, kUxNoteOnType, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LoadedFilter loaded(GetParam().fileStem, c.withHolder);
        CopyScript script;
        UxEvent* event = c.isNote ? static_cast<UxEvent*>(new ScriptedNote(&script, 0, 480, 60, 100, c.eventType))
                                  : new ScriptedEvent(&script, c.eventType);
        UxChainPtr chain = loaded.Handle(event);
        EXPECT_EQ(chain.get(), event);
        EXPECT_EQ(chain->NextEvent(), nullptr);
        EXPECT_EQ(script.copiesMade, 0);
        EXPECT_EQ(chain->StartTime(), 0);
        if (c.isNote) {
            EXPECT_EQ(chain->Duration(), 480);
            EXPECT_EQ(static_cast<UxNoteOn*>(chain.get())->Note(), 60);
        }
    }
}

TEST_P(AddOnTest, BothNoteCodesGetAChain)
{
    for (const int32 type : {kUxNoteOnType, kUxNoteType}) {
        SCOPED_TRACE(type);
        LoadedFilter loaded(GetParam().fileStem);
        CopyScript script;
        auto* note = new ScriptedNote(&script, 0, 480, 60, 100, type);
        UxChainPtr chain = loaded.Handle(note);
        EXPECT_EQ(chain.get(), note);
        EXPECT_NE(chain->NextEvent(), nullptr);
    }
}

// Every plug-in keeps to its own classes when all are loaded into one process: each
// answers with its own name and its own chain.
TEST(AllPlugins, WorkSideBySideInOneProcess)
{
    struct Case {
        const char* fileStem;
        const char* name;
        size_t chainLength;
    } const cases[] = {
        {"Dissolve", "Dissolve", 11},
        {"FractalDrift", "Fractal Drift", 21},
        {"BetaFade", "Beta Fade", 11},
    };
    std::vector<std::unique_ptr<LoadedFilter>> loaded;
    for (const Case& c : cases)
        loaded.push_back(std::make_unique<LoadedFilter>(c.fileStem));
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < loaded.size(); ++i) {
            SCOPED_TRACE(cases[i].fileStem);
            EXPECT_STREQ(loaded[i]->plugin->AddOn()->Name(), cases[i].name);
            UxChainPtr chain = loaded[i]->Handle(new UxNoteOn(0, 480, 60, 100));
            EXPECT_EQ(NotesOf(chain.get()).size(), cases[i].chainLength);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPlugin, AddOnTest, testing::ValuesIn(kAddOns),
                         [](const testing::TestParamInfo<AddOnCase>& info) { return info.param.fileStem; });

}  // namespace
