// The entry point of uxhost-media.so, the module that runs roll, render and demo
// for uxhost (MediaCommands.h). It is the only symbol the module exports.
#include <stdexcept>

#include "DemoCommand.h"
#include "ExitCode.h"
#include "MediaCommands.h"
#include "PluginFinder.h"
#include "RenderCommand.h"
#include "Report.h"
#include "RollCommand.h"

extern "C" __attribute__((visibility("default"))) int UX_MEDIA_ENTRY(const MediaRequest* request);

int UX_MEDIA_ENTRY(const MediaRequest* request)
{
    // The module has its own copy of uxhost's code: what uxhost set, it sets again.
    SetQuiet(request->quiet);
    SetVerbose(request->verbose);
    FindAddOnsFrom(request->hostFolder);
    return ExitCodeOf([request] {
        if (request->roll)
            RunRollCommand(*request->roll);
        else if (request->render)
            RunRenderCommand(*request->render);
        else if (request->demo)
            RunDemoCommand(*request->demo);
        else
            throw std::logic_error("the request names no command");
        return kSuccess;
    });
}
