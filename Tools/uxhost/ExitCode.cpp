#include "ExitCode.h"

#include <exception>
#include <iostream>

#include "MidiFileIo.h"
#include "PluginLoader.h"

int ExitCodeOf(const std::function<int()>& command, int internalFailure)
{
    try {
        return command();
    } catch (const PluginError& error) {
        std::cerr << "uxhost: " << error.what() << "\n";
        return kBadInput;
    } catch (const FileError& error) {
        std::cerr << "uxhost: " << error.what() << "\n";
        return kBadInput;
    } catch (const std::exception& error) {
        std::cerr << "uxhost: internal failure: " << error.what() << "\n";
        return internalFailure;
    } catch (...) {
        std::cerr << "uxhost: internal failure: an unknown exception\n";
        return internalFailure;
    }
}
