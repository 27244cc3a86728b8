#pragma once
// The program around the window: the application object, the window with
// the host the caller provides, and a clean close on SIGTERM and SIGINT.
#include <functional>

#include "app/Form1.h"

namespace vlx {

// Runs until the window closes; returns the exit status. `started` runs once
// the window is shown (a driver for tests).
int RunProgram(int& argc, char** argv, const Form1::HostFactory& createHost,
               const std::function<void(Form1&)>& started = {});

}  // namespace vlx
