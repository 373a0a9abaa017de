// Its Name() and ClassName() differ.
#define FAULTY_NAME "Bad Names"
#define FAULTY_CLASS_NAME "BadNamesClass"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    return event;
}
}  // namespace
