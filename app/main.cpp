// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Program.h"
#include "host/CreateHost.h"

int main(int argc, char** argv) {
    return vlx::RunProgram(argc, argv, [] { return vlx::CreateHost(); });
}
