// Service control through a systemd user instance, and the choice of the manager the commands
// use. Part of the Qt platform library (the D-Bus calls go through QtDBus).
#pragma once

#include <memory>

#include "platform/Services.h"

namespace platform {

// The systemd user instance, found on the session bus ($DBUS_SESSION_BUS_ADDRESS, else the
// socket $XDG_RUNTIME_DIR/bus) or on its private socket $XDG_RUNTIME_DIR/systemd/private;
// nullptr when none answers. The service "Messenger" is the unit quorvel-messenger.service:
//  - it cannot be opened when loading the unit fails (unknown to systemd, access denied) or its
//    load state is anything but "loaded";
//  - Start is refused while the unit is active, activating or reloading, Stop while it is
//    inactive, failed or deactivating; otherwise a StartUnit or StopUnit job in mode "replace"
//    is asked for, and the request is accepted when systemd queues it.
std::unique_ptr<TServiceManager> OpenSystemdServiceManager();

// The systemd user instance where one runs, direct control otherwise; nullptr when neither can
// be opened.
std::unique_ptr<TServiceManager> OpenServiceManager();

}  // namespace platform
