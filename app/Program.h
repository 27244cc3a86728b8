// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program around the window: the application object, the window with
// the host the caller provides, and a clean end however the program is ended:
// a signal (SIGTERM, SIGINT, SIGHUP) or the session closes it without waiting
// for anyone, a second signal ends that close once the note-offs are out, and
// losing the display or the window still silences and saves.
#include <functional>

#include "app/Form1.h"

namespace vlx {

// Runs until the window closes; returns the exit status: 0, or 1 when the
// window was lost or an unattended close could not save a value. `started`
// runs once the window is shown (a driver for tests).
int RunProgram(int& argc, char** argv, const Form1::HostFactory& createHost,
               const std::function<void(Form1&)>& started = {});

}  // namespace vlx
