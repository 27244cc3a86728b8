// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Opens the program's MIDI host: a JACK client when a JACK server answers,
// else an ALSA sequencer client.
#include <memory>
#include <stdexcept>
#include <string>

#include "host/api/HostAutomation.h"

namespace vlx {

// Neither backend could be opened; what() says why, for each.
class HostOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::shared_ptr<HostAutomation> CreateHost(const std::string& clientName = "VLXArp");

}  // namespace vlx
