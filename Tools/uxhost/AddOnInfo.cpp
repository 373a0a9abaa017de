#include "AddOnInfo.h"

void PrintAddOn(std::ostream& out, const Plugin& plugin)
{
    const UxFilterAddOn* addOn = plugin.AddOn();
    int32 major = 0;
    int32 minor = 0;
    addOn->GetVersion(&major, &minor);
    out << "Name:        " << addOn->Name() << "\n"
        << "Description: " << addOn->ShortDescription() << "\n"
        << "Author:      " << addOn->Author() << "\n"
        << "Version:     " << major << "." << minor << " (" << addOn->Version() << ")\n"
        << "File:        " << plugin.Path() << "\n";
}
