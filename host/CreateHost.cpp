// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/CreateHost.h"

#include "host/alsa/AlsaHost.h"
#include "host/jack/JackHost.h"

namespace vlx {

std::shared_ptr<HostAutomation> CreateHost(const std::string& clientName) {
    std::string jackWhy;
    try {
        host::JackHost::Options options;
        options.clientName = clientName;
        return std::make_shared<host::JackHost>(options);
    } catch (const std::exception& e) {
        jackWhy = e.what();
    }
    std::string alsaWhy;
    try {
        return std::make_shared<host::AlsaHost>(clientName);
    } catch (const std::exception& e) {
        alsaWhy = e.what();
    }
    throw HostOpenError("No MIDI system could be opened.\nJACK: " + jackWhy + ".\nALSA: " + alsaWhy + ".");
}

}  // namespace vlx
