#include "ExitCode.h"

#include <exception>
#include <iostream>

#include "MidiFileIo.h"
#include "PluginLoader.h"
#include "Report.h"

int ExitCodeOf(const std::function<int()>& command, int internalFailure)
{
    try {
        return command();
    } catch (const PluginError& error) {
        Tell(error.what());
        return kBadInput;
    } catch (const FileError& error) {
        Tell(error.what());
        return kBadInput;
    } catch (const std::exception& error) {
        Tell(std::string("internal failure: ") + error.what());
        return internalFailure;
    } catch (...) {
        Tell("internal failure: an unknown exception");
        return internalFailure;
    }
}
