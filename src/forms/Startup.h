// Joins the listening side of the instance channel to the main window.
#pragma once

namespace platform {
class InstanceServer;
}
class TQuorvelForm;

// A hand-off from a later start fills the recipient field (unless empty) and brings the window
// to the front, also from the notification area.
void ConnectHandOff(platform::InstanceServer& server, TQuorvelForm& form);
