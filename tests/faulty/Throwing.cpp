// A filter that throws from HandleEvent for every note it is to answer, as a
// faulty plug-in may: the hosts must contain it.
#include <AddOnKit.h>

#include <stdexcept>

class ThrowingFilter;

class ThrowingFilterAddOn final : public KitFilterAddOn<ThrowingFilterAddOn, ThrowingFilter> {
public:
    using KitFilterAddOn::KitFilterAddOn;
    static constexpr const char* kName = "Throwing";
    static constexpr const char* kShortDescription = "Throws for every note";
};

class ThrowingFilter final : public KitFilter<ThrowingFilterAddOn, ThrowingFilter> {
public:
    using KitFilter::KitFilter;
    static void BuildChain(UxNoteOn*) { throw std::runtime_error("no chain for this note"); }
};

UxFilterAddOn* MakeFilterAddOn(const void* cookie)
{
    return new ThrowingFilterAddOn(cookie);
}
